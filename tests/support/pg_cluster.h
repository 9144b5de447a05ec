// A throwaway PostgreSQL cluster for tests: initdb in a temporary directory, a
// postmaster on a free loopback port, database "keldor" owned by role "keldor"
// (trust authentication: nothing but loopback can reach it). The server refuses
// to run as root, so under root the cluster belongs to the "postgres" user the
// Debian package creates. Stopped and removed with the object.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace keldor::testing {

class PgCluster {
 public:
  PgCluster() : port_(FreePort()) {
    dir_ = root_.path() + "/pg";
    mkdir(dir_.c_str(), 0700);
    if (getuid() == 0) {
      chmod(root_.path().c_str(), 0755);
      Run("chown postgres: " + dir_);
      asUser_ = "runuser -u postgres -- ";
    }
    ok_ = Run(Bin("initdb") + " -D " + dir_ + "/data -A trust -U keldor -E UTF8 --no-sync") &&
          Start() && Psql("postgres", "CREATE DATABASE keldor") != "\x01";
  }
  ~PgCluster() {
    Resume();
    Run(Bin("pg_ctl") + " -D " + dir_ + "/data -m immediate -w stop");
  }
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  bool Ok() const { return ok_; }
  int Port() const { return port_; }
  // A libpq connection string for database "keldor" as role "keldor".
  std::string ConnInfo() const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=keldor user=keldor";
  }
  bool Start() {
    return Run(Bin("pg_ctl") + " -D " + dir_ + "/data -w -t 30 -l " + dir_ + "/log -o '-p " +
               std::to_string(port_) + " -k " + dir_ +
               " -c listen_addresses=127.0.0.1 -c fsync=off' start");
  }
  bool Stop() { return Run(Bin("pg_ctl") + " -D " + dir_ + "/data -m fast -w stop"); }
  // The postmaster's pid, read from its pid file; 0 when it is not running.
  pid_t Pid() const {
    const std::string text = ReadFile(dir_ + "/data/postmaster.pid");
    return text.empty() ? 0 : static_cast<pid_t>(std::atol(text.c_str()));
  }
  // Freezes every process of the cluster (a database that hangs) and thaws it.
  void Hang() { SignalAll(SIGSTOP); }
  void Resume() { SignalAll(SIGCONT); }
  // Runs `sql` through psql on database `db`: the rows unaligned, fields split
  // by '|', one per line; "\x01" when psql failed.
  std::string Psql(const std::string& db, const std::string& sql) const {
    const std::string file = root_.path() + "/query.sql";
    WriteFile(file, sql);
    const std::string command = "psql -X -At -v ON_ERROR_STOP=1 'host=127.0.0.1 port=" +
                                std::to_string(port_) + " dbname=" + db +
                                " user=keldor' -f " + file + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "\x01";
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    return pclose(pipe) == 0 ? out : "\x01" + out;
  }
  std::string Query(const std::string& sql) const { return Psql("keldor", sql); }

 private:
  static std::string Bin(const std::string& name) { return "/usr/lib/postgresql/15/bin/" + name; }
  bool Run(const std::string& command) const {
    return std::system((asUser_ + command + " >/dev/null 2>&1").c_str()) == 0;
  }
  // The postmaster and its children, found by their parent in /proc: each
  // backend leads its own session, so no process group holds them all.
  void SignalAll(int signal) {
    const pid_t pid = Pid();
    if (pid <= 0) return;
    kill(pid, signal);
    for (const std::string& entry : Listing("/proc")) {
      if (entry.empty() || entry.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string stat = ReadFile("/proc/" + entry + "/stat");
      const std::size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      int parent = 0;
      if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 && parent == pid) {
        kill(static_cast<pid_t>(std::atol(entry.c_str())), signal);
      }
    }
  }

  TempDir root_;
  std::string dir_, asUser_;
  int port_;
  bool ok_ = false;
};

}  // namespace keldor::testing
