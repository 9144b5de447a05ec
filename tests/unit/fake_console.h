// An in-process game console for unit tests: a thread on a free 127.0.0.1 port
// that sends a login key, unmasks and checks the credentials, then answers each
// string list request with what the test's responder returns, recording every
// byte it receives. PrepareKeldor() points the console link at it.
#pragma once

#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gamelink/link_hooks.h"
#include "runtime/game_server.h"
#include "settings/settings.h"
#include "test_support.h"

namespace keldor::fake {

using testing::CountedString;
using testing::StringList;

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

inline ConsoleReply Reply(const std::vector<std::string>& strings) {
  return {StringList(strings)};
}

// Answers the requests in turn with the given replies; the last one is repeated.
inline Responder InTurn(std::vector<ConsoleReply> replies) {
  auto next = std::make_shared<std::size_t>(0);
  return [replies, next](const ConsoleRequest&) {
    return replies.at(std::min((*next)++, replies.size() - 1));
  };
}

class FakeConsole {
 public:
  static constexpr std::array<std::uint8_t, 10> kDefaultKey = {0x11, 0x22, 0x33, 0x44, 0x55,
                                                               0x66, 0x77, 0x88, 0x99, 0xAA};

  FakeConsole() : listen_(testing::BindLoopback(SOCK_STREAM)) {
    listen(listen_, 4);
    port_ = static_cast<std::uint16_t>(testing::LocalPort(listen_));
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
    int connections = 0;
  };
  Seen Observed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // The command lines of the requests from the `from`th on, output requests left
  // out; `*end` (if given) is set to the number of requests seen.
  std::vector<std::string> CommandsSince(std::size_t from, std::size_t* end = nullptr) const {
    const std::vector<ConsoleRequest> requests = Observed().requests;
    std::vector<std::string> lines;
    for (std::size_t i = from; i < requests.size(); ++i) {
      if (requests[i].IsOutputRequest()) continue;
      for (const std::string& line : requests[i].Lines()) lines.push_back(line);
    }
    if (end != nullptr) *end = requests.size();
    return lines;
  }

 private:
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, 50);
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
    return false;
  }

  // Exactly `size` bytes, appended to `record`; nothing when the peer closes or the fake stops.
  std::optional<std::string> Read(int fd, std::size_t size, std::string& record) {
    std::string bytes(size, '\0');
    for (std::size_t got = 0; got < size;) {
      const ssize_t n = WaitReadable(fd) ? recv(fd, bytes.data() + got, size - got, 0) : -1;
      if (n <= 0) return std::nullopt;
      got += static_cast<std::size_t>(n);
    }
    record += bytes;
    return bytes;
  }

  std::optional<std::uint32_t> ReadWord(int fd, std::string& record) {
    const auto bytes = Read(fd, 4, record);
    if (!bytes) return std::nullopt;
    return testing::WordFrom(*bytes);
  }

  // A length word of at most `limit` and that many bytes.
  std::optional<std::string> ReadCounted(int fd, std::uint32_t limit, std::string& record) {
    const auto length = ReadWord(fd, record);
    if (!length || *length > limit) return std::nullopt;
    return Read(fd, *length, record);
  }

  static bool Write(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  void Converse(int fd) {
    const auto& key = kDefaultKey;
    if (!Write(fd, std::string(key.begin(), key.end()))) return;
    std::string record, credentials[2];
    for (std::string& text : credentials) {
      const auto masked = ReadCounted(fd, 4096, record);
      if (!masked || masked->empty()) return;
      for (std::size_t i = 0; i + 1 < masked->size(); ++i)
        text += static_cast<char>((*masked)[i] ^ key[i % 10]);
    }
    bool accepted = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.loginBytes = record;
      accepted = credentials[0] == expectedUser_ && credentials[1] == expectedPassword_;
    }
    if (!Write(fd, std::string(1, accepted ? '\1' : '\0')) || !accepted) return;
    for (;;) {
      ConsoleRequest request;
      const auto count = ReadWord(fd, request.raw);
      if (!count || *count > 100000) return;
      for (std::uint32_t i = 0; i < *count; ++i) {
        auto text = ReadCounted(fd, 1 << 20, request.raw);
        if (!text) return;
        if (!text->empty() && text->back() == '\0') text->pop_back();
        request.strings.push_back(*text);
      }
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

  int listen_;
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
