// Applying a settings file to the table under a client's rights: the start-up
// load, uploads from clients and the settings files of scheduled start events.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "settings/output_file.h"
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
    // A password's change is news; its value never reaches the log.
    if (IsSecretSetting(row)) {
      LogMessage(kLogInfo, "User %s at %s changed %s.", actor.name.c_str(), actor.address.c_str(),
                 name);
      return;
    }
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

// Written only when on (or, for a message, when not empty): their absence from
// a whole page is a value of its own.
bool WrittenOnlyWhenSet(SettingType type) {
  return type == SettingType::kPresence || type == SettingType::kRemoteConsole ||
         type == SettingType::kRemoteAdmin || type == SettingType::kMessage;
}

// Whether the file holds the page as SaveSettingsFile writes it: a line for
// every setting of the page that is always written.
bool HoldsWholePage(const SettingLines& lines, int page) {
  const SettingsRows& table = SettingsTable();
  for (int row = 0; row < kSettingCount; ++row) {
    const SettingDef& def = table[static_cast<std::size_t>(row)];
    if (def.page != page || WrittenOnlyWhenSet(def.type)) continue;
    if (FindSettingLine(lines, row) == nullptr) return false;
  }
  return true;
}

// An empty required text is downloaded as "": sent back, it changes nothing and
// is no invalid value.
bool EmptyTextKept(const SettingDef& def, const std::string& value) {
  if (def.type != SettingType::kText || !def.text.empty()) return false;
  const std::size_t first = value.find_first_not_of(' ');
  const std::size_t last = value.find_last_not_of(' ');
  return first != std::string::npos && value.substr(first, last - first + 1) == "\"\"";
}

struct PageRead {
  std::uint32_t mask;
  bool logging;
  const SettingsActor& actor;
  const SettingLines* lines;          // uploads only (see ApplyUploadedSettings)
  std::vector<std::string>* refused;  // uploads only
};

void Refuse(const PageRead& read, int row) {
  if (read.refused != nullptr) read.refused->emplace_back(SettingName(row));
}

void AlertCritical(const PageRead& read) {
  LogMessage(kLogInfo,
             "SECURITY ALERT! User %s at %s is not permitted to change critical settings!",
             read.actor.name.c_str(), read.actor.address.c_str());
}

// One row's value before a file is read, to log its change or to put it back.
struct Kept {
  int row;
  std::int32_t value;
  std::string text;
};

Kept Keep(int row) {
  const SettingDef& def = SettingsTable()[static_cast<std::size_t>(row)];
  return {row, def.current, IsTextType(def.type) ? def.text : std::string()};
}

// The remote console and remote admin lines also carry the console's user name,
// password and port. Those rows were read (or refused) on their own already; a
// carried value goes through the same rights and is logged as their own change.
bool CarriesCredentials(int row) {
  return row == RowIndex(Setting::EnableRemoteConsole) ||
         row == RowIndex(Setting::EnableRemoteAdmin);
}

void SettleCarried(const PageRead& read, const std::vector<Kept>& before) {
  const bool mayChangeCritical = (read.mask & kCriticalSettingsRight) != 0;
  for (const Kept& kept : before) {
    SettingDef& def = SettingsTable()[static_cast<std::size_t>(kept.row)];
    if (def.critical != 0 && !mayChangeCritical && def.current != kept.value) {
      AlertCritical(read);
      def.current = kept.value;
      Refuse(read, kept.row);
    }
    if (read.logging) LogChange(read.actor, kept.row, def, kept.value, kept.text);
  }
}

// A file a client may name for Keldor to write is taken only where it is safe
// to write; a refused name leaves the setting as it was.
bool TakeOutputFile(const PageRead& read, int row, const std::string& oldText) {
  SettingDef& def = SettingsTable()[static_cast<std::size_t>(row)];
  std::string path;
  if (!NamesOutputFile(row) || def.text == oldText || ResolveOutputFile(def.text, &path)) {
    return true;
  }
  const std::string dir = LogDirectory();
  if (read.logging) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! User %s at %s set %s to [%s], which is not a CSV file of "
               "Keldor's own in %s; the setting keeps [%s].",
               read.actor.name.c_str(), read.actor.address.c_str(), SettingName(row),
               def.text.c_str(), dir.c_str(), oldText.c_str());
  } else {
    LogMessage(kLogInfo,
               "SECURITY ALERT! The settings file sets %s to [%s], which is not a CSV file of "
               "Keldor's own in %s; the setting keeps [%s].",
               SettingName(row), def.text.c_str(), dir.c_str(), oldText.c_str());
  }
  def.text = oldText;
  Refuse(read, row);
  return false;
}

