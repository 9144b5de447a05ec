// Files that must not leak or be abused: password files and logs readable by
// their owner alone, and a pid file that is never followed through a link and
// stays locked while Keldor lives.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

unsigned Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000;
}

// True when the test itself can take the lock on `path` (and drops it again).
bool Lockable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) close(fd);
  return locked;
}

class FilesSecurity : public InstalledServer {
 protected:
  void SetUp() override {
    savedMask_ = umask(022);  // what an operator's shell usually has
    InstalledServer::SetUp();
  }
  void TearDown() override {
    InstalledServer::TearDown();
    umask(savedMask_);
  }
  void StartAndWait(std::vector<std::string> extra) {
    keldor_ = Keldor(std::move(extra), "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged("Listening on"); })) << Log();
  }

  mode_t savedMask_ = 0;
};

TEST_F(FilesSecurity, PasswordFilesAndLogsAreCreatedPrivateAndNarrowedWhenFoundOpen) {
  std::filesystem::remove(SettingsPath("servermanager.con"));
  std::filesystem::remove(SettingsPath("useraccess.con"));
  const std::string autoexec = SettingsPath("serverautoexec.con");
  const std::string rotated = dir_ / "2004-01-01-00-00.log";
  WriteFile(rotated, "an old log\n");
  WriteFile(dir_ / "keldor.log", "an older line\n");
  WriteFile(autoexec, ReadFile(autoexec));
  for (const std::string& path : {autoexec, rotated, dir_ / "keldor.log"}) {
    chmod(path.c_str(), 0644);
  }
  StartAndWait({});
  for (const char* name :
       {"servermanager.con", "useraccess.con", "serverautoexec.con", "serversettings.con"}) {
    EXPECT_EQ(Mode(SettingsPath(name)), 0600u) << name;
  }
  EXPECT_EQ(Mode(dir_ / "keldor.log"), 0600u);
  EXPECT_EQ(Mode(rotated), 0600u);
  EXPECT_EQ(Mode(SettingsPath("banlist.con")), 0644u);  // the others stay as they were
  EXPECT_TRUE(Logged("Tightened the mode of " + autoexec + " to 0600: it holds passwords."))
      << Log();
  EXPECT_TRUE(Logged("Tightened the mode of " + rotated + " to 0600: it may hold passwords."));
  EXPECT_EQ(CountLogged("Tightened the mode of"), 3) << Log();  // not for files made private
}

// A link in the pid file's place is neither followed nor written. The lock
// names a live Keldor: held while it runs, never by the game server it
// started, so it is free the moment Keldor is gone.
TEST_F(FilesSecurity, PidFileIsNoLinkAndIsLockedForKeldorsLifeOnly) {
  const std::string victim = dir_ / "precious";
  const std::string link = dir_ / "keldor.pid";
  WriteFile(victim, "precious content");
  std::filesystem::create_symlink(victim, link);
  StartAndWait({"-pid", link});
  EXPECT_EQ(ReadFile(victim), "precious content");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(Logged("SECURITY ALERT! PID file " + link +
                     " is a symbolic link; it was neither followed nor written."))
      << Log();
  EXPECT_TRUE(CanConnect(port_));  // start-up went on
  keldor_.reset();
  std::filesystem::remove(dir_ / "keldor.log");

  const std::string pidFile = dir_ / "run.pid";
  StartAndWait({"-pid", pidFile, "-start"});
  ASSERT_TRUE(WaitFor([&] { return Alive(GamePid()); })) << Log();
  EXPECT_EQ(ReadFile(pidFile), std::to_string(keldor_->pid()));
  EXPECT_FALSE(Lockable(pidFile));
  keldor_->Signal(SIGKILL);
  ASSERT_TRUE(keldor_->Wait().has_value());
  EXPECT_TRUE(Alive(GamePid()));
  EXPECT_TRUE(Lockable(pidFile));

  // A second Keldor finds the file held and leaves it as it is.
  const int holder = open(pidFile.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string before = ReadFile(pidFile);
  KillGameServer(dir_.path());
  std::filesystem::remove(dir_ / "keldor.log");
  StartAndWait({"-pid", pidFile});
  EXPECT_EQ(ReadFile(pidFile), before);
  EXPECT_TRUE(Logged("Couldn't write PID file to " + pidFile + "! Another process (pid " + before +
                     ") holds it."))
      << Log();
  close(holder);
}

}  // namespace
}  // namespace keldor::e2e
