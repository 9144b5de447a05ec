// The banned words list: loading bannedwords.con and testing player names.
#include "policing/banned_words.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "runtime/options.h"

namespace keldor {

namespace {

StateTable<std::optional<std::string>> g_table;
std::optional<std::string>& g_list = *g_table;

bool EntryMatchesName(const std::string& entry, const std::string& lowerName) {
  if (entry.empty()) return false;
  if (entry[0] == '$') return strcasecmp(entry.c_str() + 1, lowerName.c_str()) == 0;
  std::string word = entry;
  return lowerName.find(LowerCaseInPlace(word)) != std::string::npos;
}

}  // namespace

const std::string* BannedWordsList() {
  return g_list ? &*g_list : nullptr;
}

bool LoadBannedWords() {
  const std::string path = Opts().settingsDir + "/bannedwords.con";
  std::string words;
  bool full = false;
  bool opened = false;
  const bool read = ForEachLine(
      path, kBannedWordLineMax, true,
      [&](std::string& line, bool cut) {
        if (cut) {
          LogMessage(kLogInfo, "WARNING: Skipped a line of more than %zu characters in %s.",
                     kBannedWordLineMax, path.c_str());
          return true;
        }
        if (line.empty()) return true;
        full = words.size() + line.size() + 1 > kBannedWordsMax;
        if (!full) words += line + ',';
        return !full;
      },
      &opened);
  if (!opened) {
    LogMessage(kLogInfo, "Couldn't open banned words file! %s", ErrorText(ErrorCode()));
    return false;
  }
  g_list = words;  // what was read before a failure stays in force
  if (!read) {
    LogMessage(kLogInfo, "Couldn't read banned words file! %s", ErrorText(ErrorCode()));
    return false;
  }
  if (full) {
    LogMessage(kLogInfo, "WARNING: %s holds more than %zu bytes of words; the rest are not loaded.",
               path.c_str(), kBannedWordsMax);
    return Fail(EFBIG);
  }
  LogDebug("DEBUG: Loaded banned words (%s)", g_list->c_str());
  return true;
}

bool ContainsBannedWord(std::string& name) {
  LowerCaseInPlace(name);
  if (!g_list) return false;
  std::size_t start = 0;
  while (start < g_list->size()) {
    std::size_t comma = g_list->find(',', start);
    if (comma == std::string::npos) comma = g_list->size();
    const std::string entry = CutToWidth(g_list->substr(start, comma - start), kBannedWordMax);
    if (EntryMatchesName(entry, name)) return true;
    start = comma + 1;
  }
  return false;
}

}  // namespace keldor
