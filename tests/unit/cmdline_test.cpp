// Reading the command line: word kinds, arguments, buffers and -kill (the
// usage text is checked byte for byte in startup_test).
#include "daemon/cmdline.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "core/log.h"
#include "daemon/startup.h"
#include "runtime/options.h"
#include "test_support.h"

namespace keldor {
namespace {

using keldor::testing::ReadFile;
using keldor::testing::TempDir;
using keldor::testing::WriteFile;

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAllState();
    // Lines the parser logs go to the temp directory's keldor.log.
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    Logging().quiet = true;  // no echo into the test output
  }
  void TearDown() override {
    ResetAllState();
    ASSERT_EQ(chdir("/"), 0);
  }

  CommandLineOutcome Parse(std::vector<std::string> words) {
    out_.clear();
    const bool quiet = Logging().quiet;
    const CommandLineOutcome outcome = ParseCommandLine(words, out_);
    Logging().quiet = quiet;
    return outcome;
  }

  TempDir dir_;
  std::string out_;
};

TEST_F(CommandLine, MissingArgumentsAreRefusedPerOption) {
  for (const char* option : {"-path", "-ip", "-port", "-pid", "-syslog", "-priority"}) {
    EXPECT_TRUE(Parse({option}).exitNow) << option;
    EXPECT_EQ(out_, std::string(">>> Error: ") + option + " requires an argument!\n");
  }
  EXPECT_EQ(Parse({"-port", "-daemon"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: -port requires an argument!\n");
  EXPECT_EQ(Parse({"-PORT", "+x"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: -port requires an argument!\n");
  EXPECT_EQ(Parse({"-path", "."}).status, 1);
  EXPECT_EQ(out_, ">>> Error: -path requires an argument!\n");
  EXPECT_EQ(Parse({"-pid", "."}).status, 1);
  EXPECT_EQ(Parse({"+maxPlayers"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: +maxPlayers requires an argument!\n");
  EXPECT_EQ(Parse({"@game.gameSpyPort", "@x"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: game.gameSpyPort requires an argument!\n");
}

TEST_F(CommandLine, OptionsSetTheirValues) {
  EXPECT_FALSE(Parse({"-priority", "-5", "-path", "/srv/bfv/", "-port", "16000", "-ip", "10.1.2.3",
                      "-noadmin", "-NODELAY", "-reuseaddr", "-exit", "-quit"})
                   .exitNow);
  const Options& s = Opts();
  EXPECT_TRUE(s.renice);
  EXPECT_EQ(s.priority, -5);
  EXPECT_EQ(s.serverDir, "/srv/bfv");
  EXPECT_EQ(s.listenPort, 16000);
  EXPECT_EQ(s.ipOption, 0x0A010203u);
  EXPECT_FALSE(s.adminMessages);
  EXPECT_FALSE(s.kickDelay);
  EXPECT_TRUE(s.reuseAddress && s.stopServerOnExit && s.quitWithServer);
  EXPECT_EQ(s.pidFilePath, dir_.path() + "/keldor.pid");
}

TEST_F(CommandLine, SyslogFacilityReadsTwoCharacters) {
  EXPECT_EQ(Parse({"-syslog", "9"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: Syslog local facility number must be between 0 and 7.\n");
  EXPECT_EQ(Parse({"-syslog", "123"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: Syslog local facility number must be between 0 and 7.\n");
}

TEST_F(CommandLine, PortMustBeANumberFromOneTo65535) {
  for (const char* port : {"0", "65536", "80000", "http", "15667x", " 15667", ""}) {
    EXPECT_EQ(Parse({"-port", port}).status, 1) << port;
    EXPECT_EQ(out_, ">>> Error: Port number must be between 1 and 65535.\n");
  }
  EXPECT_FALSE(Parse({"-port", "65535"}).exitNow);
  EXPECT_EQ(Opts().listenPort, 65535);
  // The usage text names the port that is used without -port.
  EXPECT_NE(std::string(UsageText()).find("(default " + std::to_string(kDefaultListenPort) + ")"),
            std::string::npos);
}

TEST_F(CommandLine, StrayWordsTakeTheNextWordAlong) {
  EXPECT_FALSE(Parse({"foo", "-start"}).exitNow);
  EXPECT_FALSE(Opts().startServer);
  EXPECT_FALSE(Parse({"+game", "BF1942", "-start", "-stop"}).exitNow);
  EXPECT_FALSE(Opts().startServer);
  EXPECT_TRUE(Opts().stopServer);
  EXPECT_TRUE(Opts().serverArgs.empty());
  EXPECT_FALSE(Parse({"-unknown", "-daemon"}).exitNow);
  EXPECT_TRUE(Opts().daemon);
}

TEST_F(CommandLine, ServerArgumentsAndCommandsFillTheirBuffers) {
  EXPECT_FALSE(Parse({"+maxPlayers", "16", "@game.gameSpyPort", "23001", "+statusMonitor", "2",
                      "-daemon", "+hostName", "two words"})
                   .exitNow);
  EXPECT_EQ(Opts().serverArgs, " +maxPlayers 16 +hostName two words");
  EXPECT_EQ(Opts().serverArgWords,
            (std::vector<std::string>{"+maxPlayers", "16", "+hostName", "two words"}));
  EXPECT_EQ(Opts().serverCmds, "game.gameSpyPort 23001\n");
  EXPECT_EQ(Opts().gameSpyPortOverride, 23001);
  EXPECT_EQ(Opts().statusMonitor, 0);  // cleared by -daemon
}

TEST_F(CommandLine, FullBuffersRefuseWordsAndNeverOverflow) {
  const std::string longValue(2000, 'v');
  std::vector<std::string> words;
  for (int i = 0; i < 40; ++i) {
    words.push_back("@cmd" + std::to_string(i));
    words.push_back(longValue.substr(0, 50));
  }
  EXPECT_FALSE(Parse(words).exitNow);
  EXPECT_LE(Opts().serverCmds.size(), 1023u);
  // Every command line that was taken is whole.
  EXPECT_EQ(Opts().serverCmds.back(), '\n');

  // A refused server argument's value is read as a stray word (which skips the
  // word after it), so separate runs show each buffer filling.
  words.clear();
  for (int i = 0; i < 40; ++i) {
    words.push_back("+arg" + std::to_string(i));
    words.push_back(longValue.substr(0, 50));
  }
  EXPECT_FALSE(Parse(words).exitNow);
  EXPECT_LE(Opts().serverArgs.size(), 1023u);
  const std::string log = ReadFile(dir_ / "keldor.log");
  EXPECT_NE(log.find("Too many server arguments were specified on the command-line, not all "
                     "arguments will be processed."),
            std::string::npos);
  EXPECT_NE(log.find("Too many custom server commands were specified on the command-line, not "
                     "all commands will be processed."),
            std::string::npos);

  // A single argument longer than the buffer is cut to fit.
  EXPECT_FALSE(Parse({"+big", longValue}).exitNow);
  EXPECT_EQ(Opts().serverArgs.size(), 1023u);
  EXPECT_EQ(Opts().serverArgWords,
            (std::vector<std::string>{"+big", longValue.substr(0, 1023 - 6)}));
}

TEST_F(CommandLine, LongPathsAreCut) {
  const std::string longPath = "/" + std::string(5000, 'p');
  EXPECT_FALSE(Parse({"-path", longPath, "-pid", longPath, "+overlayPath", longPath}).exitNow);
  EXPECT_EQ(Opts().serverDir.size(), 4095u);
  EXPECT_EQ(Opts().pidFilePath.size(), 4095u);
  EXPECT_EQ(Opts().overlayPath.size(), 4095u);
  EXPECT_EQ(Opts().overlayPath.back(), '/');
}

TEST_F(CommandLine, RelativeDirectoriesAreTakenFromTheWorkingDirectory) {
  EXPECT_FALSE(Parse({"-path", "game/", "-pid", "run/k.pid", "+overlayPath", "over"}).exitNow);
  EXPECT_EQ(Opts().serverDir, dir_ / "game");
  EXPECT_EQ(Opts().pidFilePath, dir_ / "run/k.pid");
  EXPECT_EQ(Opts().overlayPath, dir_ / "over/");
}

TEST_F(CommandLine, OverlayPathGetsSlashAndLogsDirectory) {
  EXPECT_FALSE(Parse({"+overlayPath", dir_.path()}).exitNow);
  EXPECT_EQ(Opts().overlayPath, dir_.path() + "/");
  EXPECT_TRUE(keldor::testing::Exists(dir_ / "logs"));
}

TEST_F(CommandLine, KillNeedsAReadablePidFileWithAPid) {
  EXPECT_EQ(Parse({"-kill"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: -kill requires -pid!\n");

  const std::string pidFile = dir_ / "k.pid";
  EXPECT_EQ(Parse({"-kill", "-pid", pidFile}).status, 1);
  EXPECT_EQ(out_, ">>> Error: Couldn't open pid file: " + pidFile + "!\n");

  WriteFile(pidFile, "");
  EXPECT_EQ(Parse({"-kill", "-pid", pidFile}).status, 1);
  EXPECT_EQ(out_, ">>> Error: Couldn't read pid file: " + pidFile + "!\n");

  WriteFile(pidFile, "junk\n");
  EXPECT_EQ(Parse({"-pid", pidFile, "-kill"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: Pid file contains an invalid pid! (0)\n");

  // A negative number would signal a whole process group: refused the same way.
  WriteFile(pidFile, "-1");
  EXPECT_EQ(Parse({"-pid", pidFile, "-kill"}).status, 1);
  EXPECT_EQ(out_, ">>> Error: Pid file contains an invalid pid! (-1)\n");
}

TEST_F(CommandLine, KillSendsSigtermToTheRecordedPid) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  const std::string pidFile = dir_ / "k.pid";
  WriteFile(pidFile, std::to_string(child));
  const CommandLineOutcome outcome = Parse({"-kill", "-pid", pidFile});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(out_, "Sent SIGTERM to pid " + std::to_string(child) + ".\n");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);

  // The process is gone now: sending fails with the system's text.
  EXPECT_EQ(Parse({"-kill", "-pid", pidFile}).status, 1);
  EXPECT_EQ(out_.rfind(">>> Error: Couldn't send SIGTERM to pid " + std::to_string(child) +
                           "! No such process (3)\n",
                       0),
            0u);
}

}  // namespace
}  // namespace keldor
