// Request dispatch in one process: the rights rules at their edges, and
// ServeClient over a loopback connection for what must keep the stream in
// step (refused payloads, oversized texts, requests that break off).
#include "remote/dispatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/main_loop.h"
#include "loopback_pair.h"
#include "remote/jobs.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/options.h"
#include "state_fixture.h"
#include "wire/protocol.h"

namespace keldor {
namespace {

using testing::LittleEndian;
using testing::LoopbackListener;
using testing::PeerClosed;
using testing::ReceiveAvailable;
using testing::SendText;

constexpr std::uint32_t kM = 0x40;

bool Allows(std::uint32_t rights, std::uint32_t code) {
  Connections()[1].rights = rights;
  return MayRun(1, code);
}

// What the end-to-end rights test cannot reach: slot 0, codes outside the
// request range, an empty mask, and an administrator mask short of one bit.
TEST(DispatchRights, EdgesOfTheRightsRules) {
  ResetAllState();
  for (std::uint32_t code = kFirstRequest; code <= kLastRequest; ++code) {
    EXPECT_FALSE(Allows(0, code)) << std::hex << code;
    EXPECT_TRUE(MayRun(0, code)) << "Keldor itself is the administrator";
  }
  for (std::uint32_t code : {kFirstRequest - 1, kLastRequest + 1, 0u, XFER_FAIL_MARKER}) {
    EXPECT_FALSE(Allows(0xFFFFFFFF, code)) << std::hex << code;
  }
  EXPECT_FALSE(Allows(0xFFFFFFFE, REQ_VERIFY_BAN_SYNC));
  ResetAllState();
}

class Dispatch : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    Opts().settingsDir = dir_.path();
    const auto [daemon, client] = listener_.Pair();
    fcntl(daemon, F_SETFL, O_NONBLOCK);
    daemon_ = daemon;
    client_ = client;
    Connections()[1] = Connection{daemon_, "carol", "127.0.0.1:1", kM, {}};
  }
  void TearDown() override {
    close(client_);
    StateTest::TearDown();
  }
  std::size_t QueuedJobs() const {
    std::size_t count = 0;
    for (const QueuedCommand& job : JobQueue()) count += job.code != 0 ? 1 : 0;
    return count;
  }
  // Handles requests until the client has nothing more pending for us.
  void HandleAll(int most = 20) {
    for (int k = 0; k < most && SlotInUse(1); ++k) {
      pollfd wait{daemon_, POLLIN, 0};
      if (!RequestWaiting(Connections()[1]) && poll(&wait, 1, 200) <= 0) return;
      ServeClient(Connections()[1], true, false);
      EndGivenUpConnections();  // as the main loop does after each request
    }
  }
  std::string Pongs(int count) {
    std::string bytes;
    for (int k = 0; k < count; ++k) bytes += LittleEndian(NOTE_PONG) + LittleEndian(0);
    return bytes;
  }

  LoopbackListener listener_;
  int daemon_ = -1;
  int client_ = -1;
};

TEST_F(Dispatch, RequestsDroppedByAFullQueueAreAnsweredAsFailed) {
  for (std::size_t k = 0; k < kQueueCapacity; ++k) QueueJob(JOB_SAY_ALL, "wait", 0, 60);
  SendText(client_, LittleEndian(REQ_CHANGE_MAP) + LittleEndian(4) + "hue" + std::string(1, '\0') +
                        LittleEndian(REQ_RUN_NEXT_MAP));
  HandleAll();
  const std::string failed = LittleEndian(NOTE_COMMAND_FAILED) + LittleEndian(0);
  EXPECT_EQ(ReceiveAvailable(client_), failed + failed);
  EXPECT_TRUE(Logged("DEBUG: Couldn't queue command B00B000A, the queue is full!"));
  EXPECT_TRUE(Logged("DEBUG: Couldn't queue command B00B000B, the queue is full!"));
}

TEST_F(Dispatch, TextLongerThanTheBufferEndsTheConnectionAndQueuesNothing) {
  Connections()[1].rights = 0xFFFFFFFF;
  std::string body;
  for (int k = 0; k < 100; ++k) body += LittleEndian(REQ_PING);
  SendText(client_, LittleEndian(REQ_SAY_ALL) + LittleEndian(400) + body);
  HandleAll();
  EXPECT_EQ(QueuedJobs(), 0u);
  EXPECT_TRUE(PeerClosed(client_));  // no pong came before the end
  // Released at once: the surplus still queued is never read as requests.
  EXPECT_FALSE(SlotInUse(1));
  EXPECT_TRUE(
      Logged("SECURITY ALERT! Client at 127.0.0.1:1 sent a text of 400 bytes with command "
             "BABE0029; at most 256 are taken."));
}

TEST_F(Dispatch, TextOfExactly256BytesIsQueuedCutToTheJobsWidthWithTheSlotAndTime) {
  Connections()[1].rights = 0xFFFFFFFF;
  const std::string text(256, 'x');  // no room for the NUL: the job keeps 255
  SendText(client_, LittleEndian(REQ_SAY_ALL) + LittleEndian(256) + text + LittleEndian(REQ_PING));
  HandleAll();
  ASSERT_EQ(QueuedJobs(), 1u);
  EXPECT_EQ(JobQueue()[0].text, std::string(255, 'x'));
  EXPECT_EQ(JobQueue()[0].actor, 1);
  EXPECT_TRUE(LastRequestText(Connections()[1]).ends_with("\n"))
      << LastRequestText(Connections()[1]);
  EXPECT_EQ(ReceiveAvailable(client_), Pongs(1));
}

TEST_F(Dispatch, RefusalsBeyondTheFirstFewAreSummedUpOnceAMinuteAndWhenTheClientLeaves) {
  PinClock(1000000);
  std::string noise;
  for (int k = 0; k < 4; ++k) noise += LittleEndian(0xBABE0040) + LittleEndian(REQ_GET_BANS);
  SendText(client_, noise + LittleEndian(REQ_PING));
  HandleAll();
  EXPECT_EQ(ReceiveAvailable(client_), Pongs(1));
  EXPECT_EQ(CountLogged("Received bogus command BABE0040"), 3);
  EXPECT_EQ(CountLogged("does not have access to command BABE000D"), 2);
  const std::string summary = "SECURITY ALERT! Client at 127.0.0.1:1 sent ";
  CheckClientTimer(Connections()[1], MonotonicMilliseconds() + kNoiseSummaryMs - 1000);
  EXPECT_FALSE(Logged(summary));
  AdvanceClock(kNoiseSummaryMs / 1000);
  CheckClientTimer(Connections()[1], MonotonicMilliseconds());
  EXPECT_TRUE(Logged(summary + "3 more unknown, refused or failed requests")) << Log();
  CheckClientTimer(Connections()[1], MonotonicMilliseconds());
  EXPECT_EQ(CountLogged(summary), 1);
}

}  // namespace
}  // namespace keldor
