// What an operator runs into on a real installation: uploads that would lock
// everyone out or reset settings, the game's configuration at start-up, one
// Keldor per installation, -stop with and without a game server, the listening
// port on a quick restart and the command line's warnings; files that must not
// leak or be abused: password files and logs readable by their owner alone,
// and a pid file that is never followed through a link and stays locked while
// Keldor lives.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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

class Operator : public InstalledServer {
 protected:
  void SetUp() override {
    savedMask_ = umask(022);  // what an operator's shell usually has
    InstalledServer::SetUp();
  }
  void TearDown() override {
    InstalledServer::TearDown();
    umask(savedMask_);
  }
  // The daemon of the test, listening (and with -start, logged in to the console).
  void StartKeldor(std::vector<std::string> extra = {}) {
    const std::string ready =
        !extra.empty() && extra[0] == "-start" ? " : Connected\r\n" : "Listening on";
    const int before = CountLogged(ready);
    keldor_ = Keldor(extra, "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return CountLogged(ready) > before; }, 40)) << Log();
  }
  std::pair<int, std::string> Put(const std::string& user, const std::string& password,
                                  const std::string& kind, const std::string& content) {
    const std::string file = dir_ / ("upload" + std::to_string(++uploads_));
    WriteFile(file, content);
    return RunAs(user, password, {"put", kind, file});
  }

  int uploads_ = 0;
  mode_t savedMask_ = 0;
};

TEST_F(Operator, UserListUploadsNeverLockAnyoneOut) {
  // carol may do everything that has a letter or a right of its own, but she is
  // not the administrator and cannot touch one; alice watches what the other
  // clients hear.
  WriteFile(SettingsPath("useraccess.con"), Account("admin", "secret", 0xFFFFFFFF) +
                                                Account("alice", "wonder", 0x4200) +
                                                Account("carol", "pw", 0x3FFFF));
  StartKeldor();
  const std::string stored = ReadFile(SettingsPath("useraccess.con"));
  auto watch = Ctl({"--user", "alice", "--password", "wonder", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user alice"); }));

  const auto refused = [&](const std::string& user, const std::string& password,
                           const std::string& list, const std::string& why) {
    const int before = CountLogged(why);
    EXPECT_EQ(Put(user, password, "users", list).first, 4) << list;
    EXPECT_TRUE(Logged("Couldn't apply the user list uploaded by user " + user + " at 127.0.0.1:"));
    EXPECT_EQ(CountLogged(why), before + 1) << list << Log();
    EXPECT_EQ(ReadFile(SettingsPath("useraccess.con")), stored);
  };
  refused("admin", "secret", "garbage\n", "No line of the user list could be read");
  refused("admin", "secret", "\n\n", "No line of the user list could be read");
  refused("admin", "secret", Account("alice", "wonder", 0x200),
          "The user list would delete or disable the account that sent it");
  refused("alice", "wonder",
          Account("admin", "secret", 0xFFFFFFFF) + Account("alice", "x", 0x4200, 0),
          "The user list would delete or disable the account that sent it");
  EXPECT_FALSE(Logged("deleted user account"));
  EXPECT_FALSE(Logged("updated the user list"));
  EXPECT_EQ(RunAs("admin", "secret", {"ping"}).first, 0);  // everyone may still log in

  // A list that keeps what it must is taken, and only now do the others hear of it.
  EXPECT_EQ(Put("carol", "pw", "users",
                Account("admin", "secret", 0xFFFFFFFF) + Account("carol", "pw", 0x3FFFF) +
                    Account("dave", "pw", 0x40))
                .first,
            0);
  EXPECT_TRUE(Logged(" deleted user account alice."));
  EXPECT_TRUE(Logged(" added user account dave."));
  ASSERT_TRUE(
      WaitFor([&] { return watch->Output().find("NOTE_USERS_CHANGED") != std::string::npos; }));
  const std::string heard = watch->Output();
  EXPECT_EQ(heard.find("NOTE_USERS_CHANGED"), heard.rfind("NOTE_USERS_CHANGED")) << heard;

  // A list of carol's without the administrator, or with it disabled, leaves it be.
  Put("carol", "pw", "users", Account("carol", "pw", 0x3FFFF));
  Put("carol", "pw", "users",
      Account("admin", "secret", 0xFFFFFFFF, 0) + Account("carol", "pw", 0x3FFFF));
  EXPECT_TRUE(Logged("attempted to delete a user account admin that has greater access!"));
  EXPECT_TRUE(Logged("attempted to grant access they don't have to account admin!"));
  EXPECT_EQ(RunAs("admin", "secret", {"ping"}).first, 0);
}

TEST_F(Operator, SettingsUploadsRoundTripAndKeepWhatTheyDoNotName) {
  WriteFile(SettingsPath("useraccess.con"),
            Account("admin", "secret", 0xFFFFFFFF) + Account("alice", "wonder", 0x1F));
  StartKeldor({"-start"});

  // What a download gives (an empty statistics path among it) goes back unchanged,
  // also for a client that may not change the critical settings it sees.
  for (const auto& [user, password] : {std::pair{"admin", "secret"}, {"alice", "wonder"}}) {
    const std::string first = dir_ / (std::string(user) + "-1.con");
    const std::string second = dir_ / (std::string(user) + "-2.con");
    ASSERT_EQ(RunAs(user, password, {"get", "settings", first}).first, 0);
    EXPECT_NE(ReadFile(first).find("manager.statFilePath \"\"\n"), std::string::npos);
    EXPECT_EQ(RunAs(user, password, {"put", "settings", first}).first, 0) << user;
    ASSERT_EQ(RunAs(user, password, {"get", "settings", second}).first, 0);
    EXPECT_EQ(ReadFile(second), ReadFile(first)) << user;
  }
  EXPECT_FALSE(Logged("Invalid value")) << Log();
  EXPECT_FALSE(Logged(" changed game.")) << Log();

  // Three lines change three settings; the console stays switched on.
  EXPECT_EQ(Put("admin", "secret", "settings",
                "game.serverName \"Renamed\"\nmanager.autoAnnounce 1\ngame.serverMaxPlayers 20\n")
                .first,
            0);
  EXPECT_TRUE(Logged(" changed game.serverName from [Keldor Test Server] to [Renamed]."));
  EXPECT_TRUE(Logged(" changed game.serverMaxPlayers from 32 to 20."));
  EXPECT_EQ(CountLogged(" changed "), 3) << Log();
  const std::string saved = ReadFile(SettingsPath("servermanager.con"));
  for (const char* line : {"game.serverMaxPlayers 20\n", "manager.autoAnnounce 1\n",
                           "admin.enableRemoteConsole ", "game.serverName \"Renamed\"\n"}) {
    EXPECT_NE(saved.find(line), std::string::npos) << line << saved;
  }

  // Refused values are named to the log, and the uploader is told.
  EXPECT_EQ(Put("admin", "secret", "settings",
                "game.serverMaxPlayers 80\nmanager.autoAnnouncePeriod 5\nmanager.autoAnnounce 0\n")
                .first,
            4);
  EXPECT_TRUE(Logged("Couldn't apply every setting uploaded by user admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged("! Refused: game.serverMaxPlayers, manager.autoAnnouncePeriod.")) << Log();
  EXPECT_EQ(Put("alice", "wonder", "settings", "game.serverPort 2000\n").first, 4);
  EXPECT_TRUE(Logged("Refused: game.serverPort."));
  // Once for each critical setting of the whole pages 0 and 4 sent back (the statistics
  // path on page 4), then once for the line named.
  EXPECT_EQ(CountLogged("SECURITY ALERT! User alice at 127.0.0.1:"), 12 + 1 + 1);
  EXPECT_FALSE(Logged(" changed game.serverMaxPlayers from 20")) << Log();

  // A hand edit of the file is read in while Keldor runs, and the next upload keeps it.
  std::string edited = ReadFile(SettingsPath("servermanager.con"));
  const std::size_t at = edited.find("game.serverMaxPlayers 20\n");
  ASSERT_NE(at, std::string::npos) << edited;
  edited.replace(at + 22, 2, "24");
  WriteFile(SettingsPath("servermanager.con"), edited);
  ASSERT_TRUE(WaitFor([&] {
    return Logged("User operator at console changed game.serverMaxPlayers from 20 to 24.");
  })) << Log();
  EXPECT_TRUE(Logged("servermanager.con was changed on disk; reloading it."));
  EXPECT_EQ(Put("admin", "secret", "settings", "manager.autoKickPingValue 450\n").first, 0);
  const std::string after = ReadFile(SettingsPath("servermanager.con"));
  EXPECT_NE(after.find("game.serverMaxPlayers 24\n"), std::string::npos) << after;
  EXPECT_NE(after.find("manager.autoKickPingValue 450\n"), std::string::npos) << after;
}

TEST_F(Operator, OneKeldorPerInstallationKeepsTheGameConfigurationAndStopsItsServer) {
  // A game server started by other means reads what is there: start-up leaves it.
  const std::string game = "game.serverName \"Started elsewhere\"\n";
  WriteFile(SettingsPath("serversettings.con"), game);
  // With no server -stop ends at once.
  auto idle = Keldor({"-stop"}, "idle.out");
  EXPECT_EQ(idle->Wait(), 0);
  EXPECT_TRUE(Logged("No server is running, there is nothing to stop."));
  EXPECT_FALSE(Logged("Listening on"));
  const std::string pidFile = dir_ / "keldor.pid";
  StartKeldor({"-pid", pidFile});
  EXPECT_EQ(ReadFile(SettingsPath("serversettings.con")), game);
  ASSERT_TRUE(WaitFor([&] { return ReadFile(pidFile) == std::to_string(keldor_->pid()); }));

  const std::string held = "Another Keldor (pid " + std::to_string(keldor_->pid()) + ")";
  const ReservedPort spare;
  auto second = Keldor({"-pid", pidFile}, "second.out", spare.port());
  EXPECT_EQ(second->Wait(), 1);
  EXPECT_NE(second->Output().find(held), std::string::npos) << second->Output();
  EXPECT_TRUE(Logged(held + " is running on this installation."));
  EXPECT_EQ(ReadFile(pidFile), std::to_string(keldor_->pid()));

  // A clean exit takes the pid file along; the game server it started does not
  // inherit the lock, so the next Keldor adopts the server.
  keldor_.reset();
  StartKeldor({"-start", "-pid", pidFile});
  EXPECT_EQ(keldor_->End(SIGTERM), 15);
  EXPECT_FALSE(std::filesystem::exists(pidFile));
  const pid_t server = GamePid();
  ASSERT_TRUE(Alive(server));
  StartKeldor();
  EXPECT_TRUE(Logged("Server is already running, monitoring enabled."));  // before listening

  // -stop asks the server to quit and ends at once.
  EXPECT_EQ(keldor_->End(SIGTERM), 15);
  auto stopper = Keldor({"-stop"}, "stopper.out");
  EXPECT_EQ(stopper->Wait(), 0);
  EXPECT_TRUE(Logged("Server stopped via command-line option."));
  EXPECT_TRUE(WaitFor([&] { return !Alive(server); }));
  EXPECT_FALSE(Logged("Bad file descriptor"));
  EXPECT_FALSE(Logged("Terminating server with extreme prejudice!"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "bfvietnam.pid"));  // the server's own tidy exit

  // An overlay is an installation of its own, with its own settings and log,
  // locked on its own; SIGINT ends it with status 2.
  const std::string overlay = dir_ / "overlay";
  const int listening = CountLogged("Listening on");
  auto first = Keldor({"+overlayPath", overlay}, "overlay1.out", spare.port());
  ASSERT_TRUE(WaitFor([&] {
    return ReadFile(overlay + "/logs/keldor.log").find("Listening on") != std::string::npos;
  }));
  auto again = Keldor({"+overlayPath", overlay}, "overlay2.out", spare.port());
  EXPECT_EQ(again->Wait(), 1);
  EXPECT_NE(again->Output().find("Another Keldor (pid " + std::to_string(first->pid()) + ")"),
            std::string::npos)
      << again->Output();
  EXPECT_TRUE(std::filesystem::exists(overlay + "/settings/servermanager.con"));
  EXPECT_EQ(CountLogged("Listening on"), listening);
  EXPECT_EQ(first->End(SIGINT), 2);
  EXPECT_NE(ReadFile(overlay + "/logs/keldor.log").find("Exiting due to signal (2)."),
            std::string::npos);
}

TEST_F(Operator, CommandLineWarningsAndAQuickRestartOnTheSamePort) {
  // Standard error apart from the rest, through a shell that becomes keldor.
  const std::string command = BinaryPath("keldor") + " -path " + dir_.path() + " -port " +
                              std::to_string(port_) + " -restrat -IP localhost 2>" +
                              (dir_ / "stderr");
  keldor_ = std::make_unique<Process>("/bin/sh", std::vector<std::string>{"-c", "exec " + command},
                                      dir_.path(), dir_ / "stdout");
  ASSERT_TRUE(WaitFor([&] { return Logged("Listening on 127.0.0.1:"); })) << Log();
  for (const std::string warning :
       {"WARNING: Unknown option -restrat ignored.",
        "WARNING: -ip localhost is not an IPv4 address, it is read as 0.0.0.0."}) {
    EXPECT_NE(ReadFile(dir_ / "stderr").find(warning + "\n"), std::string::npos) << warning;
    EXPECT_TRUE(Logged(warning + "\r\n")) << warning;
  }
  EXPECT_EQ(CountLogged("WARNING: "), 3);  // and PunkBuster's

  // Keldor closes a refused connection itself, which leaves its end of it in
  // TIME-WAIT on the listening port; a restart must bind all the same.
  {
    RawClient client(port_);
    client.SendCredentials("nobody", "nothing");
    client.Read(64);  // the refusal, up to the close
  }
  ASSERT_TRUE(WaitFor([&] { return Logged("Bad username (nobody)."); }));
  EXPECT_EQ(keldor_->End(SIGTERM), 15);
  StartKeldor();
  EXPECT_FALSE(Logged("Couldn't bind"));
}

TEST_F(Operator, PasswordFilesAndLogsAreCreatedPrivateAndNarrowedWhenFoundOpen) {
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
  StartKeldor({});
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
TEST_F(Operator, PidFileIsNoLinkAndIsLockedForKeldorsLifeOnly) {
  const std::string victim = dir_ / "precious";
  const std::string link = dir_ / "keldor.pid";
  WriteFile(victim, "precious content");
  std::filesystem::create_symlink(victim, link);
  StartKeldor({"-pid", link});
  EXPECT_EQ(ReadFile(victim), "precious content");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(Logged("SECURITY ALERT! PID file " + link +
                     " is a symbolic link; it was neither followed nor written."))
      << Log();
  EXPECT_TRUE(CanConnect(port_));  // start-up went on
  keldor_.reset();
  std::filesystem::remove(dir_ / "keldor.log");

  const std::string pidFile = dir_ / "run.pid";
  StartKeldor({"-pid", pidFile, "-start"});
  ASSERT_TRUE(WaitFor([&] { return Alive(GamePid()); })) << Log();
  EXPECT_EQ(ReadFile(pidFile), std::to_string(keldor_->pid()));
  EXPECT_FALSE(Lockable(pidFile));
  ASSERT_TRUE(keldor_->End(SIGKILL).has_value());
  EXPECT_TRUE(Alive(GamePid()));
  EXPECT_TRUE(Lockable(pidFile));

  // A second Keldor finds the file held and leaves it as it is.
  const int holder = open(pidFile.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string before = ReadFile(pidFile);
  KillGameServer(dir_.path());
  std::filesystem::remove(dir_ / "keldor.log");
  StartKeldor({"-pid", pidFile});
  EXPECT_EQ(ReadFile(pidFile), before);
  EXPECT_TRUE(Logged("Couldn't write PID file to " + pidFile + "! Another process (pid " + before +
                     ") holds it."))
      << Log();
  close(holder);
}

}  // namespace
}  // namespace keldor::e2e
