// Every request code against rights masks with and without its right, over
// the wire: a refused request logs the security alert, is answered with
// nothing (the ping sent behind it is the first thing to come back), and its
// payload is thrown away so that the stream stays in step; an allowed one is
// served. An upload refused changes no file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "wire/transfer_frame.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAny = 0;             // any non-zero mask
constexpr std::uint32_t kAdmin = 0xFFFFFFFF;  // only the administrator
constexpr std::uint32_t kExamined = 0x3FFFF;
constexpr std::uint32_t A = 0x10, T = 0x20, M = 0x40, P = 0x80, B = 0x100, U = 0x200, H = 0x400,
                        C = 0x800, kServer = 0x1000, kLog = 0x2000, kConsole = 0x10000,
                        kPb = 0x20000;

enum Kind { kJob, kDownload, kUpload, kText, kTextReply, kOther };

// The rights table as administrators are told it: the bits of which one is
// needed, and how each request is answered.
struct Expected {
  std::uint32_t code;
  std::uint32_t anyOf;
  Kind kind;
};
const std::vector<Expected> kTable = [] {
  struct Group {
    std::uint32_t anyOf;
    Kind kind;
    std::vector<std::uint32_t> codes;
  };
  const Group groups[] = {
      {kAny, kDownload, {REQ_GET_SETTINGS}},
      {kAny, kUpload, {REQ_PUT_SETTINGS}},
      {kAny, kText, {REQ_SAY_ALL, REQ_SERVER_MESSAGE, REQ_SET_PASSWORD}},
      {kAny, kOther, {REQ_PING}},
      {kPb, kDownload, {REQ_GET_PB_CONFIG}},
      {kPb, kUpload, {REQ_PUT_PB_CONFIG}},
      {kPb, kJob, {REQ_PB_SAVE_CONFIG, REQ_PB_LOAD_CONFIG}},
      {M, kDownload, {REQ_GET_MODS, REQ_GET_MAPS, REQ_GET_ROTATION}},
      {M, kUpload, {REQ_PUT_ROTATION}},
      {M, kJob, {REQ_RUN_NEXT_MAP, REQ_RESTART_MAP}},
      {M, kText, {REQ_CHANGE_MAP, REQ_SET_NEXT_MAP, REQ_SET_IDLE_MAP}},
      {P, kDownload, {REQ_GET_PLAYERS, REQ_GET_PLAYER_MENU}},
      {P, kTextReply, {REQ_GET_JOIN_INFO}},
      {P, kText, {REQ_KICK_PLAYER, REQ_SCREENSHOT}},
      {C, kDownload, {REQ_GET_CLIENTS}},
      {C, kText, {REQ_DISCONNECT_CLIENT}},
      {B, kDownload, {REQ_GET_BANS}},
      {B, kUpload, {REQ_PUT_BANS}},
      {B, kText, {REQ_REMOVE_BAN}},
      {B, kJob, {REQ_CLEAR_BANS}},
      {P | B, kText, {REQ_BAN_PLAYER}},
      {U, kDownload, {REQ_GET_USERS}},
      {U, kUpload, {REQ_PUT_USERS}},
      {H, kDownload, {REQ_GET_SCHEDULE}},
      {H, kUpload, {REQ_PUT_SCHEDULE}},
      {T, kTextReply, {REQ_GET_STATUS}},
      {A, kDownload, {REQ_GET_ANNOUNCEMENTS}},
      {A, kUpload, {REQ_PUT_ANNOUNCEMENTS}},
      {P | A, kDownload, {REQ_GET_BANNED_WORDS}},
      {P | A, kUpload, {REQ_PUT_BANNED_WORDS}},
      {kServer, kOther, {REQ_START_SERVER, REQ_STOP_SERVER}},
      {kServer, kJob, {REQ_TOGGLE_PAUSE}},
      {kAdmin, kJob, {REQ_VERIFY_BAN_SYNC, REQ_SYNC_TO_SERVER_BANS, REQ_SYNC_FROM_SERVER_BANS}},
      {kConsole, kText, {REQ_CONSOLE_COMMAND}},
      {kLog, kDownload, {REQ_GET_LOG}}};
  std::vector<Expected> table;
  for (const Group& group : groups) {
    for (const std::uint32_t code : group.codes) table.push_back({code, group.anyOf, group.kind});
  }
  return table;
}();

