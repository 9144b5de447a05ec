// SendAll and ReceiveExact on real loopback sockets, and the byte reader/writer pair.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <utility>
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
    ResetAllState();
  }
  ~LoopbackPair() {
    close(near);
    if (far >= 0) close(far);
  }
  int Pending() const {
    int bytes = 0;
    ioctl(near, FIONREAD, &bytes);
    return bytes;
  }
  int near = -1;
  int far = -1;
};

TEST(Net, MessageThatArrivesInPiecesIsReadWhole) {
  LoopbackPair pair;
  const std::string message = "0123456789abcdefghij";
  std::thread writer([&pair, &message] {
    for (std::size_t i = 0; i < message.size(); i += 7) {
      send(pair.far, message.data() + i, std::min<std::size_t>(7, message.size() - i), 0);
      // The next piece goes only once the reader has taken this one, so that it has to wait.
      testing::WaitFor([&pair] { return pair.Pending() == 0; }, 5);
    }
  });
  std::string got(message.size(), '\0');
  const bool ok = ReceiveExact(pair.near, got.data(), got.size());
  writer.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(got, message);
}

TEST(Net, SilentPeerTimesOutAndClosedPeerIsAResetNotAStaleError) {
  LoopbackPair silent;
  send(silent.far, "ab", 2, 0);
  char got[4];
  EXPECT_FALSE(ReceiveExact(silent.near, got, sizeof got));
  EXPECT_EQ(ErrorCode(), ETIMEDOUT);
  EXPECT_EQ(errno, EAGAIN);  // what the link reports when it drops

  LoopbackPair closed;
  send(closed.far, "ab", 2, 0);
  close(std::exchange(closed.far, -1));
  errno = EAGAIN;
  EXPECT_FALSE(ReceiveExact(closed.near, got, sizeof got));
  EXPECT_EQ(ErrorCode(), ECONNRESET);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST(Net, SendAllSendsEverythingAndFailsWithoutWaitingOrSignal) {
  LoopbackPair pair;
  const std::string message(1000, 'm');
  // A peer that reads nothing fills the buffers: would-block is a failure, not a wait.
  const std::vector<char> flood(64 * 1024 * 1024, 'f');
  EXPECT_FALSE(SendAll(pair.near, flood.data(), flood.size()));
  EXPECT_EQ(errno, EAGAIN);

  // A peer that has gone (reset at once) gives an error, not SIGPIPE.
  const linger reset{1, 0};
  setsockopt(pair.far, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(std::exchange(pair.far, -1));
  pollfd hangup{pair.near, POLLOUT, 0};
  ASSERT_EQ(poll(&hangup, 1, 5000), 1);
  EXPECT_FALSE(SendAll(pair.near, message.data(), message.size()));
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

  ByteReader reader(buffer, 6);
  std::uint32_t word = 0;
  std::uint8_t byte = 0;
  EXPECT_TRUE(reader.GetU32(word) && reader.GetU8(byte));
  EXPECT_EQ(word, 0xDDCCBBAAu);
  EXPECT_EQ(byte, 0xAB);
  EXPECT_FALSE(reader.GetU32(word));  // one byte left
  EXPECT_FALSE(reader.GetU8(byte));   // refused for good
  EXPECT_EQ(word, 0xDDCCBBAAu);
}

}  // namespace
}  // namespace keldor
