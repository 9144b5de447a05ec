// A fake game status responder for unit tests: a UDP socket on 127.0.0.1 whose
// thread answers each status query with what the test's reply function makes of
// the request.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

namespace keldor::fake {

// A string with its terminating zero byte, as the reply carries strings.
inline std::string Z(const std::string& text) {
  return text + std::string(1, '\0');
}

// A reply datagram: the type byte, the request's identifier and `body`.
inline std::string Answer(const std::string& request, const std::string& body) {
  return std::string(1, '\0') + request.substr(3, 4) + body;
}

class FakeStatusServer {
 public:
  using Reply = std::function<std::string(const std::string& request)>;

  // On `port` (0: a free one).
  explicit FakeStatusServer(Reply reply = {}, int port = 0)
      : reply_(std::move(reply)), fd_(testing::BindLoopback(SOCK_DGRAM, port)) {
    const timeval wait{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (fd_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~FakeStatusServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  FakeStatusServer(const FakeStatusServer&) = delete;
  FakeStatusServer& operator=(const FakeStatusServer&) = delete;

  int port() const { return testing::LocalPort(fd_); }
  // Answers go out from `fd` (another socket's port), as a forger's would.
  void AnswerFrom(int fd) { answerFd_ = fd; }

  void SetReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }
  // Every query is answered with these information pairs, then empty player and team sections.
  void AnswerInfo(const std::vector<std::string>& pairs) {
    std::string body;
    for (const std::string& s : pairs) body += Z(s);
    body += Z("") + std::string("p\0\0t\0\0", 6);
    SetReply([body](const std::string& request) { return Answer(request, body); });
  }

 private:
  void Serve() {
    while (!stop_) {
      char buffer[64];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t got =
          recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 7) continue;
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reply_) continue;
        answer = reply_(std::string(buffer, static_cast<std::size_t>(got)));
      }
      const int out = answerFd_ >= 0 ? answerFd_.load() : fd_;
      sendto(out, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  Reply reply_;
  std::mutex mutex_;
  int fd_;
  std::atomic<int> answerFd_{-1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace keldor::fake
