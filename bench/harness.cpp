// Processes, installations and wire clients for the benchmarks.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "wire/protocol.h"

namespace keldor::bench {

double NowSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void SleepMs(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
  const pid_t pid = fork();
  if (pid != 0) return pid < 0 ? 0 : pid;
  const int out =
      open(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
    close(out);
  }
  const int in = open("/dev/null", O_RDONLY);
  if (in >= 0) dup2(in, 0);
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Local ports in a /proc/net/tcp table with the given state (0A listen, 01 established).
bool PortInState(int port, const char* state) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, st;
    fields >> slot >> local >> remote >> st;
    if (st == state && local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool MakeInstallation(const Paths& paths, int extraMods, int mapsPerMod, Installation* out) {
  char root[] = "/tmp/keldor-bench.XXXXXX";
  if (mkdtemp(root) == nullptr) return false;
  out->root = root;
  out->dir = out->root + "/server";
  const std::string command = paths.build + "/mkinstall --server-binary " + paths.build +
                              "/gamesim --extra-mods " + std::to_string(extraMods) +
                              " --maps-per-mod " + std::to_string(mapsPerMod) + " " + out->dir;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t colon = text.find(": ");
    if (colon != std::string::npos) out->facts[text.substr(0, colon)] = text.substr(colon + 2);
  }
  if (pclose(pipe) != 0) return false;
  out->listenPort = std::atoi(out->facts["listen-port"].c_str());
  out->consolePort = std::atoi(out->facts["console-port"].c_str());
  out->queryPort = std::atoi(out->facts["query-port"].c_str());
  return out->listenPort > 0 && out->consolePort > 0;
}

void RemoveInstallation(const Installation& installation) {
  if (installation.root.rfind("/tmp/keldor-bench.", 0) != 0) return;
  const std::string command = "rm -rf '" + installation.root + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "bench: couldn't remove %s\n", installation.root.c_str());
}

pid_t StartKeldor(const Paths& paths, const Installation& installation,
                  const std::vector<std::string>& words) {
  std::vector<std::string> argv = {paths.build + "/keldor", "-path", installation.dir, "-port",
                                   std::to_string(installation.listenPort)};
  argv.insert(argv.end(), words.begin(), words.end());
  return Spawn(argv, installation.root + "/keldor.out");
}

void StopProcess(pid_t pid, int graceMs) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int waited = 0; waited < graceMs; waited += 5) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return;
    SleepMs(5);
  }
  kill(pid, SIGKILL);
  WaitFor(pid);
}

void StopGameServer(const Paths& paths, const Installation& installation) {
  const pid_t pid = Spawn({paths.build + "/keldor", "-path", installation.dir, "-stop"},
                          installation.root + "/keldor.out");
  if (pid > 0) {
    // -stop ends within a few seconds; beyond that it is ended too.
    for (int waited = 0; waited < 10000; waited += 10) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return;
      SleepMs(10);
    }
    StopProcess(pid, 0);
  }
}

bool Listening(int port) {
  return PortInState(port, "0A");
}

bool Connected(int localPort) {
  return PortInState(localPort, "01");
}

pid_t FindGameServer(const Installation& installation) {
  const std::string binary = installation.dir + "/bfv_linded";
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    char target[4096];
    const std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (binary == target) {
      // A zombie still shows its executable for a moment; take only a live one.
      std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
      std::string all;
      std::getline(stat, all);
      const std::size_t close = all.rfind(')');
      if (close != std::string::npos && close + 2 < all.size() && all[close + 2] != 'Z') {
        found = pid;
        break;
      }
    }
  }
  closedir(proc);
  return found;
}

double CpuSeconds(pid_t pid) {
  // schedstat counts nanoseconds on the CPU; /proc/PID/stat only 10 ms ticks,
  // too coarse for an idle process.
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = -1;
  schedstat >> nanoseconds;
  return nanoseconds < 0 ? -1 : nanoseconds * 1e-9;
}

bool QueryGameStatus(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(port));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const unsigned char request[] = {0xFE, 0xFD, 0x00, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF};
  timeval wait{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char reply[32769];
  const bool ok = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&server),
                         sizeof server) == static_cast<ssize_t>(sizeof request) &&
                  recv(fd, reply, sizeof reply, 0) > 5;
  close(fd);
  return ok;
}

