// File exchanges and notifications through the real keldor: every download
// and upload round-trips byte for byte through keldorctl; the empty file is
// the word 0; damaged uploads and clients that leave half-way change no file;
// a missing file is answered with the failure marker; schedule lines that hold
// no event are named to the uploader; notifications reach the
// requester, everyone or the others as each request has it; a mistyped map is
// refused from every entry. Refused requests and their payloads are in
// dispatch_rights_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "wire/transfer_frame.h"

namespace keldor::e2e {
namespace {

using Note = std::pair<std::uint32_t, std::string>;

// Every notification up to the pong of a ping sent now; the stream must be in step.
std::vector<Note> NotesUntilPong(RawClient& client) {
  client.SendWord(REQ_PING);
  std::vector<Note> notes;
  for (Note note = client.ReadNote(); (note.first & 0xFFFF0000U) == 0xBEEF0000U;
       note = client.ReadNote()) {
    if (note.first == NOTE_PONG) return notes;
    notes.push_back(note);
  }
  ADD_FAILURE() << "no pong, or something other than a notification";
  return notes;
}

std::string Binary(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  for (std::size_t k = 0; k < 256 && k < size; ++k) bytes[k] = static_cast<char>(k);
  return bytes;
}

class DispatchFiles : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", 0xFFFFFFFF) + Account("other", "pw", 0xFFFFFFFF));
  }
  std::pair<int, std::string> Admin(const std::vector<std::string>& args) {
    return RunAs("admin", "secret", args);
  }
  std::string Settings(const std::string& name) const { return ReadFile(SettingsPath(name)); }
};

TEST_F(DispatchFiles, EveryFileRoundTripsByteForByteThroughKeldorctl) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"rotation", SettingsPath("servermaplist.con")},
      {"bans", SettingsPath("serverbanlist.con")},
      {"schedule", SettingsPath("serverschedule.con")},
      {"announcements", SettingsPath("announcements.con")},
      {"bannedwords", SettingsPath("bannedwords.con")},
      {"pbconfig", dir_ / "pb/pbsv.cfg"}};
  unsigned seed = 1;
  for (const auto& [kind, stored] : cases) {
    SCOPED_TRACE(kind);
    // The announcements are larger than a socket's buffer, and hardly compressible;
    // a schedule is checked before it is sent, so it holds events.
    const std::string content = kind == "schedule"
                                    ? "1700000000,start,daily,*,*,1\r\n1700003600,stop,sun,*,*,0\n"
                                    : Binary(kind == "announcements" ? 600 * 1024 : 1000, seed++);
    WriteFile(dir_ / "upload", content);
    auto [status, output] = Admin({"put", kind, dir_ / "upload"});
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(ReadFile(stored), content);
    std::tie(status, output) = Admin({"get", kind, dir_ / "download"});
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(ReadFile(dir_ / "download"), content);
  }
  // Downloads of files kept on disk arrive as they are there.
  EXPECT_EQ(Admin({"get", "maps", dir_ / "download"}).first, 0);
  EXPECT_EQ(ReadFile(dir_ / "download"), Settings("maps.con"));
  EXPECT_EQ(Admin({"get", "log", dir_ / "download"}).first, 0);
  EXPECT_NE(ReadFile(dir_ / "download").find("updated the banned words."), std::string::npos);
}

TEST_F(DispatchFiles, SettingsAndUsersGoBackAsTheyCameAndLeaveNoTemporaryFile) {
  ASSERT_EQ(Admin({"get", "settings", dir_ / "settings"}).first, 0);
  EXPECT_EQ(Admin({"put", "settings", dir_ / "settings"}).first, 0);
  ASSERT_EQ(Admin({"get", "users", dir_ / "users"}).first, 0);
  EXPECT_EQ(Admin({"put", "users", dir_ / "users"}).first, 0);
  EXPECT_TRUE(Logged("updated the user list."));
  for (const char* temporary : {"servermanager.con", "useraccess.con"}) {
    EXPECT_FALSE(std::filesystem::exists(dir_ / temporary)) << temporary;
  }
  EXPECT_EQ(RunAs("other", "pw", {"passwd", "fresh"}).first, 0);  // the accounts survived
  EXPECT_EQ(RunAs("other", "fresh", {"ping"}).first, 0);
}

