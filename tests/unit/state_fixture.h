// The fixture most unit tests start from: a fresh state, a temp directory as
// the server directory (so keldor.log lands there) with its settings
// directory beneath, and the log read back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/startup.h"
#include "core/state.h"
#include "test_support.h"

namespace keldor::testing {

class StateTest : public LogDirTest {
 protected:
  void SetUp() override {
    ResetAllState();
    State().serverDir = dir_.path();
    State().settingsDir = dir_ / "settings";
    State().daemonized = true;  // keep the log off the test's output
    std::filesystem::create_directories(State().settingsDir);
  }
  void TearDown() override { ResetAllState(); }
};

}  // namespace keldor::testing