long PrivateKiB(pid_t pid, bool dirtyOnly) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  long total = 0;
  while (rollup >> key) {
    long value = 0;
    if ((key == "Private_Clean:" && !dirtyOnly) || key == "Private_Dirty:") {
      rollup >> value;
      total += value;
    }
  }
  return total;
}

long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string word; status >> word;) {
    long value = 0;
    if (word == key + ":" && status >> value) return value;
  }
  return -1;
}

int Descriptors(pid_t pid) {
  DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (fds == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(fds);
  return count;
}

Client::~Client() {
  if (socket_ >= 0) close(socket_);
}

bool Client::Open(int port, const std::string& user, const std::string& password) {
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  // A request goes out in several sends: without this, each waits for the
  // acknowledgement of the one before (Nagle against delayed ACKs, 40 ms).
  const int on = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const CredentialField name = EncodeCredential(user);
  const CredentialField secret = EncodeCredential(password);
  const double deadline = NowSeconds() + 10;
  std::uint8_t result = 0xFF;
  LoginGrant grant{};
  const std::uint8_t version = PROTOCOL_VERSION;
  std::uint8_t running = 0;
  return Send(name.data(), name.size()) && Send(secret.data(), secret.size()) &&
         ReadExact(&result, 1, deadline) && result == 0 &&
         ReadExact(grant.data(), grant.size(), deadline) && Send(&version, 1) &&
         ReadExact(&running, 1, deadline);
}

bool Client::Send(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = send(socket_, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool Client::SendWord(std::uint32_t word) {
  const Word bytes = EncodeWord(word);
  return Send(bytes.data(), bytes.size());
}

bool Client::ReadExact(void* buffer, std::size_t size, double deadline) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    const double left = deadline - NowSeconds();
    if (left <= 0) return false;
    pollfd wait{socket_, POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = recv(socket_, bytes + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool Client::SkipNote(std::uint32_t, double deadline) {
  Word length{};
  if (!ReadExact(length.data(), length.size(), deadline)) return false;
  std::string data(DecodeWord(length), '\0');
  return data.empty() || ReadExact(data.data(), data.size(), deadline);
}

bool Client::AwaitNote(std::uint32_t code, double timeoutSeconds) {
  const double deadline = NowSeconds() + timeoutSeconds;
  for (;;) {
    Word word{};
    if (!ReadExact(word.data(), word.size(), deadline)) return false;
    const std::uint32_t got = DecodeWord(word);
    if ((got & 0xFFFF0000U) != 0xBEEF0000U) return false;  // a reply nobody asked for
    if (!SkipNote(got, deadline)) return false;
    if (got == code) return true;
  }
}

bool Client::AwaitTextReply(std::string* text, double timeoutSeconds) {
  const double deadline = NowSeconds() + timeoutSeconds;
  for (;;) {
    Word word{};
    if (!ReadExact(word.data(), word.size(), deadline)) return false;
    const std::uint32_t got = DecodeWord(word);
    if ((got & 0xFFFF0000U) == 0xBEEF0000U) {
      if (!SkipNote(got, deadline)) return false;
      continue;
    }
    text->assign(got, '\0');
    return got == 0 || ReadExact(text->data(), got, deadline);
  }
}

bool Client::ReadTransfer(std::string* packed, std::uint32_t header[3], double timeoutSeconds) {
  const double deadline = NowSeconds() + timeoutSeconds;
  for (;;) {
    Word word{};
    if (!ReadExact(word.data(), word.size(), deadline)) return false;
    header[0] = DecodeWord(word);
    if (header[0] == XFER_FAIL_MARKER) return false;
    if ((header[0] & 0xFFFF0000U) != 0xBEEF0000U) break;
    if (!SkipNote(header[0], deadline)) return false;
  }
  if (header[0] == 0) return true;
  Word word{};
  if (!ReadExact(word.data(), word.size(), deadline)) return false;
  header[1] = DecodeWord(word);
  if (!ReadExact(word.data(), word.size(), deadline)) return false;
  header[2] = DecodeWord(word);
  packed->assign(header[1], '\0');
  return ReadExact(packed->data(), packed->size(), deadline);
}

}  // namespace keldor::bench
