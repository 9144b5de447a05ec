// SendAll and ReceiveExact on real loopback sockets, and the byte reader/writer pair.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/net.h"
#include "daemon/startup.h"
#include "loopback_pair.h"

namespace keldor {
namespace {

// A connected loopback pair; `near` is non-blocking like every socket Keldor reads.
struct LoopbackPair {
  LoopbackPair() {
    std::tie(far, near) = testing::LoopbackListener().Pair();
    int on = 1;
    ioctl(near, FIONBIO, &on);
  }
  ~LoopbackPair() {
    close(near);
    CloseFar();
  }
  void CloseFar() {
    if (far >= 0) close(far);
    far = -1;
  }
  int near = -1;
  int far = -1;
};

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAllState(); }
};

TEST_F(NetTest, ZeroLengthAndNullBuffers) {
  char byte = 0;
  // Zero bytes succeed without touching the socket, even an invalid one.
  EXPECT_TRUE(SendAll(-1, &byte, 0));
  EXPECT_TRUE(ReceiveExact(-1, &byte, 0));
  EXPECT_FALSE(SendAll(-1, nullptr, 1));
  EXPECT_FALSE(ReceiveExact(-1, nullptr, 1));
}

TEST_F(NetTest, MessageSplitOverPausesIsReadWhole) {
  LoopbackPair pair;
  const std::string message = "0123456789abcdefghij";
  std::thread writer([&pair, &message] {
    for (std::size_t i = 0; i < message.size(); i += 7) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      send(pair.far, message.data() + i, std::min<std::size_t>(7, message.size() - i), 0);
    }
  });
  std::string got(message.size(), '\0');
  const bool ok = ReceiveExact(pair.near, got.data(), got.size());
  writer.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(got, message);
}

TEST_F(NetTest, SilentPeerTimesOut) {
  LoopbackPair pair;
  send(pair.far, "ab", 2, 0);
  char got[4];
  EXPECT_FALSE(ReceiveExact(pair.near, got, sizeof got));
  EXPECT_EQ(ErrorCode(), ETIMEDOUT);
  EXPECT_EQ(errno, EAGAIN);  // what the link reports when it drops
}

TEST_F(NetTest, ClosedPeerIsAResetNotAStaleError) {
  LoopbackPair pair;
  send(pair.far, "ab", 2, 0);
  pair.CloseFar();
  errno = EAGAIN;
  char got[4];
  EXPECT_FALSE(ReceiveExact(pair.near, got, sizeof got));
  EXPECT_EQ(ErrorCode(), ECONNRESET);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(NetTest, SendAllSendsEverythingAndFailsWithoutWaiting) {
  LoopbackPair pair;
  const std::string message(1000, 'm');
  ASSERT_TRUE(SendAll(pair.near, message.data(), message.size()));
  std::string got(message.size(), '\0');
  ASSERT_EQ(recv(pair.far, got.data(), got.size(), MSG_WAITALL), static_cast<ssize_t>(got.size()));
  EXPECT_EQ(got, message);

  // A peer that reads nothing fills the buffers: would-block is a failure, not a wait.
  const std::vector<char> flood(64 * 1024 * 1024, 'f');
  EXPECT_FALSE(SendAll(pair.near, flood.data(), flood.size()));
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(NetTest, SendAllToAClosedPeerFailsWithoutSignal) {
  LoopbackPair pair;
  pair.CloseFar();
  const char data[64] = {};
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    failed = !SendAll(pair.near, data, sizeof data);
    if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

TEST(Bytes, WriterAndReaderAreLittleEndianAndRefuseOverrunForGood) {
  std::uint8_t buffer[8] = {};
  ByteWriter writer(buffer, 7);
  EXPECT_TRUE(writer.PutU32(0) && writer.PutU8(0xAB) && writer.PatchU32(0, 0xDDCCBBAA));
  EXPECT_FALSE(writer.PutU32(1));  // 2 bytes of room left: nothing of it is written
  EXPECT_FALSE(writer.PutU8(1));
  EXPECT_EQ(writer.Used(), 5u);
  EXPECT_EQ(buffer[5], 0);
  EXPECT_FALSE(ByteWriter(buffer, 4).PatchU32(0, 1));  // nothing written there yet

  ByteReader reader(buffer, 6);
  std::uint32_t word = 0;
  std::uint8_t byte = 0;
  EXPECT_TRUE(reader.GetU32(word) && reader.GetU8(byte));
  EXPECT_EQ(word, 0xDDCCBBAAu);
  EXPECT_EQ(byte, 0xAB);
  EXPECT_FALSE(reader.GetU32(word));  // one byte left
  EXPECT_FALSE(reader.GetU8(byte));   // refused for good
  EXPECT_EQ(word, 0xDDCCBBAAu);
  EXPECT_FALSE(ByteReader(nullptr, 100).GetU8(byte));
}

}  // namespace
}  // namespace keldor
