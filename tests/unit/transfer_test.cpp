// File transfer over a real loopback connection, decoded and encoded here
// independently of the daemon: large downloads, the temporary files of
// downloads and uploads, and uploads that must leave the old file alone
// (oversized or abandoned messages). The log tail is in notify_test. Round trips and damaged
// uploads are covered end to end in dispatch_transfer_test.
#include "remote/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "daemon/startup.h"
#include "loopback_pair.h"
#include "policing/banned_words.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/options.h"
#include "test_support.h"

namespace keldor {
namespace {

using keldor::testing::Exists;
using keldor::testing::ReadFile;
using keldor::testing::TempDir;
using keldor::testing::WriteFile;

std::string Word(std::uint32_t value) {
  return keldor::testing::LittleEndian(value);
}

std::uint32_t WordAt(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

std::string Compressed(const std::string& content) {
  std::vector<unsigned char> out(PackedBound(content.size()));
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint size = 0;
  lzo1x_1_compress(reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                   out.data(), &size, work.data());
  return std::string(reinterpret_cast<char*>(out.data()), size);
}

std::uint32_t Adler(const std::string& bytes) {
  return static_cast<std::uint32_t>(
      lzo_adler32(1, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

// A file-transfer message as a client builds it, independently of SendFile.
std::string Message(const std::string& content) {
  if (content.empty()) return Word(0);
  const std::string packed = Compressed(content);
  return Word(static_cast<std::uint32_t>(content.size())) +
         Word(static_cast<std::uint32_t>(packed.size())) + Word(Adler(packed)) + packed;
}

// Text of a mixed file: repetitive lines and bytes that do not compress.
std::string Sample(std::size_t size) {
  std::string bytes;
  unsigned seed = 12345;
  while (bytes.size() < size) {
    if (bytes.size() % 3000 < 1500) {
      bytes += "game.serverName \"Keldor test\"\r\n";
    } else {
      seed = seed * 1103515245 + 12345;
      bytes += static_cast<char>(seed >> 16);
    }
  }
  bytes.resize(size);
  return bytes;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAllState();
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    Opts().serverDir = dir_.path();
    Logging().directory = dir_.path();
    Opts().settingsDir = dir_ / "settings";
    Connect();
  }
  void TearDown() override {
    close(keldor_);
    close(peer_);
    ResetAllState();
  }

  // A loopback connection: Keldor's end is non-blocking, as client sockets are.
  void Connect() {
    std::tie(keldor_, peer_) = keldor::testing::LoopbackListener().Pair();
    fcntl(keldor_, F_SETFL, O_NONBLOCK);
  }

  // Sends from the client's side on a thread, so that any size can go through.
  void ClientSends(const std::string& bytes, bool closeAfter = false) {
    writer_ = std::thread([this, bytes, closeAfter] {
      std::size_t sent = 0;
      while (sent < bytes.size()) {
        const ssize_t n = send(peer_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      if (closeAfter) shutdown(peer_, SHUT_WR);
    });
  }
  void Joined() {
    if (writer_.joinable()) writer_.join();
  }

  std::string ClientReads(std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = recv(peer_, bytes.data() + got, size - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
  // What is left for the client to read right now: nothing, or the connection's end.
  bool ClientHasNothingPending() {
    char byte;
    return recv(peer_, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }
  // Receives a file message on the client's side and unpacks it.
  std::string ClientReceivesFile() {
    const std::string header = ClientReads(4);
    if (header.size() < 4 || WordAt(header, 0) == 0) return "";
    const std::string rest = ClientReads(8);
    const std::uint32_t size = WordAt(header, 0);
    const std::string packed = ClientReads(WordAt(rest, 0));
    EXPECT_EQ(Adler(packed), WordAt(rest, 4));
    std::vector<unsigned char> out(size);
    lzo_uint unpacked = size;
    EXPECT_EQ(lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(packed.data()),
                                    packed.size(), out.data(), &unpacked, nullptr),
              LZO_E_OK);
    EXPECT_EQ(unpacked, size);
    return std::string(reinterpret_cast<char*>(out.data()), unpacked);
  }

  bool Receive(const std::string& path) {
    const bool ok = ReceiveFile(path, keldor_);
    Joined();
    return ok;
  }

  std::string Log() const { return ReadFile(dir_ / "keldor.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  std::size_t FilesIn(const std::string& dir) const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
    return n;
  }

  TempDir dir_;
  int keldor_ = -1;
  int peer_ = -1;
  std::thread writer_;
};

// A message larger than the socket's buffer waits for a client that reads late
// instead of failing half-sent; the socket is non-blocking again afterwards.
TEST_F(TransferTest, AClientThatStopsReadingMidFileIsCutOffNotLeftOutOfStep) {
  // Random bytes do not compress: the message is far larger than both buffers.
  std::string content(2 * 1024 * 1024, '\0');
  unsigned seed = 7;
  for (char& c : content) c = static_cast<char>(rand_r(&seed));
  WriteFile(dir_ / "big.con", content);
  const int small = 32768;
  setsockopt(keldor_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  EXPECT_FALSE(SendFile(dir_ / "big.con", keldor_));
  // What arrived is followed by the end of the connection, never by more data.
  EXPECT_TRUE(keldor::testing::PeerClosed(peer_));
}

TEST_F(TransferTest, LargeFileWaitsForRoomOnTheSocket) {
  const std::string content = Sample(1024 * 1024);
  WriteFile(dir_ / "big.con", content);
  const int small = 32768;
  setsockopt(keldor_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const timeval patience{10, 0};  // a message that stops half-way fails the test, not hangs it
  setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::string got;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    got = ClientReceivesFile();
  });
  EXPECT_TRUE(SendFile(dir_ / "big.con", keldor_));
  reader.join();
  EXPECT_TRUE(got == content);  // too large to print
  EXPECT_NE(fcntl(keldor_, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(TransferTest, AbsurdSizesAreRefusedAndTheConnectionEnded) {
  const std::string target = dir_ / "target.con";
  for (const std::string& header :
       {Word(0xF0000000u) + Word(0xF0000000u) + Word(1),  // far beyond the cap
        Word(kTransferMax + 1) + Word(100) + Word(1),
        Word(1000) + Word(100000) + Word(1),  // more compressed than LZO can make of 1000
        Word(1000) + Word(0) + Word(1)}) {
    WriteFile(target, "old content");
    ClientSends(header + std::string(64, 'x'));
    EXPECT_FALSE(Receive(target));
    EXPECT_EQ(ErrorCode(), 30014);
    EXPECT_EQ(ReadFile(target), "old content");
    EXPECT_TRUE(keldor::testing::PeerClosed(peer_));
    close(keldor_);
    close(peer_);
    Connect();
  }
  EXPECT_TRUE(Logged("SECURITY ALERT! Peer at 127.0.0.1 announced a file of 4026531840 bytes"));
}

TEST_F(TransferTest, ClientLeavingMidTransferChangesNoFile) {
  const std::string target = dir_ / "target.con";
  WriteFile(target, "old content");
  const std::string message = Message(Sample(20000));
  ClientSends(message.substr(0, message.size() / 2), /*closeAfter=*/true);
  EXPECT_FALSE(Receive(target));
  EXPECT_EQ(ReadFile(target), "old content");
  EXPECT_EQ(FilesIn(dir_.path()), 2u);
}

// A stored upload that cannot be taken into use is reported to the uploader
// alone; the other clients hear only of one that can.
TEST_F(TransferTest, UploadThatCannotBeTakenIntoUseFailsForTheUploaderOnly) {
  ClientSlots()[1] = ClientSlot{keldor_, "carol", "127.0.0.1:1", 0xFFFFFFFF, ""};
  const auto [otherDaemon, other] = keldor::testing::LoopbackListener().Pair();
  ClientSlots()[2] = ClientSlot{otherDaemon, "dave", "127.0.0.1:2", 1, ""};
  std::filesystem::create_directories(dir_ / "settings/useraccess.con");  // cannot be saved
  std::string words;
  while (words.size() <= kBannedWordsMax) words += "rude\n";
  const std::vector<std::tuple<std::uint32_t, std::string, std::string>> cases = {
      {REQ_PUT_SETTINGS, Word(0), "settings"},  // an empty settings file applies nothing
      {REQ_PUT_USERS, Word(0), "user list"},
      {REQ_PUT_BANNED_WORDS, Message(words), "banned words"}};
  for (const auto& [request, message, what] : cases) {
    ClientSends(message);
    EXPECT_TRUE(ReceiveRequestedFile(request, 1, keldor_));
    Joined();
    EXPECT_EQ(keldor::testing::ReceiveAvailable(peer_), Word(NOTE_COMMAND_FAILED) + Word(0));
    EXPECT_TRUE(Logged("Couldn't apply the " + what + " uploaded by user carol at 127.0.0.1:1! "))
        << Log();
  }
  EXPECT_EQ(keldor::testing::ReceiveAvailable(other), "");
  EXPECT_FALSE(Logged("updated the"));

  ClientSends(Message("rude\n"));
  EXPECT_TRUE(ReceiveRequestedFile(REQ_PUT_BANNED_WORDS, 1, keldor_));
  Joined();
  EXPECT_EQ(keldor::testing::ReceiveAvailable(other), Word(NOTE_BANNED_WORDS_CHANGED) + Word(0));
  close(otherDaemon);
  close(other);
}

TEST_F(TransferTest, DownloadsPrepareTheirFilesAndRemoveTemporaryOnes) {
  WriteFile(dir_ / "settings/servermaplist.con", "Hue GPM_CQ bfvietnam\n");
  std::string got;
  std::thread reader([&] { got = ClientReceivesFile(); });
  EXPECT_TRUE(SendRequestedFile(REQ_GET_ROTATION, 0, keldor_));
  reader.join();
  EXPECT_EQ(got, "Hue GPM_CQ bfvietnam\n");

  // The user list is written for the client and removed after the transfer;
  // without a stored list there is nothing to send but the failure marker.
  EXPECT_FALSE(SendRequestedFile(REQ_GET_USERS, 0, keldor_));
  EXPECT_EQ(ClientReads(4), Word(XFER_FAIL_MARKER));
  WriteFile(dir_ / "settings/useraccess.con", "");
  EXPECT_TRUE(SendRequestedFile(REQ_GET_USERS, 0, keldor_));
  EXPECT_EQ(ClientReads(4), Word(0));
  EXPECT_FALSE(Exists(dir_ / "useraccess.con"));

  EXPECT_FALSE(SendRequestedFile(REQ_PUT_ROTATION, 0, keldor_));
  EXPECT_FALSE(SendRequestedFile(REQ_PING, 0, keldor_));
  EXPECT_TRUE(ClientHasNothingPending());
}

}  // namespace
}  // namespace keldor
