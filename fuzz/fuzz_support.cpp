#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/clock.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "daemon/startup.h"
#include "remote/accounts.h"
#include "remote/sessions.h"
#include "runtime/options.h"

namespace keldor::fuzz {

const std::string& WorkDir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& dir = *new std::string([] {
    // tmpfs when there is one: every input is written to a file, and a disk file
    // system flushes on each truncate-and-close.
    char pattern[] = "/dev/shm/keldor-fuzz-XXXXXX";
    char fallback[] = "/tmp/keldor-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) std::abort();
    std::filesystem::create_directories(std::string(made) + "/settings");
    // Nothing of this run should outlive it.
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(WorkDir(), ignored);
    });
    return std::string(made);
  }());
  return dir;
}

void FreshState() {
  static const bool connected = [] {
    ConnectSubsystems();
    // Fixed filler: the generator's churn would take nearly all the time of an
    // input that saves the accounts, and it reads nothing from the input.
    SetFillerSource(
        [](std::size_t length) { return std::string(std::min(length, kRandomStringMax), 'q'); });
    return true;
  }();
  (void)connected;
  // The admin log and the statistics go on from input to input: begin the
  // directory again now and then, or a long run fills the file system.
  static unsigned inputs = 0;
  if (++inputs % 1024 == 0) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(WorkDir(), ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
    std::filesystem::create_directories(WorkDir() + "/settings", ignored);
  }
  ResetAllState();
  PinClock(1700000000);
  Opts().serverDir = WorkDir();
  Opts().settingsDir = WorkDir() + "/settings";
  Logging().directory = WorkDir();
  Logging().quiet = true;
  Logging().dropLines = true;
  ClearClientSlots();
}

void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {  // the directory is made once, not checked on every input
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    f = std::fopen(path.c_str(), "wb");
  }
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

std::string SettingsPath(const std::string& name) {
  return WorkDir() + "/settings/" + name;
}

void SeatAdministrator(int socket) {
  Connections()[kFirstClientSlot] = Connection{socket, "fuzz", "127.0.0.1:1", 0xFFFFFFFFu, {}};
}

}  // namespace keldor::fuzz
