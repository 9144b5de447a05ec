// The fixture most unit tests start from: a fresh state, a temp directory as
// the server directory (so keldor.log lands there) with its settings
// directory beneath, and the log read back. The archive and discovery tests
// lay out the server directory themselves.
#pragma once

#include <gtest/gtest.h>
#include <lzo/lzoconf.h>

#include <filesystem>
#include <string>

#include "core/clock.h"
#include "core/log.h"
#include "daemon/startup.h"
#include "runtime/options.h"
#include "test_support.h"

namespace keldor::testing {

class StateTest : public LogDirTest {
 protected:
  void SetUp() override {
    ResetAllState();
    ConnectSubsystems();
    Opts().serverDir = dir_.path();
    Logging().directory = dir_.path();
    Opts().settingsDir = dir_ / "settings";
    Logging().quiet = true;  // keep the log off the test's output
    std::filesystem::create_directories(Opts().settingsDir);
  }
  void TearDown() override {
    UnpinClock();  // a test's pinned clock ends with it
    ResetAllState();
  }
  std::string SettingsFile(const std::string& name) const {
    return Opts().settingsDir + "/" + name;
  }
};

class ServerDirTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    std::filesystem::remove(Opts().settingsDir);
    Logging().quiet = false;
    ASSERT_EQ(lzo_init(), LZO_E_OK);
  }
  std::string Path(const std::string& relative) const { return dir_ / relative; }
};

}  // namespace keldor::testing
