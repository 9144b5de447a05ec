// Shared set-up for the settings tests: a fresh state, a temp directory that
// also receives keldor.log, and helpers to read and write whole files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/startup.h"
#include "core/state.h"
#include "settings/settings.h"

namespace keldor::testing {

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAllState();
    char pattern[] = "/tmp/keldor-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    State().serverDir = dir_;
    State().settingsDir = dir_ + "/settings";
    State().daemonized = true;  // keep the log off the test's output
    ResetSettings();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // The log lines written so far without their time stamps; clears the log.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(Path("keldor.log")));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t mark = line.find(" : ");
      lines.push_back(mark == std::string::npos ? line : line.substr(mark + 3));
    }
    std::filesystem::remove(Path("keldor.log"));
    return lines;
  }

  // Applies `content` as a settings file with every right and no change logging.
  void Load(const std::string& content, std::int32_t mask = -1, int slot = -1) {
    WriteWholeFile(Path("in.con"), content);
    ASSERT_TRUE(ApplySettingsFile(Path("in.con"), mask, slot));
  }

  std::string dir_;
};

}  // namespace keldor::testing
