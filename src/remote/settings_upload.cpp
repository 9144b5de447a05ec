// What follows a settings file uploaded by a client: the table is saved, a
// running game server gets the changes, and its autoexec file is rewritten so
// that the next launch starts with them too. A hand edit of servermanager.con
// while Keldor runs is read in the same way.
#include <cstdio>

#include "core/error.h"
#include "core/log.h"
#include "gamelink/config_sync.h"
#include "remote/notify.h"
#include "remote/rollback.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "wire/protocol.h"

namespace keldor {

namespace {

std::string ManagerFile() {
  return Opts().settingsDir + "/servermanager.con";
}

// The game server and its next launch follow the table.
void SpreadSettings() {
  if (GameServer().monitoring) PushServerSettings();
  WriteServerAutoexec(Opts().settingsDir + "/serverautoexec.con");
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

// An edit is taken as an upload by the local operator: only the settings the file
// names change, and a value that is refused keeps what it replaced.
bool ReloadFile(const std::string& path) {
  LogMessage(kLogInfo, "servermanager.con was changed on disk; reloading it.");
  const SettingsActor actor{"operator", "console"};
  std::vector<std::string> refused;
  if (!ApplyUploadedSettings(path, -1, actor, &refused)) {
    LogMessage(kLogInfo, "Couldn't reload settings file! %s", ErrorText(ErrorCode()));
    return false;
  }
  if (!refused.empty()) {
    LogMessage(kLogInfo, "Couldn't take every setting of servermanager.con! Refused: %s.",
               JoinNames(refused).c_str());
  }
  return true;
}

}  // namespace

bool ReloadEditedSettings() {
  const std::string path = ManagerFile();
  if (!SettingsFileEdited(path) || !ReloadFile(path)) return false;
  SpreadSettings();
  NotifyAllClients(NOTE_SETTINGS_CHANGED, nullptr, 0, 0);
  return true;
}

bool ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot,
                         std::vector<std::string>* refused) {
  // A hand edit made since the last save is taken first, so that saving the
  // upload does not drop it.
  ReloadEditedSettings();
  // What the table and its files were, for a rollback should the game then
  // crash at every start.
  KeepBeforeUpload(UploadKind::kSettings);
  const SettingsActor actor{ActorName(slot), ActorAddress(slot)};
  // A file that could not be applied still leaves the table as it was to save.
  const bool applied = ApplyUploadedSettings(uploadPath, rightsMask, actor, refused);
  const int applyError = ErrorCode();
  std::remove(uploadPath.c_str());
  const std::string path = ManagerFile();
  const bool saved = SaveSettingsFile(path, -1);
  const int saveError = ErrorCode();
  RememberSettingsFile(path);
  SpreadSettings();
  if (applied) NoteUpload(UploadKind::kSettings, slot);
  // The caller reports the first failure, with its own error.
  if (!applied) return Fail(applyError);
  if (!saved) return Fail(saveError);
  return true;
}

}  // namespace keldor