// Texts that do no harm when the request is carried out; a map combo for the rest.
const std::map<std::uint32_t, std::string> kTexts = {
    {REQ_KICK_PLAYER, "1,testing"},
    {REQ_DISCONNECT_CLIENT, "0"},  // no client: the job does nothing
    {REQ_REMOVE_BAN, "someone,,,"},
    {REQ_SET_PASSWORD, "pw"},  // the same password again
    {REQ_BAN_PLAYER,
     "1\xFFsomeone\xFF*\xFF*\xFF*\xFF"
     "60\xFFtesting\xFF"}};

// Where an upload lands in the installation.
const std::map<std::uint32_t, std::string> kTargets = {
    {REQ_PUT_SETTINGS, "mods/bfvietnam/settings/servermanager.con"},
    {REQ_PUT_PB_CONFIG, "pb/pbsv.cfg"},
    {REQ_PUT_ROTATION, "mods/bfvietnam/settings/servermaplist.con"},
    {REQ_PUT_BANS, "mods/bfvietnam/settings/serverbanlist.con"},
    {REQ_PUT_USERS, "mods/bfvietnam/settings/useraccess.con"},
    {REQ_PUT_SCHEDULE, "mods/bfvietnam/settings/serverschedule.con"},
    {REQ_PUT_ANNOUNCEMENTS, "mods/bfvietnam/settings/announcements.con"},
    {REQ_PUT_BANNED_WORDS, "mods/bfvietnam/settings/bannedwords.con"}};

struct Outcome {
  bool reply = false;  // a file message or a text reply arrived
  std::vector<std::uint32_t> notes;
  bool sawPong = false;
};

// Reads until the pong of the ping sent behind the request.
Outcome ReadUntilPong(RawClient& client, Kind kind) {
  Outcome outcome;
  for (int guard = 0; guard < 50; ++guard) {
    const std::uint32_t word = client.ReadWord();
    if (word == 0xFFFFFFFF) break;  // nothing more came
    const bool isNote = (word & 0xFFFF0000U) == 0xBEEF0000U && word <= kLastNote;
    if (kind == kDownload && !outcome.reply && word == XFER_FAIL_MARKER) {
      outcome.reply = true;
    } else if (isNote) {
      const std::uint32_t length = client.ReadWord();
      client.Read(length);
      if (word == NOTE_PONG) {
        outcome.sawPong = true;
        break;
      }
      outcome.notes.push_back(word);
    } else if (kind == kDownload && !outcome.reply) {
      outcome.reply = true;
      if (word != 0) {
        const std::uint32_t packed = client.ReadWord();
        client.ReadWord();
        client.Read(packed);
      }
    } else if (kind == kTextReply && !outcome.reply) {
      outcome.reply = true;
      client.Read(word);
    } else {
      ADD_FAILURE() << "unexpected word " << std::hex << word;
      break;
    }
  }
  return outcome;
}

class DispatchRights : public KeldorHarness {
 protected:
  static std::string Name(std::uint32_t mask) {
    char name[16];
    std::snprintf(name, sizeof name, "m%X", mask);
    return name;
  }
  std::string AlertFor(std::uint32_t code) const {
    char text[96];
    std::snprintf(text, sizeof text, "does not have access to command %.8X!", code);
    return text;
  }

