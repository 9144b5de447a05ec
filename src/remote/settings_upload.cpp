// What follows a settings file uploaded by a client: the table is saved, a
// running game server gets the changes, and its autoexec file is rewritten so
// that the next launch starts with them too.
#include <cstdio>

#include "gamelink/config_sync.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"

namespace keldor {

void ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot) {
  const SettingsActor actor{ActorName(slot), ActorAddress(slot)};
  // A file that could not be applied still leaves the table as it was to save.
  ApplySettingsFile(uploadPath, rightsMask, &actor);
  std::remove(uploadPath.c_str());
  const std::string& dir = Opts().settingsDir;
  SaveSettingsFile(dir + "/servermanager.con", -1);
  if (GameServer().monitoring) PushServerSettings();
  WriteServerAutoexec(dir + "/serverautoexec.con");
}

}  // namespace keldor
