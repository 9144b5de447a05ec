// What a client with a settings page cannot do through the settings: aim the
// statistics log at the accounts (by name or through a link) and log in with
// the line a player's name writes there; change the critical console port
// through the remote console line, or change anything critical unlogged; and
// no password a setting holds reaches the log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kPage4 = 0x10;  // the settings page with the console and the statistics
const std::string kForged = "pwn,pw,,4294967295,1";  // a player name that reads as an account

// The console port: the last word of the remote console line.
std::string ConsolePort(const std::string& settings) {
  const std::size_t at = settings.find("admin.enableRemoteConsole ");
  if (at == std::string::npos) return {};
  const std::string line = settings.substr(at, settings.find('\n', at) - at);
  return line.substr(line.rfind(' ') + 1);
}

class SettingsSecurity : public KeldorHarness {
 protected:
  std::pair<int, std::string> Put(const std::string& user, const std::string& content) {
    const std::string file = dir_ / ("upload" + std::to_string(++uploads_) + ".con");
    WriteFile(file, content);
    return RunAs(user, "pw", {"put", "settings", file});
  }
  int uploads_ = 0;
};

TEST_F(SettingsSecurity, TheStatisticsLogNeverReachesTheAccounts) {
  StartKeldor(Account("admin", "pw", 0xFFFFFFFF) + Account("setter", "pw", kPage4),
              "--server-binary " + BinaryPath("gamesim"), {"-start", "-nodelay", "-message"});
  ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
  const std::string accounts = SettingsPath("useraccess.con");
  const std::string stored = ReadFile(accounts);

  // The settings page alone may not name the file; the critical right may, but
  // only a CSV file of Keldor's own in the log directory.
  EXPECT_EQ(
      Put("setter", "manager.statFilePath \"" + accounts + "\"\nmanager.statCollection 1\n").first,
      4);
  EXPECT_TRUE(Logged("SECURITY ALERT! User setter at 127.0.0.1:"));
  EXPECT_EQ(Put("admin", "manager.statFilePath \"" + accounts + "\"\n").first, 4);
  EXPECT_TRUE(Logged("set manager.statFilePath to [" + accounts + "], which is not a CSV file"));

  // A file of our own is taken; a link put in its place afterwards is refused
  // when the file is opened, and the round is written once it is gone.
  ASSERT_EQ(Put("admin",
                "manager.statFilePath \"rounds.csv\"\nmanager.statCollection 1\n"
                "admin.enableRemoteAdmin AdminPw7\n")
                .first,
            0);
  ASSERT_EQ(symlink(accounts.c_str(), (dir_ / "rounds.csv").c_str()), 0);
  ASSERT_EQ(Sim("add " + kForged + " team=1 score=4").rfind("ok ", 0), 0u);
  ASSERT_EQ(Sim("endround"), "ok");
  ASSERT_TRUE(WaitFor([&] { return Logged("Couldn't log player stats to CSV file!"); }, 30))
      << Log();
  EXPECT_EQ(ReadFile(accounts), stored);
  ASSERT_EQ(unlink((dir_ / "rounds.csv").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return Logged("Player stats logged to CSV file."); }, 30)) << Log();
  EXPECT_NE(ReadFile(dir_ / "rounds.csv").find("\n\"" + kForged + "\","), std::string::npos)
      << ReadFile(dir_ / "rounds.csv");
  EXPECT_EQ(ReadFile(accounts), stored);

  // The remote admin password pushed to the game stays out of the message log.
  const std::string messages = ReadFile(dir_ / "message.log");
  EXPECT_NE(messages.find("admin.enableRemoteAdmin *"), std::string::npos) << messages;
  EXPECT_EQ(messages.find("AdminPw7"), std::string::npos);
}

TEST_F(SettingsSecurity, CriticalSettingsNeedTheRightAndEveryChangeIsLoggedWithoutPasswords) {
  StartKeldor(Account("admin", "pw", 0xFFFFFFFF) + Account("setter", "pw", kPage4 | 0x2));
  const std::string before = ReadFile(SettingsPath("servermanager.con"));
  // The console port rides on the remote console line: it still needs the right.
  EXPECT_EQ(Put("setter",
                "admin.enableRemoteConsole SimUser ConPw9 6123\n"
                "game.serverPassword \"JoinPw1\"\n")
                .first,
            4);
  EXPECT_TRUE(Logged("SECURITY ALERT! User setter at 127.0.0.1:"));
  EXPECT_TRUE(Logged("Refused: manager.consolePort."));
  const std::string after = ReadFile(SettingsPath("servermanager.con"));
  EXPECT_EQ(ConsolePort(after), ConsolePort(before));
  EXPECT_NE(after.find(" ConPw9 "), std::string::npos);
  EXPECT_TRUE(Logged(" changed manager.consolePassword.\r\n"));
  EXPECT_TRUE(Logged(" changed game.serverPassword.\r\n"));

  // With it, the change is taken and logged like any other.
  EXPECT_EQ(Put("admin",
                "admin.enableRemoteConsole SimUser ConPw9 6123\n"
                "game.serverReservedPassword \"ResPw2\"\n")
                .first,
            0);
  EXPECT_EQ(ConsolePort(ReadFile(SettingsPath("servermanager.con"))), "6123");
  EXPECT_TRUE(Logged("User admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged(" changed manager.consolePort from " + ConsolePort(before) + " to 6123."));
  EXPECT_TRUE(Logged(" changed game.serverReservedPassword.\r\n"));
  for (const char* secret : {"ConPw9", "JoinPw1", "ResPw2"}) {
    EXPECT_FALSE(Logged(secret)) << secret;
  }
}

}  // namespace
}  // namespace keldor::e2e
