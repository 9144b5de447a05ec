// The logger: line shape, rotation, locations, syslog mode and error texts.
#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

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
using keldor::testing::TempDir;
using keldor::testing::WriteFile;

// 2004-03-01 18:30:05 local time, whatever the machine's zone.
std::time_t FixedTime() {
  std::tm t{};
  t.tm_year = 104;
  t.tm_mon = 2;
  t.tm_mday = 1;
  t.tm_hour = 18;
  t.tm_min = 30;
  t.tm_sec = 5;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class LogTest : public ::testing::Test {
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
  std::string LogText() { return ReadFile(dir_ / "keldor.log"); }

  TempDir dir_;
};

TEST_F(LogTest, OneLinePerCallWithLineBreaksAndMarkersBlanked) {
  LogMessage(kLogInfo, "a\r\nb\n");
  LogMessage(kLogInfo, "x%cy %s", 0x80, "z");
  EXPECT_EQ(LogText(), "2004-03-01 18:30:05 : a  b \r\n2004-03-01 18:30:05 : x y z\r\n");
}

TEST_F(LogTest, EmptyFormatLogsNothing) {
  LogMessage(kLogInfo, "%s", "");  // an empty message is still a line
  const char* empty = "";
  LogMessage(kLogInfo, empty, 0);
  LogMessage(kLogInfo, nullptr);
  EXPECT_EQ(LogText(), "2004-03-01 18:30:05 : \r\n");
}

TEST_F(LogTest, LinesAreCutTo1023Characters) {
  const std::string big(3000, 'q');
  LogMessage(kLogInfo, "%s", big.c_str());
  const std::string text = LogText();
  EXPECT_EQ(text.size(), 1023u + 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(LogTest, DebugLinesOnlyWithDebugFlag) {
  LogDebug("DEBUG: hidden");
  Logging().debug = true;
  LogDebug("DEBUG: shown %d", 1);
  EXPECT_EQ(LogText(), "2004-03-01 18:30:05 : DEBUG: shown 1\r\n");
}

TEST_F(LogTest, RotatesOnceTheFileReaches512000Bytes) {
  WriteFile(dir_ / "keldor.log", std::string(511999, 'x'));
  LogMessage(kLogInfo, "tip");
  EXPECT_FALSE(Exists(dir_ / "keldor.log"));
  const std::string rotated = ReadFile(dir_ / "2004-03-01-18-30.log");
  EXPECT_EQ(rotated.size(), 511999u + std::strlen("2004-03-01 18:30:05 : tip\r\n"));
  LogMessage(kLogInfo, "fresh");
  EXPECT_EQ(LogText(), "2004-03-01 18:30:05 : fresh\r\n");
}

TEST_F(LogTest, SmallerFileIsNotRotated) {
  WriteFile(dir_ / "keldor.log", std::string(511000, 'x'));
  LogMessage(kLogInfo, "tip");
  EXPECT_TRUE(Exists(dir_ / "keldor.log"));
  EXPECT_FALSE(Exists(dir_ / "2004-03-01-18-30.log"));
}

TEST_F(LogTest, RotationWithinTheSameMinuteKeepsEarlierFiles) {
  WriteFile(dir_ / "2004-03-01-18-30.log", "first");
  WriteFile(dir_ / "2004-03-01-18-30-1.log", "second");
  WriteFile(dir_ / "keldor.log", std::string(512000, 'y'));
  LogMessage(kLogInfo, "third");
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30.log"), "first");
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30-1.log"), "second");
  EXPECT_EQ(ReadFile(dir_ / "2004-03-01-18-30-2.log").size(),
            512000u + std::strlen("2004-03-01 18:30:05 : third\r\n"));
  EXPECT_FALSE(Exists(dir_ / "keldor.log"));
}

TEST_F(LogTest, OverlayPathHoldsTheLogAndItsRotations) {
  std::filesystem::create_directories(dir_ / "o/logs");
  Opts().overlayPath = dir_ / "o/";
  ConfigureLogging();
  EXPECT_EQ(LogFilePath(), dir_ / "o/logs/keldor.log");
  WriteFile(dir_ / "o/logs/keldor.log", std::string(512000, 'z'));
  LogMessage(kLogInfo, "over");
  EXPECT_TRUE(Exists(dir_ / "o/logs/2004-03-01-18-30.log"));
  EXPECT_FALSE(Exists(dir_ / "keldor.log"));
}

TEST_F(LogTest, SyslogModeWritesNoFile) {
  Logging().useSyslog = true;
  WriteFile(dir_ / "keldor.log", std::string(512000, 'z'));
  LogMessage(kLogInfo, "to syslog");
  EXPECT_EQ(LogText().size(), 512000u);  // untouched and not rotated
  EXPECT_FALSE(Exists(dir_ / "2004-03-01-18-30.log"));
}

TEST_F(LogTest, EchoFollowsDaemonAndMonitorState) {
  const std::string captured = dir_ / "stdout";
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, STDOUT_FILENO);

  Logging().quiet = false;
  LogMessage(kLogInfo, "echoed");
  GameServer().monitoring = true;
  Opts().statusMonitor = 1;
  LogMessage(kLogInfo, "quiet while the game's monitor runs");
  Opts().statusMonitor = 0;
  LogMessage(kLogInfo, "echoed again");
  Logging().quiet = true;
  LogMessage(kLogInfo, "quiet when detached");

  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fd);
  EXPECT_EQ(ReadFile(captured),
            "2004-03-01 18:30:05 : echoed\r\n2004-03-01 18:30:05 : echoed again\r\n");
}

TEST(ErrorTexts, SystemOwnAndUnknownCodes) {
  EXPECT_EQ(std::string(ErrorText(ENOENT)), std::string(std::strerror(ENOENT)) + " (2)");
  EXPECT_STREQ(ErrorText(30008), "The Remote Console username and/or password is invalid.");
  EXPECT_STREQ(ErrorText(30001),
               "Client and server are using different protocol versions.\nAlways use the same "
               "version of Keldor and Lorvik.");
  EXPECT_STREQ(ErrorText(30017), "The keyhash is not a valid hexadecimal number.");
  for (int code : {30012, 30013, 30014}) {  // the file transfer's own
    EXPECT_EQ(std::string(ErrorText(code)).find("unknown error"), std::string::npos) << code;
  }
  for (int code : {30018, 99999}) {
    EXPECT_EQ(std::string(ErrorText(code)),
              "An unknown error has occured. (" + std::to_string(code) + ")");
  }
}

}  // namespace
}  // namespace keldor