  // One request as `client` with rights `mask`; checks it was refused or served.
  void Exchange(RawClient& client, std::uint32_t mask, const Expected& e, bool allowed) {
    SCOPED_TRACE(::testing::Message() << "mask " << std::hex << mask << " code " << e.code);
    const int alertsBefore = CountLogged(AlertFor(e.code));
    const std::string target = kTargets.count(e.code) ? dir_ / kTargets.at(e.code) : "";
    const std::string before = ReadFile(target);
    const bool existed = std::filesystem::exists(target);
    if (e.kind == kText) {
      client.SendText(e.code, kTexts.count(e.code) ? kTexts.at(e.code) : "hue GPM_CQ bfvietnam");
    } else if (e.kind == kUpload && allowed) {
      client.Send(Word(e.code) + Word(XFER_FAIL_MARKER));  // served, and nothing changes
    } else if (e.kind == kUpload) {
      std::string message;
      ASSERT_TRUE(EncodeTransfer(std::string(3000, 'z') + "\n", &message));
      client.Send(Word(e.code) + message);
    } else {
      client.SendWord(e.code);
    }
    client.SendWord(REQ_PING);
    const Outcome outcome = ReadUntilPong(client, e.kind);
    ASSERT_TRUE(outcome.sawPong) << "the stream went out of step";
    const int alerts = CountLogged(AlertFor(e.code)) - alertsBefore;
    if (!allowed) {
      // Beyond a connection's first few, refusals are summed up when it ends.
      EXPECT_LE(alerts, 1);
      unlogged_ += alerts == 0 ? 1 : 0;
      EXPECT_FALSE(outcome.reply);
      EXPECT_TRUE(outcome.notes.empty());
      if (e.kind == kUpload) {
        EXPECT_EQ(std::filesystem::exists(target), existed);
        EXPECT_EQ(ReadFile(target), before);
      }
      return;
    }
    EXPECT_EQ(alerts, 0);
    if (e.kind == kDownload || e.kind == kTextReply) {
      EXPECT_TRUE(outcome.reply);
    }
  }
  int unlogged_ = 0;  // refusals of the current connection that were not logged one by one
};

TEST_F(DispatchRights, EveryRequestWithAndWithoutItsRight) {
  // mask -> {code, allowed}
  std::map<std::uint32_t, std::vector<std::pair<const Expected*, bool>>> plan;
  for (const Expected& e : kTable) {
    if (e.anyOf == kAny) {
      plan[0x4000].push_back({&e, true});  // a mask without any letter
      continue;
    }
    if (e.anyOf == kAdmin) {
      plan[kAdmin].push_back({&e, true});
      plan[kExamined].push_back({&e, false});
      continue;
    }
    // Each letter that grants it, alone; then every other bit but none of them.
    for (std::uint32_t bit = 1; bit <= kExamined; bit <<= 1) {
      // Starting the game server is shown with the real game server elsewhere.
      if ((e.anyOf & bit) != 0 && e.code != REQ_START_SERVER) plan[bit].push_back({&e, true});
    }
    plan[kExamined & ~e.anyOf].push_back({&e, false});
  }
  std::string accounts;
  for (const auto& [mask, codes] : plan) accounts += Account(Name(mask), "pw", mask);
  StartKeldor(accounts);

  int exchanges = 0;
  for (const auto& [mask, codes] : plan) {
    const int summed = Unlogged(Log());
    unlogged_ = 0;
    {
      RawClient client(port_);
      ASSERT_TRUE(client.LogIn(Name(mask), "pw")) << Name(mask);
      for (const auto& [e, allowed] : codes) {
        Exchange(client, mask, *e, allowed);
        ++exchanges;
      }
    }
    if (unlogged_ > 0) {
      EXPECT_TRUE(WaitFor([&] { return Unlogged(Log()) - summed >= unlogged_; })) << Log();
    }
  }
  EXPECT_GT(exchanges, 2 * static_cast<int>(kTable.size()) - 12);
  EXPECT_FALSE(Logged("bogus")) << Log();
}

}  // namespace
}  // namespace keldor::e2e