void ApplyRow(const SettingFileLines& file, int row, const PageRead& read) {
  const SettingDef& def = SettingsTable()[static_cast<std::size_t>(row)];
  const Kept kept = Keep(row);
  std::vector<Kept> carried;
  if (CarriesCredentials(row)) {
    carried = {Keep(RowIndex(Setting::ConsoleUsername)), Keep(RowIndex(Setting::ConsolePassword)),
               Keep(RowIndex(Setting::ConsolePort))};
  }
  // An uploaded value that is refused leaves the setting as it was: the
  // uploader meant to change it, never to reset it to its default.
  const OnInvalid onInvalid = read.lines != nullptr ? OnInvalid::kKeep : OnInvalid::kUseDefault;
  if (!ReadSetting(file, SettingName(row), row, onInvalid)) Refuse(read, row);
  if (!TakeOutputFile(read, row, kept.text)) return;
  if (read.logging) LogChange(read.actor, row, def, kept.value, kept.text);
  SettleCarried(read, carried);
}

void ApplyPage(const SettingFileLines& file, int page, const PageRead& read) {
  const bool mayChangeCritical = (read.mask & kCriticalSettingsRight) != 0;
  // A page given whole is read as it always was; of a page an upload gives in
  // part, a setting the file does not name keeps its value.
  const bool upload = read.lines != nullptr;
  const bool whole = !upload || HoldsWholePage(*read.lines, page);
  SettingsRows& table = SettingsTable();
  for (int row = 0; row < kSettingCount; ++row) {
    SettingDef& def = table[static_cast<std::size_t>(row)];
    if (def.page != page) continue;
    const std::string* value = upload ? FindSettingLine(*read.lines, row) : nullptr;
    if (!whole && value == nullptr) continue;
    if (def.critical != 0 && !mayChangeCritical) {
      AlertCritical(read);
      // What the uploader downloaded comes back unchanged; anything else is refused.
      if (value != nullptr && *value != SettingValueText(row)) Refuse(read, row);
      continue;
    }
    if (value != nullptr && EmptyTextKept(def, *value)) continue;
    ApplyRow(file, row, read);
  }
}

// The game's automatic balance and our smart balance would fight over the teams.
void KeepOneTeamBalance() {
  SettingDef& autoBalance = Row(Setting::ServerAutoBalanceTeams);
  if (autoBalance.current == 0 || Row(Setting::SmartBalance).current == 0) return;
  LogMessage(kLogInfo, "Both auto-balance and smart-balance are enabled, disabling auto-balance.");
  autoBalance.current = 0;
}

bool ApplyFile(const std::string& path, std::int32_t rightsMask, const SettingsActor* who,
               bool upload, std::vector<std::string>* refused) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size == 0) return Fail(ENOENT);
  // A directory opens for reading here but fails every read.
  const bool directory = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  FileHandle file(directory ? nullptr : std::fopen(path.c_str(), "r"));
  if (!file) {
    const int code = directory ? EISDIR : errno;
    LogMessage(kLogInfo, "Couldn't open settings file! %s", ErrorText(code));
    return Fail(code);
  }
  const bool logging = who != nullptr;
  const SettingsActor actor = logging ? *who : SettingsActor{"[unknown]", "[unknown]"};
  const SettingFileLines fileLines = ReadSettingFile(file.get());
  // An upload's lines are indexed once, for the pages it may give in part.
  const SettingLines lines = upload ? IndexSettingLines(fileLines) : SettingLines{};
  const PageRead read{static_cast<std::uint32_t>(rightsMask), logging, actor,
                      upload ? &lines : nullptr, refused};
  for (int page = 0; page < kSettingPages; ++page) {
    if ((read.mask & (1u << page)) != 0) ApplyPage(fileLines, page, read);
  }
  KeepOneTeamBalance();
  return true;
}

}  // namespace

bool ApplySettingsFile(const std::string& path, std::int32_t rightsMask, const SettingsActor* who) {
  return ApplyFile(path, rightsMask, who, false, nullptr);
}

bool ApplyUploadedSettings(const std::string& path, std::int32_t rightsMask,
                           const SettingsActor& actor, std::vector<std::string>* refused) {
  return ApplyFile(path, rightsMask, &actor, true, refused);
}

}  // namespace keldor
