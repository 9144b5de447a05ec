#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/clock.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "daemon/startup.h"
#include "remote/sessions.h"
#include "runtime/options.h"

namespace keldor::fuzz {

const std::string& WorkDir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& dir = *new std::string([] {
    char pattern[] = "/tmp/keldor-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
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
    return true;
  }();
  (void)connected;
  ResetAllState();
  PinClock(1700000000);
  Opts().serverDir = WorkDir();
  Opts().settingsDir = WorkDir() + "/settings";
  Logging().directory = WorkDir();
  Logging().quiet = true;
  ClearClientSlots();
}

void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

std::string SettingsPath(const std::string& name) {
  return WorkDir() + "/settings/" + name;
}

void SeatAdministrator(int socket) {
  ClientSlot& slot = ClientSlots()[kFirstClientSlot];
  slot.socket = socket;
  slot.userName = "fuzz";
  slot.address = "127.0.0.1:1";
  slot.rights = 0xFFFFFFFFu;
  slot.ending = SlotEnding::kNo;
}

}  // namespace keldor::fuzz
