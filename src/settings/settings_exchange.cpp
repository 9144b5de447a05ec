// What follows a settings file uploaded by a client: the table is saved, a
// running game server gets the changes, and its autoexec file is rewritten so
// that the next launch starts with them too.
#include <cstdio>

#include "core/state.h"
#include "settings/game_config.h"
#include "settings/settings.h"

namespace keldor {

bool ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot) {
  // A file that could not be applied still leaves the table as it was to save.
  const bool applied = ApplySettingsFile(uploadPath, rightsMask, slot);
  const int applyError = State().errorCode;
  std::remove(uploadPath.c_str());
  const std::string& dir = State().settingsDir;
  const bool saved = SaveSettingsFile(dir + "/servermanager.con", -1);
  const int saveError = State().errorCode;
  if (State().monitoring) PushServerSettings();
  WriteServerAutoexec(dir + "/serverautoexec.con");
  // The caller reports the first failure, with its own error.
  if (!applied) return Fail(applyError);
  if (!saved) return Fail(saveError);
  return true;
}

}  // namespace keldor
