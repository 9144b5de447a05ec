// What the end-to-end tests of the client protocol share: a real keldor on a
// free loopback port in a fresh installation, keldorctl runs, and a raw client
// that drives the wire byte by byte for what keldorctl never does on purpose.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "process_support.h"
#include "wire/protocol.h"

namespace keldor::e2e {

inline constexpr const char* kTestKeyHash = "00112233445566778899aabbccddeeff";

inline std::string Account(const std::string& name, const std::string& password,
                           std::uint32_t rights, int active = 1) {
  return name + "," + password + "," + kTestKeyHash + "," + std::to_string(rights) + "," +
         std::to_string(active) + "\n";
}

inline std::string Word(std::uint32_t value) {
  const keldor::Word word = EncodeWord(value);
  return std::string(word.begin(), word.end());
}

class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  ~RawClient() { close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Send(const std::string& bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void SendWord(std::uint32_t value) { Send(Word(value)); }
  void SendText(std::uint32_t code, const std::string& text) {
    Send(Word(code) + Word(static_cast<std::uint32_t>(text.size() + 1)) + text +
         std::string(1, '\0'));
  }
  void SendCredentials(const std::string& user, const std::string& password) {
    const CredentialField name = EncodeCredential(user);
    const CredentialField secret = EncodeCredential(password);
    Send(std::string(name.begin(), name.end()) + std::string(secret.begin(), secret.end()));
  }
  // Reads exactly `size` bytes (less when the connection ends or `seconds` pass).
  std::string Read(std::size_t size, int seconds = 10) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < size) {
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, seconds * 1000) <= 0) break;
      const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }
  std::uint32_t ReadWord(int seconds = 10) {
    const std::string bytes = Read(4, seconds);
    if (bytes.size() != 4) return 0xFFFFFFFF;
    keldor::Word word{};
    std::copy(bytes.begin(), bytes.end(), word.begin());
    return DecodeWord(word);
  }
  // A full login; true when accepted.
  bool LogIn(const std::string& user, const std::string& password) {
    SendCredentials(user, password);
    if (Read(6).size() != 6) return false;
    Send(std::string(1, static_cast<char>(PROTOCOL_VERSION)));
    return Read(1).size() == 1;
  }
  // True when the peer has closed the connection (within `seconds`).
  bool Closed(int seconds = 10) {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, seconds * 1000) <= 0) return false;
    char byte = 0;
    return recv(fd_, &byte, 1, MSG_PEEK) == 0;
  }

 private:
  int fd_ = -1;
};

// A keldor in a fresh installation with the given accounts; keldorctl runs against it.
class KeldorHarness : public LogDirTest {
 protected:
  void TearDown() override {
    if (keldor_) {
      // A SIGTERM is seen only when the loop's select times out (up to 3 s);
      // tests that do not look at the shutdown end keldor at once.
      keldor_->Signal(killAtEnd_ ? SIGKILL : SIGTERM);
      keldor_->Wait();
    }
  }

  // `installArgs` go to mkinstall before the directory.
  void StartKeldor(const std::string& accounts, const std::string& installArgs = "") {
    const std::string command =
        BinaryPath("mkinstall") + " " + installArgs + " " + dir_.path() + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    WriteAccounts(accounts);
    keldor_ = std::make_unique<Process>(
        BinaryPath("keldor"), std::vector<std::string>{"-path", dir_.path(), "-port", Port()},
        dir_.path(), dir_ / "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged("Listening on"); })) << Log();
  }

  void WriteAccounts(const std::string& text) { WriteFile(SettingsPath("useraccess.con"), text); }
  std::string SettingsPath(const std::string& name) const {
    return dir_ / ("mods/bfvietnam/settings/" + name);
  }
  std::string Port() const { return std::to_string(port_); }

  std::unique_ptr<Process> Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--port", Port()};
    all.insert(all.end(), args.begin(), args.end());
    const std::string output = dir_ / ("ctl" + std::to_string(++ctlCount_));
    return std::make_unique<Process>(BinaryPath("keldorctl"), all, dir_.path(), output);
  }
  // Runs keldorctl to its end: {exit status, its output}.
  std::pair<int, std::string> RunCtl(const std::vector<std::string>& args) {
    auto ctl = Ctl(args);
    const auto status = ctl->Wait();
    return {status.value_or(-1), ctl->Output()};
  }
  // keldorctl as `user`; stdout and stderr land in one file, so commands whose
  // stdout matters write it to a file of their own (get ... <dest>).
  std::pair<int, std::string> RunAs(const std::string& user, const std::string& password,
                                    std::vector<std::string> args) {
    args.insert(args.begin(), {"--user", user, "--password", password});
    return RunCtl(args);
  }

  int port_ = FreePort();
  std::unique_ptr<Process> keldor_;
  int ctlCount_ = 0;
  bool killAtEnd_ = false;
};

}  // namespace keldor::e2e
