// Shared helpers for the unit and end-to-end tests: temporary directories and
// file contents.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace keldor::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/keldor-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream(path, std::ios::binary) << content;
}

inline bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// Names in a directory in the order readdir gives them (the order a scan sees).
inline std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(handle)) names.push_back(entry->d_name);
    closedir(handle);
  }
  return names;
}

// A test in a fresh temp directory that holds keldor.log.
class LogDirTest : public ::testing::Test {
 protected:
  std::string Log() const { return ReadFile(dir_ / "keldor.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  int CountLogged(const std::string& text) const {
    const std::string log = Log();
    int count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  TempDir dir_;
};

}  // namespace keldor::testing
