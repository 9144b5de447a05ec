// An in-process game console for unit tests: a thread that listens on
// 127.0.0.1 (a free port) and speaks the console's wire format. It sends a login
// key, reads and unmasks the credentials, answers the verdict, then reads string
// list requests and answers each with whatever the test's responder returns.
// It records every byte it receives. Header-only so that any test can use it.
//
//   FakeConsole console;
//   console.SetResponder([](const ConsoleRequest& r) { return Reply({"first", "second"}); });
//   console.PrepareKeldor();        // monitoring on, credentials, game.serverIP, port
//   ASSERT_TRUE(ConnectConsole());
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gamelink/link_hooks.h"
#include "runtime/game_server.h"
#include "settings/settings.h"

namespace keldor::fake {

// One request as the console received it.
struct ConsoleRequest {
  std::vector<std::string> strings;  // each without its terminating zero byte
  std::string raw;                   // every byte of the request, count included

  bool IsOutputRequest() const {
    return !strings.empty() && strings[0].rfind("ConsoleRun ", 0) == 0;
  }
  // The command lines of a command request: everything between the name and the final "\r".
  std::vector<std::string> Lines() const {
    if (strings.size() < 2) return {};
    return {strings.begin() + 1, strings.end() - 1};
  }
};

// What the console sends back: the bytes as they are (empty: no answer at all),
// then optionally the connection is closed.
struct ConsoleReply {
  std::string bytes;
  bool closeAfter = false;
};

using Responder = std::function<ConsoleReply(const ConsoleRequest&)>;

inline std::string Word(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// One counted string: its length (with the zero byte), the text and the zero byte.
inline std::string CountedString(const std::string& text) {
  return Word(static_cast<std::uint32_t>(text.size() + 1)) + text + std::string(1, '\0');
}

// A whole string list in the console's wire format.
inline std::string StringList(const std::vector<std::string>& strings) {
  std::string bytes = Word(static_cast<std::uint32_t>(strings.size()));
  for (const std::string& s : strings) bytes += CountedString(s);
  return bytes;
}

inline ConsoleReply Reply(const std::vector<std::string>& strings) {
  return {StringList(strings)};
}

// Answers each line of a command request with one string, `answer(line)`, as
// the game answers a query per key; an output request gets only its echo string.
inline Responder AnswerEachLine(std::function<std::string(const std::string&)> answer) {
  return [answer](const ConsoleRequest& request) {
    if (request.IsOutputRequest()) return Reply({request.strings[0]});
    std::vector<std::string> strings;
    for (const std::string& line : request.Lines()) strings.push_back(answer(line));
    return Reply(strings);
  };
}

// Answers the requests in turn with the given replies; the last one is repeated.
inline Responder InTurn(std::vector<ConsoleReply> replies) {
  auto next = std::make_shared<std::size_t>(0);
  return [replies, next](const ConsoleRequest&) {
    const std::size_t i = std::min(*next, replies.size() - 1);
    ++*next;
    return replies.at(i);
  };
}

class FakeConsole {
 public:
  using Key = std::array<std::uint8_t, 10>;

  static constexpr Key kDefaultKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
  static constexpr std::uint32_t kMaxCount = 100000;  // what the fake itself accepts
  static constexpr std::uint32_t kMaxLength = 1 << 20;

  FakeConsole() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listen_, 4);
    socklen_t size = sizeof address;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~FakeConsole() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }

  FakeConsole(const FakeConsole&) = delete;
  FakeConsole& operator=(const FakeConsole&) = delete;

  std::uint16_t Port() const { return port_; }

  // The credentials the console accepts; any others get a zero verdict.
  void ExpectCredentials(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    expectedUser_ = user;
    expectedPassword_ = password;
  }
  void SetResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
  }

  // Points Keldor at this console with the expected credentials in use.
  void PrepareKeldor() {
    std::lock_guard<std::mutex> lock(mutex_);
    GameServer().monitoring = true;
    SkipLoginFollowUpsForTesting(true);
    GameServer().consoleUser = expectedUser_;
    GameServer().consolePass = expectedPassword_;
    Row(Setting::ServerIP).current = static_cast<std::int32_t>(INADDR_LOOPBACK);
    Row(Setting::ConsolePort).current = port_;
  }

  // Everything the console has received so far.
  struct Seen {
    std::vector<ConsoleRequest> requests;
    std::string loginBytes;  // both masked credential strings of the last login, as received
    std::string user;        // their unmasked texts
    std::string password;
    int connections = 0;
  };
  Seen Observed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  // Reads exactly `size` bytes, giving up when the peer closes or the fake stops.
  bool Read(int fd, void* data, std::size_t size, std::string* record) {
    auto* bytes = static_cast<char*>(data);
    std::size_t got = 0;
    while (got < size) {
      if (!WaitReadable(fd)) return false;
      const ssize_t n = recv(fd, bytes + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    if (record != nullptr) record->append(bytes, size);
    return true;
  }

  bool ReadWord(int fd, std::uint32_t& value, std::string* record) {
    unsigned char b[4];
    if (!Read(fd, b, 4, record)) return false;
    value = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return true;
  }

  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, 50);
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
    return false;
  }

  bool Write(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool ReadMasked(int fd, const Key& key, std::string& text, std::string& record) {
    std::uint32_t length = 0;
    if (!ReadWord(fd, length, &record) || length == 0 || length > 4096) return false;
    std::string bytes(length, '\0');
    if (!Read(fd, bytes.data(), length, &record)) return false;
    text.clear();
    for (std::size_t i = 0; i + 1 < length; ++i) text += static_cast<char>(bytes[i] ^ key[i % 10]);
    return true;
  }

  bool ReadRequest(int fd, ConsoleRequest& request) {
    std::uint32_t count = 0;
    if (!ReadWord(fd, count, &request.raw) || count > kMaxCount) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t length = 0;
      if (!ReadWord(fd, length, &request.raw) || length > kMaxLength) return false;
      std::string bytes(length, '\0');
      if (!Read(fd, bytes.data(), length, &request.raw)) return false;
      if (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
      request.strings.push_back(bytes);
    }
    return true;
  }

  void Converse(int fd) {
    const Key& key = kDefaultKey;
    if (!Write(fd, std::string(key.begin(), key.end()))) return;
    std::string record, user, password;
    if (!ReadMasked(fd, key, user, record) || !ReadMasked(fd, key, password, record)) return;
    bool accepted = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.loginBytes = record;
      seen_.user = user;
      seen_.password = password;
      accepted = user == expectedUser_ && password == expectedPassword_;
    }
    if (!Write(fd, std::string(1, accepted ? '\1' : '\0')) || !accepted) return;
    for (;;) {
      ConsoleRequest request;
      if (!ReadRequest(fd, request)) return;
      Responder responder;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.requests.push_back(request);
        responder = responder_;
      }
      const ConsoleReply reply = responder ? responder(request) : Reply({});
      if (!Write(fd, reply.bytes) || reply.closeAfter) return;
    }
  }

  void Serve() {
    while (WaitReadable(listen_)) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++seen_.connections;
      }
      Converse(fd);
      close(fd);
    }
  }

  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string expectedUser_ = "User";
  std::string expectedPassword_ = "Sentinel";
  Responder responder_;
  Seen seen_;
};

}  // namespace keldor::fake
