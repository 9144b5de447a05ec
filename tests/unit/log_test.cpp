// The logger: line shape, rotation, locations, syslog mode, echo and error texts.
#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/clock.h"
#include "daemon/cmdline.h"
#include "daemon/startup.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "test_support.h"

namespace keldor {
namespace {

using keldor::testing::Exists;
using keldor::testing::ReadFile;
using keldor::testing::WriteFile;

// 2004-03-01 18:30:05 local time, whatever the machine's zone.
std::time_t FixedTime() {
  std::tm t{};
  strptime("2004-03-01 18:30:05", "%Y-%m-%d %H:%M:%S", &t);
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class LogTest : public testing::LogDirTest {
 protected:
  void SetUp() override {
    ResetAllState();
    ConnectSubsystems();
    Opts().serverDir = dir_.path();
    ConfigureLogging();
    Logging().quiet = true;
    PinClock(FixedTime());
  }
  void TearDown() override {
    UnpinClock();
    ResetAllState();
  }
};

TEST_F(LogTest, OneLinePerCallWithLineBreaksAndMarkersBlankedAndCutTo1023) {
  LogMessage(kLogInfo, "a\r\nb\n");
  LogMessage(kLogInfo, "x%cy %s", 0x80, "z");
  LogMessage(kLogInfo, "%s", "");  // an empty message is still a line
  LogMessage(kLogInfo, nullptr);
  LogDebug("DEBUG: hidden");
  Logging().debug = true;
  LogDebug("DEBUG: shown %d", 1);
  const std::string stamp = "2004-03-01 18:30:05 : ";
  EXPECT_EQ(Log(), stamp + "a  b \r\n" + stamp + "x y z\r\n" + stamp + "\r\n" + stamp +
                       "DEBUG: shown 1\r\n");
  EXPECT_EQ(testing::FileMode(dir_ / "keldor.log"), 0600u);  // lines may quote secrets
  // Control bytes from a chat line or a name never reach a terminal that
  // follows the log; other encodings' bytes stay as they are.
  std::filesystem::remove(dir_ / "keldor.log");
  LogMessage(kLogInfo, "%s", "\x1b[2J\x01\x1f\x7f\tend \xc3\xa9\xff");
  EXPECT_EQ(Log(), stamp + "?[2J??? end \xc3\xa9\xff\r\n");
  std::filesystem::remove(dir_ / "keldor.log");
  LogMessage(kLogInfo, "%s", std::string(3000, 'q').c_str());
  EXPECT_EQ(Log(), stamp + std::string(1023 - stamp.size(), 'q') + "\r\n");
}

// The file is rotated by the line that takes it to 512000 bytes, into a file
// named for the minute that never replaces an earlier one.
TEST_F(LogTest, RotatesOnceTheFileReaches512000Bytes) {
  const std::size_t line = std::strlen("2004-03-01 18:30:05 : tip\r\n");
  // Whole lines before: a file whose last line lacks its end gets one first.
  WriteFile(dir_ / "keldor.log", std::string(512000 - line - 2, 'x') + "\n");
  LogMessage(kLogInfo, "tip");
  EXPECT_EQ(Log().size(), 511999u);
  EXPECT_FALSE(Exists(dir_ / "2004-03-01-18-30.log"));
  WriteFile(dir_ / "keldor.log", std::string(512000 - line - 1, 'x') + "\n");
  LogMessage(kLogInfo, "tip");
  EXPECT_FALSE(Exists(dir_ / "keldor.log"));
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30.log").size(), 512000u);
  WriteFile(dir_ / "2004-03-01-18-30-1.log", "second");
  WriteFile(dir_ / "keldor.log", std::string(511999, 'y') + "\n");
  LogMessage(kLogInfo, "tip");
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30.log").size(), 512000u);
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30-1.log"), "second");
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30-2.log").size(), 512000u + line);

  // In syslog mode no file is written or rotated.
  Logging().useSyslog = true;
  WriteFile(dir_ / "keldor.log", std::string(512000, 'z'));
  LogMessage(kLogInfo, "to syslog");
  EXPECT_EQ(Log().size(), 512000u);
}

// Only rotated logs are counted and removed, oldest first by minute and then
// by counter (2 before 10), at the rotation that makes one too many.
TEST_F(LogTest, RotationRemovesTheOldestRotatedLogsBeyondTheNumberKept) {
  const std::vector<std::string> oldest = {"2004-02-01-10-00.log", "2004-02-01-10-00-2.log"};
  const std::vector<std::string> newer = {"2004-02-01-10-00-10.log", "2004-02-28-23-59.log"};
  const std::vector<std::string> others = {"2004-02-01-10-00.log.bak", "notes.log",
                                           "2004-2-01-10-00.log", "2004-01-01-10-00-0.log"};
  for (const auto& name : oldest) WriteFile(dir_ / name, "old");
  for (const auto& name : newer) WriteFile(dir_ / name, "newer");
  for (const auto& name : others) WriteFile(dir_ / name, "other");
  Logging().keepRotated = 3;
  WriteFile(dir_ / "keldor.log", std::string(512000, 'x'));
  LogMessage(kLogInfo, "tip");
  for (const auto& name : oldest) EXPECT_FALSE(Exists(dir_ / name)) << name;
  for (const auto& name : newer) EXPECT_TRUE(Exists(dir_ / name)) << name;
  for (const auto& name : others) EXPECT_TRUE(Exists(dir_ / name)) << name;
  EXPECT_TRUE(Exists(dir_ / "2004-03-01-18-30.log"));
  EXPECT_NE(Log().find("Removed the old log file " + (dir_ / "2004-02-01-10-00-2.log") +
                       ": the newest 3 rotated logs are kept."),
            std::string::npos)
      << Log();

  // 0 keeps every one.
  Logging().keepRotated = 0;
  WriteFile(dir_ / "keldor.log", std::string(512000, 'x'));
  LogMessage(kLogInfo, "tip");
  EXPECT_EQ(RotatedLogFiles().size(), 4u);
}

TEST_F(LogTest, EchoFollowsDaemonAndMonitorState) {
  const std::string captured = dir_ / "stdout";
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, STDOUT_FILENO);

  Logging().quiet = false;
  LogMessage(kLogInfo, "echoed%s", "\x1b]0;title\x07");
  GameServer().monitoring = true;
  Opts().statusMonitor = 1;
  LogMessage(kLogInfo, "quiet while the game's monitor runs");
  Opts().statusMonitor = 0;
  LogMessage(kLogInfo, "echoed again");

  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fd);
  EXPECT_EQ(ReadFile(captured),
            "2004-03-01 18:30:05 : echoed?]0;title?\r\n2004-03-01 18:30:05 : echoed again\r\n");
}

TEST(ErrorTexts, SystemOwnAndUnknownCodes) {
  EXPECT_EQ(std::string(ErrorText(ENOENT)), std::string(std::strerror(ENOENT)) + " (2)");
  for (int code : {30012, 30013, 30014}) {  // the file transfer's own
    EXPECT_EQ(std::string(ErrorText(code)).find("unknown error"), std::string::npos) << code;
  }
  EXPECT_EQ(std::string(ErrorText(30018)), "An unknown error has occured. (30018)");
}

}  // namespace
}  // namespace keldor
