// Shared by the archive and discovery tests: a temporary server directory that
// also holds the log.
#pragma once

#include <lzo/lzoconf.h>

#include <filesystem>
#include <string>

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
};

}  // namespace keldor::testing
