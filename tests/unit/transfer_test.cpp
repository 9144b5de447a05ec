// File transfer over a real loopback connection, with messages built and read
// here through the compression library itself rather than through the
// daemon's own coder (which keldorctl shares): the message format, uploads that
// must leave the old file alone, and clients that stop reading. Round trips of
// every file, large ones included, are covered end to end in
// dispatch_transfer_test.
#include "remote/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "daemon/main_loop.h"
#include "loopback_pair.h"
#include "policing/banned_words.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/options.h"
#include "state_fixture.h"
#include "wire/transfer_frame.h"

namespace keldor {
namespace {

using testing::LittleEndian;
using testing::ReadFile;
using testing::ReceiveAvailable;
using testing::WriteFile;

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::uint32_t Adler(const std::string& bytes) {
  return static_cast<std::uint32_t>(lzo_adler32(1, Bytes(bytes), bytes.size()));
}

// A file-transfer message as a client builds it: the word 0 for an empty file,
// else the size, the packed size, the Adler-32 of the packed bytes and those.
std::string Message(const std::string& content) {
  if (content.empty()) return LittleEndian(0);
  std::string packed(PackedBound(content.size()), '\0');
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint size = 0;
  lzo1x_1_compress(Bytes(content), content.size(), reinterpret_cast<unsigned char*>(packed.data()),
                   &size, work.data());
  packed.resize(size);
  return LittleEndian(static_cast<std::uint32_t>(content.size())) +
         LittleEndian(static_cast<std::uint32_t>(size)) + LittleEndian(Adler(packed)) + packed;
}

// Lines that compress, but not to nothing.
std::string Sample(int lines) {
  std::string text;
  for (int k = 0; k < lines; ++k) text += "line " + std::to_string(k * 7919 % 1009) + "\r\n";
  return text;
}

class TransferTest : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    Connect();
  }
  void TearDown() override {
    // Once logged in, Keldor's end belongs to its connection, closed with the state.
    if (keldor_ >= 0 && Connections()[1].fd.get() != keldor_) close(keldor_);
    close(peer_);
    StateTest::TearDown();
  }
  // A loopback connection: Keldor's end is non-blocking, as client sockets are.
  void Connect() {
    std::tie(keldor_, peer_) = testing::LoopbackListener().Pair();
    fcntl(keldor_, F_SETFL, O_NONBLOCK);
  }
  void Login() { Connections()[1] = Connection{keldor_, "carol", "127.0.0.1:1", 0xFFFFFFFF, {}}; }

  int keldor_ = -1;
  int peer_ = -1;
};

