// Reading the running game server's settings back over its console, and pushing
// the rows that changed since, so that the table and the game agree.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "settings/settings_text.h"

namespace keldor {

namespace {

constexpr std::size_t kConsoleTextLimit = 2047;  // what one console request carries

SettingDef& TableRow(int row) {
  return SettingsTable()[static_cast<std::size_t>(row)];
}

bool IsGameCommandRow(int row) {
  const char* key = TableRow(row).commandKey;
  return key[0] != '\0' && !IsManagerKey(key);
}

// Rows the console is asked for: rounds and ticket ratio come from the status
// reply, the rest are not readable or not ours to read back.
bool IsQueriedRow(int row) {
  if (!IsGameCommandRow(row) || TableRow(row).type == SettingType::kPresence) return false;
  switch (static_cast<Setting>(row)) {
    case Setting::ServerNumberOfRounds:
    case Setting::ServerTicketRatio:
    case Setting::ServerGameStartDelay:
    case Setting::PhysicsGravity:
    case Setting::ServerCrosshairCenterpoint:
    case Setting::EnableRemoteConsole:
    case Setting::EnableRemoteAdmin:
    case Setting::ToggleGamePause:
      return false;
    default:
      return true;
  }
}

// Splits the reply at LF, keeping empty lines so that each stays with its query;
// a reply without any LF is one line.
std::vector<std::string> ReplyLines(const char* reply) {
  std::vector<std::string> lines;
  const char* start = reply;
  for (const char* end = std::strchr(start, '\n'); end != nullptr; end = std::strchr(start, '\n')) {
    lines.emplace_back(start, end);
    start = end + 1;
  }
  if (lines.empty()) lines.emplace_back(reply);
  return lines;
}

void TakeReadBack(int row, const std::string& line) {
  SettingDef& def = TableRow(row);
  const auto setting = static_cast<Setting>(row);
  switch (def.type) {
    case SettingType::kBool:
      def.current = static_cast<std::int32_t>(ParseDecimal(line));
      break;
    case SettingType::kInteger:
      if (setting == Setting::ServerGameTime) {
        def.current = static_cast<std::int32_t>(ParseDecimal(line) / 60);
      } else if (IsPercentRatioRow(setting)) {
        def.current = static_cast<std::int32_t>(ParseScaledFraction(line, 100));
      } else {
        def.current = static_cast<std::int32_t>(ParseDecimal(line));
      }
      break;
    case SettingType::kHundredths:
      def.current = static_cast<std::int32_t>(ParseScaledFraction(line, 100));
      break;
    case SettingType::kTenths:
      def.current = static_cast<std::int32_t>(ParseScaledFraction(line, 10));
      break;
    case SettingType::kChoice:
      def.text = CutToWidth(line, kSettingTextMax);
      break;
    default:
      break;
  }
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

bool RowChanged(int row) {
  const SettingDef& now = TableRow(row);
  const SettingDef& sent = SettingsSnapshot()[static_cast<std::size_t>(row)];
  switch (now.type) {
    case SettingType::kText:
    case SettingType::kMessage:
    case SettingType::kChoice:
      return now.text != sent.text;
    default:
      return now.current != sent.current;
  }
}

// The console command that sets a row; empty when the row sends none. The
// pause switch sends none: toggling it here could unpause a game paused on
// request, so it only shapes the autoexec file for the next launch.
std::string PushCommand(int row) {
  const SettingDef& def = TableRow(row);
  const auto setting = static_cast<Setting>(row);
  const char* key = def.commandKey;
  const long value = def.current;
  switch (def.type) {
    case SettingType::kBool:
      return Format("%s %li", key, value);
    case SettingType::kChoice:
      return Format("%s %s", key, def.text.c_str());
    case SettingType::kInteger:
      if (setting == Setting::ServerGameTime) return Format("%s %li", key, value * 60);
      if (IsPercentRatioRow(setting)) {
        return Format("%s %2.1f", key, static_cast<double>(value) / 100);
      }
      return Format("%s %li", key, value);
    case SettingType::kHundredths:
      return Format("%s %.2f", key, static_cast<double>(value) / 100);
    case SettingType::kTenths:
      return Format("%s %.1f", key, static_cast<double>(value) / 10);
    case SettingType::kRemoteAdmin:
      if (value == 0) return "admin.disableRemoteAdmin";
      return Format("%s %s", key, Row(Setting::ConsolePassword).text.c_str());
    default:
      return std::string();
  }
}

}  // namespace

bool ReadServerSettings() {
  if (!Console().connected) return Fail(ENOTCONN);
  std::vector<int> rows;
  std::vector<std::string> keys;
  std::size_t size = 0;
  for (int row = 0; row < kSettingCount; ++row) {
    if (!IsQueriedRow(row)) continue;
    rows.push_back(row);
    keys.emplace_back(TableRow(row).commandKey);
    size += keys.back().size() + 1;
  }
  if (size > kConsoleTextLimit) return Fail(E2BIG);
  const char* reply = SendConsoleCommands(keys);
  if (reply == nullptr) return false;
  const std::vector<std::string> lines = ReplyLines(reply);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i >= lines.size()) return Fail(kErrReadSettings);
    TakeReadBack(rows[i], lines[i]);
  }
  // The status reply last read (at the status port search) carries these two.
  const char* status = StatusReplyBuffer().empty() ? nullptr : StatusReplyBuffer().data();
  if (const char* rounds = StatusValue(status, "Number Of Rounds")) {
    Row(Setting::ServerNumberOfRounds).current = static_cast<std::int32_t>(ParseDecimal(rounds));
  }
  if (const char* ratio = StatusValue(status, "Ticket Ratio")) {
    Row(Setting::ServerTicketRatio).current = static_cast<std::int32_t>(ParseDecimal(ratio));
  }
  CopySettingsToSnapshot();
  return true;
}

bool PushServerSettings() {
  if (!Console().connected) return Fail(ENOTCONN);
  std::vector<std::string> commands;
  std::size_t size = 0;
  for (int row = 0; row < kSettingCount; ++row) {
    if (!IsGameCommandRow(row) || static_cast<Setting>(row) == Setting::PhysicsGravity) continue;
    if (!RowChanged(row)) continue;
    std::string command = PushCommand(row);
    if (command.empty()) continue;
    size += command.size() + 1;
    commands.push_back(std::move(command));
  }
  if (commands.empty()) return true;
  // Sending only part would leave the snapshot claiming the rest arrived.
  if (size > kConsoleTextLimit) return Fail(E2BIG);
  if (SendConsoleCommands(commands) == nullptr) return false;
  CopySettingsToSnapshot();
  return true;
}

}  // namespace keldor
