// Applying a settings file to the table under a client's rights: the start-up
// load, uploads from clients and the settings files of scheduled start events.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "settings/settings.h"

namespace keldor {

namespace {

bool IsTextType(SettingType type) {
  return type == SettingType::kText || type == SettingType::kMessage ||
         type == SettingType::kChoice;
}

void LogChange(const SettingsActor& actor, int row, const SettingDef& def, std::int32_t oldValue,
               const std::string& oldText) {
  const char* name = SettingName(row);
  if (IsTextType(def.type)) {
    if (def.text == oldText) return;
    LogMessage(kLogInfo, "User %s at %s changed %s from [%s] to [%s].", actor.name.c_str(),
               actor.address.c_str(), name, oldText.c_str(), def.text.c_str());
    return;
  }
  if (def.current == oldValue) return;
  if (def.type == SettingType::kAddress) {
    // FormatIPv4 answers in one shared buffer; keep the old address apart.
    const std::string from = FormatIPv4(static_cast<std::uint32_t>(oldValue));
    LogMessage(kLogInfo, "User %s at %s changed %s from %s to %s.", actor.name.c_str(),
               actor.address.c_str(), name, from.c_str(),
               FormatIPv4(static_cast<std::uint32_t>(def.current)));
  } else if (def.type == SettingType::kTenths) {
    LogMessage(kLogInfo, "User %s at %s changed %s from %.1f to %.1f.", actor.name.c_str(),
               actor.address.c_str(), name, static_cast<double>(oldValue) / 10,
               static_cast<double>(def.current) / 10);
  } else {
    LogMessage(kLogInfo, "User %s at %s changed %s from %li to %li.", actor.name.c_str(),
               actor.address.c_str(), name, static_cast<long>(oldValue),
               static_cast<long>(def.current));
  }
}

void ApplyPage(std::FILE* file, int page, std::uint32_t mask, bool logging,
               const SettingsActor& actor) {
  const bool mayChangeCritical = (mask & kCriticalSettingsRight) != 0;
  SettingsRows& table = SettingsTable();
  for (int row = 0; row < kSettingCount; ++row) {
    SettingDef& def = table[static_cast<std::size_t>(row)];
    if (def.page != page) continue;
    if (def.critical != 0 && !mayChangeCritical) {
      LogMessage(kLogInfo,
                 "SECURITY ALERT! User %s at %s is not permitted to change critical settings!",
                 actor.name.c_str(), actor.address.c_str());
      continue;
    }
    const std::int32_t oldValue = def.current;
    const std::string oldText = logging && IsTextType(def.type) ? def.text : std::string();
    ReadSetting(file, SettingName(row), row);
    if (logging) LogChange(actor, row, def, oldValue, oldText);
  }
}

// The game's automatic balance and our smart balance would fight over the teams.
void KeepOneTeamBalance() {
  SettingDef& autoBalance = Row(Setting::ServerAutoBalanceTeams);
  if (autoBalance.current == 0 || Row(Setting::SmartBalance).current == 0) return;
  LogMessage(kLogInfo, "Both auto-balance and smart-balance are enabled, disabling auto-balance.");
  autoBalance.current = 0;
}

}  // namespace

bool ApplySettingsFile(const std::string& path, std::int32_t rightsMask, const SettingsActor* who) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size == 0) return Fail(ENOENT);
  // A directory opens for reading here but fails every read.
  const bool directory = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  std::FILE* file = directory ? nullptr : std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    const int code = directory ? EISDIR : errno;
    LogMessage(kLogInfo, "Couldn't open settings file! %s", ErrorText(code));
    return Fail(code);
  }
  const bool logging = who != nullptr;
  const SettingsActor actor = logging ? *who : SettingsActor{"[unknown]", "[unknown]"};
  const auto mask = static_cast<std::uint32_t>(rightsMask);
  for (int page = 0; page < kSettingPages; ++page) {
    if ((mask & (1u << page)) != 0) ApplyPage(file, page, mask, logging, actor);
  }
  std::fclose(file);
  KeepOneTeamBalance();
  return true;
}

}  // namespace keldor
