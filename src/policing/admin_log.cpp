// The admin action log: see admin_log.h.
#include "policing/admin_log.h"

#include <cstdio>

#include "core/error.h"
#include "core/helpers.h"
#include "runtime/audit.h"
#include "runtime/options.h"

namespace keldor {

namespace {

std::string Known(const char* text) {
  return text == nullptr || text[0] == '\0' ? "[unknown]" : text;
}

}  // namespace

std::string CsvQuoted(const std::string& text) {
  std::string field = "\"";
  for (char c : FlattenLine(text)) {
    if (c == '"') field += '"';
    field += c;
  }
  return field + "\"";
}

std::string CsvPlain(const std::string& text) {
  const std::string field = FlattenLine(text);
  return field.find_first_of(",\"") == std::string::npos ? field : CsvQuoted(field);
}

std::string AdminLogPath() {
  const Options& s = Opts();
  return s.overlayPath.empty() ? s.serverDir + "/adminlog.csv"
                               : s.overlayPath + "logs/adminlog.csv";
}

void LogAdminAction(const char* player, const char* address, const char* keyhash, const char* guid,
                    const char* admin, std::uint32_t time, const char* map, const char* action,
                    std::uint32_t duration, const char* reason) {
  const std::string record = CsvQuoted(Known(player)) + "," + CsvPlain(Known(address)) + "," +
                             CsvPlain(Known(keyhash)) + "," + CsvPlain(Known(guid)) + "," +
                             CsvQuoted(Known(admin)) + "," + std::to_string(time) + "," +
                             CsvPlain(Known(map)) + "," + CsvPlain(Known(action)) + "," +
                             std::to_string(duration) + "," + CsvPlain(Known(reason)) + "\n";
  // A record that cannot be written is not the action's failure.
  const int error = ErrorCode();
  AppendWhole(AdminLogPath(), record);
  ErrorCode() = error;
  Audit({Known(player), Known(address), Known(keyhash), Known(guid), Known(admin), time, Known(map),
         Known(action), duration, Known(reason)});
}

}  // namespace keldor
