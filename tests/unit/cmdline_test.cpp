// Reading the command line: word kinds, arguments, buffers and -kill. The usage
// text, -kill of a running keldor and the overlay's logs are shown end to end in
// startup_test.
#include "daemon/cmdline.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
  // Parses `words`; the status when the process is to end now, else -1.
  int Parse(const std::vector<std::string>& words) {
    out_.clear();
    const CommandLineOutcome outcome = ParseCommandLine(words, out_);
    Logging().quiet = true;
    return outcome.exitNow ? outcome.status : -1;
  }

  TempDir dir_;
  std::string out_;
};

TEST_F(CommandLine, BadWordsEndWithStatusOneAndTheirMessage) {
  const auto refused = [this](const std::vector<std::string>& words, const std::string& message) {
    EXPECT_EQ(Parse(words), 1) << words[0];
    EXPECT_EQ(out_, ">>> Error: " + message + "\n") << words[0];
  };
  for (const char* option : {"-path", "-ip", "-port", "-pid", "-syslog", "-priority"}) {
    refused({option}, std::string(option) + " requires an argument!");
  }
  // An argument that looks like a word of its own is none.
  refused({"-port", "-daemon"}, "-port requires an argument!");
  refused({"-PORT", "+x"}, "-port requires an argument!");
  refused({"-pid", "."}, "-pid requires an argument!");
  refused({"@game.gameSpyPort", "@x"}, "game.gameSpyPort requires an argument!");
  refused({"-syslog", "123"}, "Syslog local facility number must be between 0 and 7.");
  for (const char* port : {"0", "65536", "http", "15667x"}) {
    refused({"-port", port}, "Port number must be between 1 and 65535.");
  }
  refused({"-logkeep"}, "-logkeep requires an argument!");
  refused({"-logkeep", "-1"}, "-logkeep requires an argument!");
  for (const char* keep : {"100001", "ten", "5x", " 5"}) {
    refused({"-logkeep", keep}, "-logkeep must be a whole number from 0 to 100000.");
  }
  refused({"-metrics"}, "-metrics requires an argument!");
  refused({"-hang"}, "-hang requires an argument!");
  for (const char* passes : {"1", "201", "ten"}) {
    refused({"-hang", passes}, "-hang must be a whole number from 2 to 200.");
  }
  const std::string pidFile = dir_ / "k.pid";
  refused({"-kill"}, "-kill requires -pid!");
  refused({"-kill", "-pid", pidFile}, "Couldn't open pid file: " + pidFile + "!");
  WriteFile(pidFile, "-1");  // would signal a whole process group
  refused({"-pid", pidFile, "-kill"}, "Pid file contains an invalid pid! (-1)");
}

TEST_F(CommandLine, OptionsSetTheirValues) {
  EXPECT_EQ(Parse({"-priority", "-5", "-path", "/srv/bfv/", "-port", "65535", "-NODELAY"}), -1);
  EXPECT_EQ(Opts().priority, -5);
  EXPECT_EQ(Opts().serverDir, "/srv/bfv");
  EXPECT_EQ(Opts().listenPort, 65535);
  EXPECT_FALSE(Opts().kickDelay);
  EXPECT_EQ(Opts().pidFilePath, dir_.path() + "/keldor.pid");
  EXPECT_EQ(Logging().keepRotated, kDefaultLogKeep);
  EXPECT_EQ(Parse({"-LOGKEEP", "0"}), -1);
  EXPECT_EQ(Logging().keepRotated, 0);
  EXPECT_TRUE(Opts().rollback);
  EXPECT_EQ(Parse({"-hang", "10", "-metrics", "/run/keldor.prom", "-norollback"}), -1);
  EXPECT_EQ(Opts().hangPasses, 10);
  EXPECT_EQ(Opts().metricsPath, "/run/keldor.prom");
  EXPECT_FALSE(Opts().rollback);
}

TEST_F(CommandLine, StrayWordsTakeTheNextWordAlong) {
  EXPECT_EQ(Parse({"+game", "BF1942", "-start", "-stop"}), -1);
  EXPECT_FALSE(Opts().startServer);
  EXPECT_TRUE(Opts().stopServer);
  EXPECT_TRUE(Opts().serverArgs.empty());
  EXPECT_EQ(Parse({"-unknown", "-daemon"}), -1);
  EXPECT_TRUE(Opts().daemon);
}

TEST_F(CommandLine, ServerArgumentsAndCommandsFillTheirBuffersAndNeverOverflow) {
  EXPECT_EQ(Parse({"+maxPlayers", "16", "@game.gameSpyPort", "23001", "+statusMonitor", "2",
                   "-daemon", "+hostName", "two words"}),
            -1);
  EXPECT_EQ(Opts().serverArgs, " +maxPlayers 16 +hostName two words");
  EXPECT_EQ(Opts().serverArgWords,
            (std::vector<std::string>{"+maxPlayers", "16", "+hostName", "two words"}));
  EXPECT_EQ(Opts().serverCmds, "game.gameSpyPort 23001\n");
  EXPECT_EQ(Opts().gameSpyPortOverride, 23001);
  EXPECT_EQ(Opts().statusMonitor, 0);  // cleared by -daemon

  // A refused server argument's value is read as a stray word (which skips the
  // word after it), so separate runs show each buffer filling.
  const auto fill = [this](const std::string& mark) {
    std::vector<std::string> words;
    for (int i = 0; i < 40; ++i) {
      words.insert(words.end(), {mark + std::to_string(i), std::string(50, 'v')});
    }
    return Parse(words);
  };
  EXPECT_EQ(fill("@cmd"), -1);
  EXPECT_LE(Opts().serverCmds.size(), 1023u);
  EXPECT_TRUE(Opts().serverCmds.ends_with("\n"));  // every command line taken is whole
  EXPECT_EQ(fill("+arg"), -1);
  EXPECT_LE(Opts().serverArgs.size(), 1023u);
  EXPECT_NE(ReadFile(dir_ / "keldor.log").find("Too many server arguments"), std::string::npos);

  // A single argument longer than the buffer is cut to fit.
  const std::string longValue(2000, 'v');
  EXPECT_EQ(Parse({"+big", longValue}), -1);
  EXPECT_EQ(Opts().serverArgs.size(), 1023u);
  EXPECT_EQ(Opts().serverArgWords,
            (std::vector<std::string>{"+big", longValue.substr(0, 1023 - 6)}));
}

TEST_F(CommandLine, PathsAreTakenFromTheWorkingDirectoryAndCut) {
  EXPECT_EQ(Parse({"-path", "game/", "-pid", "run/k.pid", "+overlayPath", "over"}), -1);
  EXPECT_EQ(Opts().serverDir, dir_ / "game");
  EXPECT_EQ(Opts().pidFilePath, dir_ / "run/k.pid");
  EXPECT_EQ(Opts().overlayPath, dir_ / "over/");

  const std::string longPath = "/" + std::string(5000, 'p');
  EXPECT_EQ(Parse({"-path", longPath, "+overlayPath", longPath}), -1);
  EXPECT_EQ(Opts().serverDir.size(), 4095u);
  EXPECT_EQ(Opts().overlayPath.size(), 4095u);
  EXPECT_TRUE(Opts().overlayPath.ends_with("/"));
}

}  // namespace
}  // namespace keldor
