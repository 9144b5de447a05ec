// What follows a settings file uploaded by a client: the table is saved, a
// running game server gets the changes, and its autoexec file is rewritten so
// that the next launch starts with them too.
#include <cstdio>

#include "core/state.h"
#include "settings/game_config.h"
#include "settings/settings.h"

namespace keldor {

void ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot) {
  // A file that could not be applied still leaves the table as it was to save.
  ApplySettingsFile(uploadPath, rightsMask, slot);
  std::remove(uploadPath.c_str());
  const std::string& dir = State().settingsDir;
  SaveSettingsFile(dir + "/servermanager.con", -1);
  if (State().monitoring) PushServerSettings();
  WriteServerAutoexec(dir + "/serverautoexec.con");
}

}  // namespace keldor
