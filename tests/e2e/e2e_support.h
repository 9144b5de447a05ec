// What the end-to-end tests share: the real binaries run as child processes
// that are waited for and ended by pid, game installations made by mkinstall,
// a keldor on a free loopback port with keldorctl runs against it, and a raw
// client that drives the wire byte by byte for what keldorctl never does on purpose.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "wire/protocol.h"

namespace keldor::e2e {

using testing::ConnectLoopback;
using testing::LogDirTest;
using testing::ReadFile;
using testing::ReservedPort;
using testing::TempDir;
using testing::WaitFor;
using testing::WriteFile;

inline std::string BinaryPath(const std::string& name) {
  return std::string(KELDOR_BIN_DIR) + "/" + name;
}

inline std::string Word(std::uint32_t value) {
  return testing::LittleEndian(value);
}

// One child process with its standard output and error in a file.
class Process {
 public:
  Process(const std::string& binary, const std::vector<std::string>& args, const std::string& cwd,
          const std::string& outputFile)
      : output_(outputFile) {
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      if (chdir(cwd.c_str()) != 0) _exit(126);
      const int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      dup2(open("/dev/null", O_RDONLY), 0);
      std::vector<char*> argv{const_cast<char*>(binary.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Process() {
    if (!status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  std::string Output() const { return ReadFile(output_); }
  void Signal(int signal) const { kill(pid_, signal); }
  // Sends `signal` and waits for the end: the exit status (or 128 + signal).
  std::optional<int> End(int signal) {
    Signal(signal);
    return Wait();
  }

  // The exit status (or 128 + signal) once the process ends within `seconds`.
  std::optional<int> Wait(double seconds = 30) {
    WaitFor(
        [this] {
          int status = 0;
          if (status_ || waitpid(pid_, &status, WNOHANG) != pid_) return status_.has_value();
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        seconds);
    return status_;
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

inline bool CanConnect(int port) {
  const int fd = ConnectLoopback(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Sends one line to a running gamesim's control channel in `serverDir` and
// returns its answer line ("" when it cannot be reached).
inline std::string GameSimControl(const std::string& serverDir, const std::string& line) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (serverDir + "/gamesim.sock").c_str(),
               sizeof address.sun_path - 1);
  const timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = line + "\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
  }
  close(fd);
  return answer;
}

// The requests that connection summaries in `log` say were left out of it,
// summed (only those of clients at `source` when one is given).
inline int Unlogged(const std::string& log, const std::string& source = "") {
  const std::regex summary((source.empty() ? "" : "Client at " + source + ":[0-9]+ ") +
                           "sent ([0-9]+) more ");
  int total = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), summary), end; it != end; ++it) {
    total += std::stoi((*it)[1]);
  }
  return total;
}

inline bool Alive(pid_t pid) {
  return pid > 0 && kill(pid, 0) == 0;
}

// The game server's pid from its pid file in `serverDir`, 0 when there is none.
inline pid_t GamePid(const std::string& serverDir) {
  const std::string text = ReadFile(serverDir + "/bfvietnam.pid");
  return text.empty() ? 0 : std::atoi(text.c_str());
}

// The game server is a session leader of its own: it is ended by its pid.
inline void KillGameServer(const std::string& serverDir) {
  if (const pid_t server = GamePid(serverDir); Alive(server)) kill(server, SIGKILL);
}

// Lays out a game installation with mkinstall; what it printed stays in mkinstall.txt.
inline void MakeInstallation(const std::string& dir, const std::string& options = "") {
  const std::string command =
      BinaryPath("mkinstall") + " " + options + " " + dir + " > " + dir + "/mkinstall.txt";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("mkinstall failed");
}

// A "key: value" line of what mkinstall printed about the installation in `dir`.
inline std::string InstallationFact(const std::string& dir, const std::string& key) {
  std::istringstream lines(ReadFile(dir + "/mkinstall.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
  }
  return {};
}

// A keldorctl run ({exit status, output}) that ended with `status` and said `text`.
inline ::testing::AssertionResult Says(const std::pair<int, std::string>& run, int status,
                                       const std::string& text = "") {
  if (run.first == status && run.second.find(text) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "status " << run.first << " (not " << status << ") or no \"" << text << "\" in:\n"
         << run.second;
}

// A line of useraccess.con.
inline std::string Account(const std::string& name, const std::string& password,
                           std::uint32_t rights, int active = 1) {
  return name + "," + password + ",00112233445566778899aabbccddeeff," + std::to_string(rights) +
         "," + std::to_string(active) + "\n";
}

class RawClient {
 public:
  // From `source`: another loopback address (127.0.0.2, ...) is a second host.
  explicit RawClient(int port, const char* source = "127.0.0.1")
      : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    const sockaddr_in to = testing::LoopbackAddress(port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      close(fd_);
      throw std::runtime_error("connect failed");
    }
  }
  int fd() const { return fd_; }
  ~RawClient() { close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Send(const std::string& bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void SendWord(std::uint32_t value) { Send(Word(value)); }
  void SendText(std::uint32_t code, const std::string& text) {
    Send(Word(code) + testing::CountedString(text));
  }
  void SendCredentials(const std::string& user, const std::string& password) {
    const CredentialField name = EncodeCredential(user);
    const CredentialField secret = EncodeCredential(password);
    Send(std::string(name.begin(), name.end()) + std::string(secret.begin(), secret.end()));
  }
  std::string Read(std::size_t size) { return testing::ReadExactly(fd_, size); }
  std::uint32_t ReadWord() {
    const std::string bytes = Read(4);
    return bytes.size() == 4 ? testing::WordFrom(bytes) : 0xFFFFFFFF;
  }
  // A ping answered with an empty pong.
  bool Pings() {
    SendWord(REQ_PING);
    return ReadWord() == NOTE_PONG && ReadWord() == 0;
  }
  // The next notification: its code and its text without the closing NUL.
  std::pair<std::uint32_t, std::string> ReadNote() {
    const std::uint32_t code = ReadWord();
    std::string text = Read(ReadWord());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return {code, text};
  }
  // A full login; true when accepted.
  bool LogIn(const std::string& user, const std::string& password) {
    SendCredentials(user, password);
    if (Read(6).size() != 6) return false;
    Send(std::string(1, static_cast<char>(PROTOCOL_VERSION)));
    return Read(1).size() == 1;
  }

 private:
  int fd_;
};

// A keldor (ended at once at the end of the test, with any game server left)
// that keldorctl runs against, in an installation whose settings and gamesim
// the test reaches.
class KeldorTest : public LogDirTest {
 protected:
  // keldor is ended at once: a SIGTERM is seen only when its loop's select
  // times out, and tests that look at the shutdown do it themselves.
  void TearDown() override {
    keldor_.reset();
    KillGameServer(dir_.path());
  }

  std::string SettingsPath(const std::string& name) const {
    return dir_ / ("mods/bfvietnam/settings/" + name);
  }
  std::string Port() const { return std::to_string(port_); }
  std::string Sim(const std::string& line) const { return GameSimControl(dir_.path(), line); }
  // mkinstall in the test's directory, the game's console on a port held for
  // the whole test (gamesim, however often started, listens on it all the same).
  void Install(const std::string& options) {
    MakeInstallation(dir_.path(),
                     "--console-port " + std::to_string(console_.port()) + " " + options);
  }

  // keldor on this installation, on the test's port unless told another.
  std::unique_ptr<Process> Keldor(std::vector<std::string> extra, const std::string& output,
                                  int port = 0) {
    std::vector<std::string> args{"-path", dir_.path(), "-port",
                                  std::to_string(port != 0 ? port : port_)};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Process>(BinaryPath("keldor"), args, dir_.path(), dir_ / output);
  }
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

  ReservedPort console_;
  int port_ = 0;
  std::unique_ptr<Process> keldor_;
  int ctlCount_ = 0;
};

// An installation with gamesim as its game server, for keldor on the port
// mkinstall chose.
class InstalledServer : public KeldorTest {
 protected:
  void SetUp() override {
    Install("--server-binary " + BinaryPath("gamesim"));
    port_ = std::stoi(InstallationFact(dir_.path(), "listen-port"));
  }
  pid_t GamePid() const { return e2e::GamePid(dir_.path()); }
};

// A keldor on a reserved port in an installation the test has mkinstall lay out.
class KeldorHarness : public KeldorTest {
 protected:
  KeldorHarness() { port_ = reserved_.port(); }

  // `installArgs` go to mkinstall before the directory, `extra` to keldor;
  // `settings` lines are appended to servermanager.con.
  void StartKeldor(const std::string& accounts, const std::string& installArgs = "",
                   const std::vector<std::string>& extra = {}, const std::string& settings = "") {
    Install(installArgs);
    WriteAccounts(accounts);
    WriteFile(SettingsPath("servermanager.con"),
              ReadFile(SettingsPath("servermanager.con")) + settings);
    keldor_ = Keldor(extra, "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged("Listening on"); })) << Log();
    reserved_.Release();
  }

  // A raw client logged in as `user` from `source`; a refusal fails the test.
  std::unique_ptr<RawClient> LoggedIn(const std::string& user, const std::string& password,
                                      const char* source = "127.0.0.1") {
    auto client = std::make_unique<RawClient>(port_, source);
    if (!client->LogIn(user, password)) ADD_FAILURE() << "login refused";
    return client;
  }
  void WriteAccounts(const std::string& text) { WriteFile(SettingsPath("useraccess.con"), text); }

  ReservedPort reserved_;
};

}  // namespace keldor::e2e