// A message larger than the socket's buffers is queued whole and written as
// the client takes it; a client that stops reading is cut off once its output
// has made no progress for the stall time, never left out of step.
TEST_F(TransferTest, AClientThatStopsReadingMidFileIsCutOffNotLeftOutOfStep) {
  std::string content(2 * 1024 * 1024, '\0');  // random bytes: far larger than both buffers
  unsigned seed = 7;
  for (char& c : content) c = static_cast<char>(rand_r(&seed));
  WriteFile(dir_ / "big.con", content);
  const int small = 32768;
  setsockopt(keldor_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  Login();
  PinClock(1000000);
  EXPECT_TRUE(SendFile(dir_ / "big.con", Connections()[1]));
  EXPECT_GT(OwedBytes(Connections()[1].io), 0u);
  AdvanceClock(kOutputStallMs / 1000 - 1);
  CheckClientTimer(Connections()[1], MonotonicMilliseconds());
  EXPECT_TRUE(SlotInUse(1));
  AdvanceClock(1);
  CheckClientTimer(Connections()[1], MonotonicMilliseconds());
  EXPECT_FALSE(SlotInUse(1));
  EXPECT_TRUE(
      Logged("Couldn't send " + (dir_ / "big.con") + " to peer at 127.0.0.1! Connection timed out"))
      << Log();
  EndGivenUpConnections();
  keldor_ = -1;                                 // closed with the connection
  EXPECT_TRUE(testing::PeerClosed(peer_, 30));  // what arrived is followed by the end
}

// A download too large for one pass is made a slice per pass; whatever is
// queued for the client meanwhile must follow the whole message, or the
// client's stream would be out of step.
TEST_F(TransferTest, ALargeDownloadIsMadeOverPassesAndWhatIsQueuedMeanwhileFollowsIt) {
  std::string content(3 * 1024 * 1024, '\0');  // random bytes: a message of 3 MiB and more
  unsigned seed = 3;
  for (char& c : content) c = static_cast<char>(rand_r(&seed));
  WriteFile(dir_ / "big.con", content);
  Login();
  ASSERT_TRUE(SendFile(dir_ / "big.con", Connections()[1]));
  ASSERT_TRUE(NotifyClient(1, NOTE_PONG, nullptr, 0));
  const std::string expected = Message(content) + LittleEndian(NOTE_PONG) + LittleEndian(0);
  std::string received;
  for (int pass = 0; pass < 100000 && received.size() < expected.size(); ++pass) {
    ASSERT_TRUE(FlushOutput(keldor_, Connections()[1].io));
    received += ReceiveAvailable(peer_, 0);
  }
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

TEST_F(TransferTest, AbsurdOrAbandonedUploadsLeaveTheOldFileAndNoTemporaryOne) {
  const std::string target = dir_ / "target.con";
  for (const std::string& header :
       {LittleEndian(kTransferMax + 1) + LittleEndian(100) + LittleEndian(1),
        LittleEndian(1000) + LittleEndian(100000) + LittleEndian(1),  // beyond LZO's worst
        LittleEndian(1000) + LittleEndian(0) + LittleEndian(1)}) {
    WriteFile(target, "old content");
    EXPECT_FALSE(ReceiveFile(target, "127.0.0.1", header + std::string(64, 'x')));
    EXPECT_EQ(ErrorCode(), 30014);
    EXPECT_EQ(ReadFile(target), "old content");
  }
  EXPECT_TRUE(Logged("SECURITY ALERT! Peer at 127.0.0.1 announced a file of " +
                     std::to_string(kTransferMax + 1) + " bytes"));

  const std::string message = Message(Sample(2000));
  EXPECT_FALSE(ReceiveFile(target, "127.0.0.1", message.substr(0, message.size() / 2)));
  EXPECT_EQ(ReadFile(target), "old content");
  const auto files = std::distance(std::filesystem::directory_iterator(dir_.path()), {});
  EXPECT_EQ(files, 3);  // the target, the log and the settings directory
}

// A stored upload that cannot be taken into use is reported to the uploader
// alone; the other clients hear only of one that can.
TEST_F(TransferTest, UploadThatCannotBeTakenIntoUseFailsForTheUploaderOnly) {
  Login();
  const auto [otherDaemon, other] = testing::LoopbackListener().Pair();
  Connections()[2] = Connection{otherDaemon, "dave", "127.0.0.1:2", 1, {}};
  std::filesystem::create_directories(dir_ / "settings/useraccess.con");  // cannot be saved
  std::string words;
  while (words.size() <= kBannedWordsMax) words += "rude\n";
  const std::vector<std::tuple<std::uint32_t, std::string, std::string>> cases = {
      {REQ_PUT_SETTINGS, LittleEndian(0), "settings"},  // an empty settings file applies nothing
      {REQ_PUT_USERS, LittleEndian(0), "user list"},
      {REQ_PUT_BANNED_WORDS, Message(words), "banned words"}};
  const auto upload = [](std::uint32_t request, const std::string& message) {
    return ReceiveRequestedFile(request, Connections()[1], message);
  };
  for (const auto& [request, message, what] : cases) {
    EXPECT_TRUE(upload(request, message));
    EXPECT_EQ(ReceiveAvailable(peer_), LittleEndian(NOTE_COMMAND_FAILED) + LittleEndian(0));
    EXPECT_TRUE(Logged("Couldn't apply the " + what + " uploaded by user carol at 127.0.0.1:1! "))
        << Log();
  }
  EXPECT_EQ(ReceiveAvailable(other), "");
  EXPECT_FALSE(Logged("updated the"));

  EXPECT_TRUE(upload(REQ_PUT_BANNED_WORDS, Message("rude\n")));
  EXPECT_EQ(ReceiveAvailable(other), LittleEndian(NOTE_BANNED_WORDS_CHANGED) + LittleEndian(0));
  close(other);  // otherDaemon is closed with its connection
}

TEST_F(TransferTest, DownloadIsTheLibrarysMessageAndOnlyDownloadsAreSent) {
  const std::string content = Sample(400);
  WriteFile(dir_ / "settings/servermaplist.con", content);
  Login();
  EXPECT_TRUE(SendRequestedFile(REQ_GET_ROTATION, Connections()[1]));
  EXPECT_EQ(ReceiveAvailable(peer_), Message(content));
  EXPECT_FALSE(SendRequestedFile(REQ_PUT_ROTATION, Connections()[1]));
  EXPECT_FALSE(SendRequestedFile(REQ_PING, Connections()[1]));
  EXPECT_EQ(ReceiveAvailable(peer_), "");
}

}  // namespace
}  // namespace keldor
