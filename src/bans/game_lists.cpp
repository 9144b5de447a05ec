// The game's ban list files: see game_lists.h.
#include "bans/game_lists.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string_view>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr std::size_t kIdentifierMax = 64;
constexpr std::size_t kGuidLength = 32;
constexpr std::size_t kListLineMax = 1023;

// The next blank-delimited word at or after `at`, which ends up behind it.
std::string_view NextWord(std::string_view line, std::size_t& at) {
  at = line.find_first_not_of(" \t\r", at);
  if (at == std::string_view::npos) {
    at = line.size();
    return {};
  }
  const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
  const std::string_view word = line.substr(at, end - at);
  at = end;
  return word;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// One write per line: the game never reads a ban line in pieces.
bool AppendLine(const std::string& path, const std::string& line) {
  if (AppendWhole(path, line)) return true;
  LogMessage(kLogInfo, "Couldn't open server banlist file! %s", ErrorText(ErrorCode()));
  return false;
}

// Rewrites `path` without the lines `drop` picks, in one step.
bool RemoveLinesWhere(const std::string& path,
                      const std::function<bool(const std::string&)>& drop) {
  std::vector<std::string> lines;
  bool opened = false;
  if (!ReadListLines(path, lines, opened)) {
    LogMessage(kLogInfo, opened ? "Couldn't read %s! %s" : "Couldn't open %s! %s", path.c_str(),
               ErrorText(ErrorCode()));
    return false;
  }
  const bool written = ReplaceFile(path, [&](std::FILE* file) {
    for (const std::string& line : lines) {
      if (!drop(line) && std::fprintf(file, "%s\n", line.c_str()) < 0) return false;
    }
    return true;
  });
  if (!written) {
    LogMessage(kLogInfo, "Couldn't rename %s! %s", path.c_str(), ErrorText(ErrorCode()));
  }
  return written;
}

// The kind as one letter before the identifier in lower case.
std::string IndexKey(BanKind kind, const std::string& id) {
  std::string key(1, static_cast<char>('0' + static_cast<int>(kind)));
  key += id;
  LowerCaseInPlace(key);
  return key;
}

bool RemoveIdentifier(const std::string& path, const std::string& text, BanKind kind) {
  const std::string id = Identifier(text);
  if (id.empty()) return Fail(0);
  GameListEdit edit(path);
  return edit.Remove(id, kind) && edit.Commit();
}

}  // namespace

std::string GameBanListPath() {
  return Opts().settingsDir + "/banlist.con";
}

std::string PunkBusterBanListPath() {
  return Opts().serverDir + "/pb/pbbans.dat";
}

std::string Identifier(const std::string& text) {
  if (text.empty() || text == "*" || text == "[unknown]" || text.size() > kIdentifierMax) {
    return "";
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F || c == ',' || c == '"') return "";
  }
  return text;
}

std::string AddressBanLine(const std::string& address) {
  return "admin.addAddressToBanList " + address + ":0 Perm\n";
}

std::string KeyBanLine(const std::string& keyhash) {
  return "admin.addKeyToBanList " + keyhash + " Perm\n";
}

std::string GuidBanLine(const std::string& guid) {
  const std::time_t now = Now();
  std::tm local{};
  char stamp[40] = "";
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(stamp, sizeof stamp, "[%m.%d.%Y %H.%M.%S]", &local);
  }
  return std::string(stamp) + " " + guid + " \"\" \"\"\n";
}

bool AppendAddressBan(const std::string& address) {
  if (Identifier(address).empty()) return Fail(0);
  return AppendLine(GameBanListPath(), AddressBanLine(address));
}

bool AppendKeyBan(const std::string& keyhash) {
  if (Identifier(keyhash).empty()) return Fail(0);
  return AppendLine(GameBanListPath(), KeyBanLine(keyhash));
}

bool AppendGuidBan(const std::string& guid) {
  if (Identifier(guid).empty()) return Fail(0);
  return AppendLine(PunkBusterBanListPath(), GuidBanLine(guid));
}

bool RemoveAddressBan(const std::string& address) {
  return RemoveIdentifier(GameBanListPath(), address, BanKind::kAddress);
}

bool RemoveKeyBan(const std::string& keyhash) {
  return RemoveIdentifier(GameBanListPath(), keyhash, BanKind::kKey);
}

bool RemoveGuidBan(const std::string& guid) {
  return RemoveIdentifier(PunkBusterBanListPath(), guid, BanKind::kGuid);
}

bool RemoveLinesContaining(const std::string& path, const std::string& text) {
  return RemoveLinesWhere(
      path, [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

bool FileContains(const std::string& path, const std::string& text) {
  std::vector<std::string> lines;
  bool opened = false;
  if (!ReadListLines(path, lines, opened)) return false;
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return (line.empty() || line[0] != ';') && line.find(text) != std::string::npos;
  });
}

BanKind BannedIdentifier(const std::string& line, std::string& id) {
  id.clear();
  if (line.empty() || line[0] == ';') return BanKind::kNone;
  std::size_t at = 0;
  const std::string_view command = NextWord(line, at);
  const bool address = SameText(command, "admin.addAddressToBanList");
  if (address || SameText(command, "admin.addKeyToBanList")) {
    std::string_view value = NextWord(line, at);
    if (address) value = value.substr(0, value.find(':'));
    id.assign(value);
    if (id.empty()) return BanKind::kNone;
    return address ? BanKind::kAddress : BanKind::kKey;
  }
  for (at = 0;;) {
    const std::string_view word = NextWord(line, at);
    if (word.empty()) return BanKind::kNone;
    if (word.size() == kGuidLength) {
      id.assign(word);
      return BanKind::kGuid;
    }
  }
}

bool ReadListLines(const std::string& path, std::vector<std::string>& lines, bool& opened) {
  lines.clear();
  const auto keep = [&lines](std::string& line, bool) {
    lines.push_back(line);
    return true;
  };
  return ForEachLine(path, kListLineMax, false, keep, &opened);
}

bool GameListEdit::Load() {
  if (loaded_) return loadError_ == 0;
  loaded_ = true;
  if (!ReadListLines(path_, lines_, opened_)) {
    loadError_ = ErrorCode();
    return false;
  }
  dropped_.assign(lines_.size(), false);
  index_.reserve(lines_.size());
  std::string id;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const BanKind kind = BannedIdentifier(lines_[i], id);
    if (kind != BanKind::kNone) index_[IndexKey(kind, id)].push_back(i);
  }
  return true;
}

bool GameListEdit::Remove(const std::string& id, BanKind kind) {
  if (!Load()) {
    LogMessage(kLogInfo, opened_ ? "Couldn't read %s! %s" : "Couldn't open %s! %s", path_.c_str(),
               ErrorText(loadError_));
    return Fail(loadError_);
  }
  const auto found = index_.find(IndexKey(kind, id));
  if (found == index_.end()) return true;
  for (const std::size_t line : found->second) dropped_[line] = true;
  changed_ = true;
  index_.erase(found);
  return true;
}

bool GameListEdit::Commit() {
  if (!changed_) return true;
  changed_ = false;
  const bool written = ReplaceFile(path_, [&](std::FILE* file) {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (!dropped_[i] && std::fprintf(file, "%s\n", lines_[i].c_str()) < 0) return false;
    }
    return true;
  });
  if (!written) {
    LogMessage(kLogInfo, "Couldn't rename %s! %s", path_.c_str(), ErrorText(ErrorCode()));
  }
  return written;
}

}  // namespace keldor
