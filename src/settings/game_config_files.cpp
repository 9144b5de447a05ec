// Writing the game server's serversettings.con and serverautoexec.con from the
// settings table.
#include <cstdio>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "settings/settings_text.h"

namespace keldor {

namespace {

constexpr int kFixedSpawnDelay = 5;

// Puts game.serverIP back however the write ends.
class BindAllAddress {
 public:
  BindAllAddress() : saved_(Row(Setting::ServerIP).current) {
    if (Row(Setting::BindAllIntefaces).current != 0) Row(Setting::ServerIP).current = 0;
  }
  ~BindAllAddress() { Row(Setting::ServerIP).current = saved_; }
  BindAllAddress(const BindAllAddress&) = delete;
  BindAllAddress& operator=(const BindAllAddress&) = delete;

 private:
  std::int32_t saved_;
};

}  // namespace

bool WriteServerSettings(const std::string& path) {
  const BindAllAddress address;
  // The join and reserved-slot passwords are in it.
  const bool written = ReplaceFile(path, kSecretFileMode, [](std::FILE* file) {
    const SettingsRows& table = SettingsTable();
    for (int row = 0; row < kSettingCount; ++row) {
      const auto setting = static_cast<Setting>(row);
      if (setting == Setting::ServerGameStartDelay) {
        std::fprintf(file, "game.serverSpawnDelay %i\n", kFixedSpawnDelay);
      }
      if (setting == Setting::ServerContentCheck) continue;
      const char* key = table[static_cast<std::size_t>(row)].gameKey;
      if (key[0] != '\0') WriteSettingLine(file, key, row);
    }
    std::fputs(Opts().serverCmds.c_str(), file);
    return true;
  });
  if (!written) {
    LogMessage(kLogInfo, "Couldn't open server settings file! %s", ErrorText(ErrorCode()));
  }
  return written;
}

bool WriteServerAutoexec(const std::string& path) {
  const bool written = ReplaceFile(path, kSecretFileMode, [](std::FILE* file) {
    const bool gravity = Row(Setting::Gravity).current != 0;
    const SettingsRows& table = SettingsTable();
    for (int row = 0; row < kSettingCount; ++row) {
      const auto setting = static_cast<Setting>(row);
      // The crosshair row reaches a starting game through serversettings.con only.
      if (setting == Setting::ServerCrosshairCenterpoint) continue;
      if (setting == Setting::PhysicsGravity && !gravity) continue;
      const char* key = table[static_cast<std::size_t>(row)].commandKey;
      if (key[0] != '\0' && !IsManagerKey(key)) WriteSettingLine(file, key, row);
    }
    return true;
  });
  if (!written) {
    LogMessage(kLogInfo, "Couldn't open server autoexec file! %s", ErrorText(ErrorCode()));
  }
  return written;
}

}  // namespace keldor
