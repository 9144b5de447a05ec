// The admin action log, adminlog.csv: one CSV record per kick and ban, whether
// Keldor decided it or a user ordered it. An audit trail that Keldor never reads.
#pragma once

#include <cstdint>
#include <string>

namespace keldor {

// Overlay path + "logs/adminlog.csv", or server directory + "/adminlog.csv".
std::string AdminLogPath();

// Appends one record; null or empty texts are written as "[unknown]". A file
// that cannot be opened loses the record silently.
void LogAdminAction(const char* player, const char* address, const char* keyhash, const char* guid,
                    const char* admin, std::uint32_t time, const char* map, const char* action,
                    std::uint32_t duration, const char* reason);

// A CSV field in double quotes, each quote inside doubled and each control
// character (line ends included) written as a blank.
std::string CsvQuoted(const std::string& text);
// A CSV field as it is (control characters as blanks), unless it holds a comma
// or a quote: then as CsvQuoted.
std::string CsvPlain(const std::string& text);

}  // namespace keldor
