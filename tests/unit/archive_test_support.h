// Shared by the archive and discovery tests: a temporary server directory that
// also holds the log, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <lzo/lzoconf.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/startup.h"
#include "core/state.h"

namespace keldor::testing {

class ServerDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAllState();
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    char pattern[] = "/tmp/keldor-maps-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    State().serverDir = dir_;
    State().settingsDir = dir_ + "/settings";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    ResetAllState();
  }

  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
  std::string LogText() const { return ReadText(LogFilePath()); }

  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  std::string dir_;
};

}  // namespace keldor::testing
