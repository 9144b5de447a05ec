// Shared by the archive and discovery tests: a temporary server directory that
// also holds the log, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <lzo/lzoconf.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/log.h"
#include "daemon/startup.h"
#include "runtime/options.h"
#include "state_fixture.h"

namespace keldor::testing {

class ServerDirTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    std::filesystem::remove(Opts().settingsDir);  // the tests lay it out themselves
    Logging().quiet = false;
    ASSERT_EQ(lzo_init(), LZO_E_OK);
  }

  std::string Path(const std::string& relative) const { return dir_ / relative; }
  std::string LogText() const { return ReadFile(LogFilePath()); }
  static std::string ReadText(const std::string& path) { return ReadFile(path); }
  static void WriteText(const std::string& path, const std::string& text) { WriteFile(path, text); }
};

}  // namespace keldor::testing
