// The benchmark harness: installations and processes (mkinstall, keldor, the
// game server it runs), clients that speak the wire protocol, and the clock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace keldor::bench {

double NowSeconds();
void SleepMs(int ms);

struct Paths {
  std::string build;  // the directory holding keldor, gamesim and mkinstall
};

// One installation laid out by mkinstall in a private temporary directory.
struct Installation {
  std::string root;  // the temporary directory, removed at the end
  std::string dir;   // the game server directory
  std::map<std::string, std::string> facts;
  int listenPort = 0;
  int consolePort = 0;
  int queryPort = 0;
};

bool MakeInstallation(const Paths& paths, int extraMods, int mapsPerMod, Installation* out);
void RemoveInstallation(const Installation& installation);

// Starts keldor on the installation with the given extra words; 0 on failure.
pid_t StartKeldor(const Paths& paths, const Installation& installation,
                  const std::vector<std::string>& words);
// SIGTERM, then SIGKILL after `graceMs`; reaps it.
void StopProcess(pid_t pid, int graceMs = 5000);
// keldor -stop on the installation: ends the game server it left running.
void StopGameServer(const Paths& paths, const Installation& installation);

// True once something on 127.0.0.1 listens on the TCP port (from /proc/net/tcp).
bool Listening(int port);
// True while an established connection has this local port (the server side).
bool Connected(int localPort);
// The pid of the installation's game server (bfv_linded), 0 when none runs.
pid_t FindGameServer(const Installation& installation);

// One "\status\" query to the game server's UDP status port and its reply,
// as Keldor makes it; false when no reply came within a second.
bool QueryGameStatus(int port);

// CPU time of a (single-threaded) process in seconds, its private memory in
// KiB and its descriptors.
double CpuSeconds(pid_t pid);
// Private_Clean + Private_Dirty, or Private_Dirty alone: clean private pages
// are file pages (program and library text) that no other process maps now.
long PrivateKiB(pid_t pid, bool dirtyOnly = false);
int Descriptors(pid_t pid);
// A "Vm...:" figure of /proc/PID/status in KiB (VmRSS resident now, VmHWM its peak); -1 when
// unknown.
long StatusKiB(pid_t pid, const std::string& key = "VmRSS");

// A logged-in client on a blocking socket.
class Client {
 public:
  ~Client();
  bool Open(int port, const std::string& user, const std::string& password);
  bool Send(const void* data, std::size_t size);
  bool SendWord(std::uint32_t word);
  // Reads messages until the notification `code` arrives (others are skipped).
  bool AwaitNote(std::uint32_t code, double timeoutSeconds = 30);
  // Reads until the text reply to a request arrives.
  bool AwaitTextReply(std::string* text, double timeoutSeconds = 30);
  // Reads the transfer message answering a download: header and packed bytes.
  bool ReadTransfer(std::string* packed, std::uint32_t header[3], double timeoutSeconds = 60);
  int Socket() const { return socket_; }

 private:
  bool ReadExact(void* buffer, std::size_t size, double deadline);
  bool SkipNote(std::uint32_t code, double deadline);
  int socket_ = -1;
};

}  // namespace keldor::bench
