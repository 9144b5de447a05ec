// What follows a settings file uploaded by a client: the table is saved, a
// running game server gets the changes, and its autoexec file is rewritten so
// that the next launch starts with them too.
#include <cstdio>

#include "core/error.h"
#include "gamelink/config_sync.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"

namespace keldor {

bool ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot,
                         std::vector<std::string>* refused) {
  const SettingsActor actor{ActorName(slot), ActorAddress(slot)};
  // A file that could not be applied still leaves the table as it was to save.
  const bool applied = ApplyUploadedSettings(uploadPath, rightsMask, actor, refused);
  const int applyError = ErrorCode();
  std::remove(uploadPath.c_str());
  const std::string& dir = Opts().settingsDir;
  const bool saved = SaveSettingsFile(dir + "/servermanager.con", -1);
  const int saveError = ErrorCode();
  if (GameServer().monitoring) PushServerSettings();
  WriteServerAutoexec(dir + "/serverautoexec.con");
  // The caller reports the first failure, with its own error.
  if (!applied) return Fail(applyError);
  if (!saved) return Fail(saveError);
  return true;
}

}  // namespace keldor