TEST_F(DispatchFiles, ScheduleLinesThatHoldNoEventAreNamedToTheUploader) {
  const std::string good = "1700000000,stop,daily,*,*,1\n";
  const std::string schedule = good + "tomorrow,stop,daily,*,*,1\n\n1700003600,stop\n";
  WriteFile(dir_ / "schedule", schedule);
  const auto [status, output] = Admin({"put", "schedule", dir_ / "schedule"});
  EXPECT_EQ(status, 4) << output;
  EXPECT_NE(output.find("line(s) 2, 4 of the schedule"), std::string::npos) << output;
  EXPECT_FALSE(Logged("updated the event schedule"));

  // A client that sends it anyway: the events stand, and it hears the upload failed.
  RawClient client(port_);
  ASSERT_TRUE(client.LogIn("admin", "secret"));
  std::string message;
  ASSERT_TRUE(EncodeTransfer(schedule, &message));
  client.Send(Word(REQ_PUT_SCHEDULE) + message);
  EXPECT_EQ(NotesUntilPong(client), (std::vector<Note>{{NOTE_COMMAND_FAILED, ""}}));
  EXPECT_TRUE(Logged("Skipped lines: 2, 4.")) << Log();
  EXPECT_EQ(Settings("serverschedule.con"), schedule);
}

TEST_F(DispatchFiles, EmptyFileIsTheWordZeroAndAMissingOneTheFailureMarker) {
  RawClient client(port_);
  ASSERT_TRUE(client.LogIn("admin", "secret"));
  client.Send(Word(REQ_PUT_ROTATION) + Word(0));
  EXPECT_TRUE(NotesUntilPong(client).empty());
  EXPECT_EQ(Settings("servermaplist.con"), "");
  EXPECT_TRUE(Logged("saved an empty map rotation!"));

  client.SendWord(REQ_GET_ROTATION);
  EXPECT_EQ(client.Read(4), Word(0));
  EXPECT_TRUE(NotesUntilPong(client).empty());

  std::filesystem::remove(SettingsPath("playermenu.con"));
  client.SendWord(REQ_GET_PLAYER_MENU);
  EXPECT_EQ(client.Read(4), Word(XFER_FAIL_MARKER));
  EXPECT_TRUE(NotesUntilPong(client).empty());
  EXPECT_TRUE(Logged("to peer at 127.0.0.1! No such file or directory")) << Log();
  const auto [status, output] = Admin({"get", "playermenu"});
  EXPECT_EQ(status, 4) << output;
  EXPECT_NE(output.find("could not produce the file"), std::string::npos) << output;
}

// Damaged uploads, the failure marker and a client that leaves half-way (its
// slot freed) all leave the old file.
TEST_F(DispatchFiles, DamagedOrAbandonedUploadsLeaveTheOldFile) {
  WriteFile(SettingsPath("serverbanlist.con"), "old list\n");
  std::string good;
  ASSERT_TRUE(EncodeTransfer(std::string(500, 'n') + "new list\n", &good));
  std::string badChecksum = good;
  badChecksum[8] = static_cast<char>(badChecksum[8] ^ 0x01);
  std::string badSize = good;
  badSize[0] = static_cast<char>(badSize[0] + 1);

  RawClient client(port_);
  ASSERT_TRUE(client.LogIn("admin", "secret"));
  for (const auto& [message, text] : std::vector<std::pair<std::string, const char*>>{
           {badChecksum, "The file transfer checksum does not match"},
           {badSize, "The file transfer data could not be compressed or unpacked"},
           {Word(XFER_FAIL_MARKER), "The file transfer header is invalid."}}) {
    SCOPED_TRACE(text);
    client.Send(Word(REQ_PUT_BANS) + message);
    EXPECT_TRUE(NotesUntilPong(client).empty());  // still in step
    EXPECT_EQ(Settings("serverbanlist.con"), "old list\n");
    EXPECT_TRUE(Logged("serverbanlist.con from peer at 127.0.0.1! " + std::string(text))) << Log();
  }

  std::string large;
  ASSERT_TRUE(EncodeTransfer(Binary(5000, 7), &large));
  {
    RawClient leaving(port_);
    ASSERT_TRUE(leaving.LogIn("admin", "secret"));
    leaving.Send(Word(REQ_PUT_BANS) + large.substr(0, large.size() / 2));
  }
  EXPECT_TRUE(WaitFor([&] { return CountLogged("has disconnected.") == 1; })) << Log();
  EXPECT_EQ(Settings("serverbanlist.con"), "old list\n");
  EXPECT_FALSE(Logged("updated the banlist."));
  const auto [status, output] = Admin({"clients"});
  EXPECT_EQ(status, 0) << output;
  // The header, the first client (still connected) and this one.
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3)
      << "a slot was not freed: " << output;
}

TEST_F(DispatchFiles, NotificationsReachRequesterAllOrOthers) {
  RawClient requester(port_);
  RawClient other(port_);
  ASSERT_TRUE(requester.LogIn("admin", "secret"));
  ASSERT_TRUE(other.LogIn("other", "pw"));

  // Others: an upload is not echoed to the uploader.
  std::string message;
  ASSERT_TRUE(EncodeTransfer("a ban\n", &message));
  requester.Send(Word(REQ_PUT_BANS) + message);
  EXPECT_EQ(NotesUntilPong(requester), std::vector<Note>{});
  EXPECT_EQ(NotesUntilPong(other), (std::vector<Note>{{NOTE_BANS_CHANGED, ""}}));

  // All: the idle map with its text; a stop while stopped.
  requester.SendText(REQ_SET_IDLE_MAP, "hue GPM_CQ bfvietnam");
  requester.SendWord(REQ_STOP_SERVER);
  const std::vector<Note> everyone = {{NOTE_IDLE_MAP_SET, "hue GPM_CQ bfvietnam"},
                                      {NOTE_ALREADY_STOPPED, ""}};
  EXPECT_EQ(NotesUntilPong(requester), everyone);
  EXPECT_EQ(NotesUntilPong(other), everyone);

  // Requester: the password change, then every client learns the users changed.
  requester.SendText(REQ_SET_PASSWORD, "secret");
  EXPECT_EQ(NotesUntilPong(requester),
            (std::vector<Note>{{NOTE_PASSWORD_CHANGED, ""}, {NOTE_USERS_CHANGED, ""}}));
  EXPECT_EQ(NotesUntilPong(other), (std::vector<Note>{{NOTE_USERS_CHANGED, ""}}));
}

// A mistyped map never reaches the game: each map request and a rotation
// naming one map that is not installed are refused with the reason, and
// nothing changes. keldorctl's own check is in dispatch_server_test, the web
// console's in web_limits_test, the in-game commands' in server_test.
TEST_F(DispatchFiles, AMistypedMapIsRefusedFromEveryEntryAndNothingChanges) {
  RawClient client(port_);
  ASSERT_TRUE(client.LogIn("admin", "secret"));
  const std::vector<Note> failed = {{NOTE_COMMAND_FAILED, ""}};
  for (const std::uint32_t request : {REQ_CHANGE_MAP, REQ_SET_NEXT_MAP, REQ_SET_IDLE_MAP}) {
    client.SendText(request, "khe_sahn GPM_CQ bfvietnam");
    EXPECT_EQ(NotesUntilPong(client), failed) << std::hex << request;
  }
  EXPECT_TRUE(Logged("Refused the map khe_sahn GPM_CQ bfvietnam of user admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged(": the map khe_sahn is not installed in bfvietnam.")) << Log();
  EXPECT_FALSE(Logged("changed the next map"));

  const std::string rotation = Settings("servermaplist.con");
  std::string upload;
  ASSERT_TRUE(
      EncodeTransfer("game.setCurrentLevel hue GPM_CQ bfvietnam\n"
                     "game.addLevelToRotation nowhere GPM_CQ bfvietnam\n",
                     &upload));
  client.Send(Word(REQ_PUT_ROTATION) + upload);
  EXPECT_EQ(NotesUntilPong(client), failed);
  EXPECT_TRUE(Logged("Refused the map rotation uploaded by user admin at 127.0.0.1:"));
  EXPECT_TRUE(
      Logged("! line 2 (game.addLevelToRotation nowhere GPM_CQ bfvietnam): the map nowhere "
             "is not installed in bfvietnam."))
      << Log();
  EXPECT_EQ(Settings("servermaplist.con"), rotation);
  EXPECT_FALSE(Logged("updated the map rotation"));
}

}  // namespace
}  // namespace keldor::e2e
