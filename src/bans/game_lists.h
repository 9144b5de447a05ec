// The game's own ban lists as files: banlist.con (console commands the game runs
// at start, one ban of an address or a key hash per line) and PunkBuster's
// pbbans.dat (one GUID per line). Keldor writes them while the game server is
// stopped and reads them to compare with its own list.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace keldor {

std::string GameBanListPath();        // banlist.con in the settings directory
std::string PunkBusterBanListPath();  // pb/pbbans.dat under the server directory

// The identifier as the ban functions take it: "[unknown]" and "*" count as
// absent (empty). So does a text that cannot be an address, key hash or GUID
// (a blank, comma, double quote or control character, or longer than 64): it
// would end the console command or the list line early.
std::string Identifier(const std::string& text);

// The lines Keldor writes: "admin.addAddressToBanList %s:0 Perm", "admin.addKeyToBanList
// %s Perm" and, for pbbans.dat, the local time as "[%m.%d.%Y %H.%M.%S]", the GUID and two
// empty quoted fields.
std::string AddressBanLine(const std::string& address);
std::string KeyBanLine(const std::string& keyhash);
std::string GuidBanLine(const std::string& guid);

// Each appends one line; false for an absent identifier (no message) or when the
// file cannot be opened (logged, ErrorCode set).
bool AppendAddressBan(const std::string& address);
bool AppendKeyBan(const std::string& keyhash);
bool AppendGuidBan(const std::string& guid);

// Each drops the lines that ban exactly this identifier (the whole address
// before the port, the whole key hash or GUID, letters in any case): lifting
// 10.1.2.3 leaves 110.1.2.3 banned. False for an absent identifier or a file
// that could not be read or replaced (logged).
bool RemoveAddressBan(const std::string& address);
bool RemoveKeyBan(const std::string& keyhash);
bool RemoveGuidBan(const std::string& guid);

// Drops every line holding `text` (plain substring). The file is replaced in
// one step, so a crash leaves the old or the new one; false (logged) on failure.
bool RemoveLinesContaining(const std::string& path, const std::string& text);

// Whether a line of the file that does not start with ';' holds `text`.
bool FileContains(const std::string& path, const std::string& text);

// What a line of the game's lists bans, its identifier as written there in `id`:
// an address (second word of an "admin.addAddressToBanList" line, cut at ':'), a
// key hash (second word of "admin.addKeyToBanList"), or a GUID (in any other line,
// its first word of exactly 32 characters, as in pbbans.dat). kNone for lines
// that ban nothing and ';' comments.
enum class BanKind { kNone, kAddress, kKey, kGuid };
BanKind BannedIdentifier(const std::string& line, std::string& id);

// Reads a text file's lines (at most 1023 characters kept of each); false with
// ErrorCode when it cannot be opened (`opened` false) or read.
bool ReadListLines(const std::string& path, std::vector<std::string>& lines, bool& opened);

// Lifts bans from one of the game's list files in memory and writes the file
// once: removing many identifiers costs one read and one write, not one per
// identifier. The file is read on the first Remove.
class GameListEdit {
 public:
  explicit GameListEdit(std::string path) : path_(std::move(path)) {}
  // Drops the lines banning `id`; false, logged, when the file cannot be read.
  bool Remove(const std::string& id, BanKind kind);
  // Writes the file when a line was dropped; false, logged, when that failed.
  bool Commit();

 private:
  bool Load();
  std::string path_;
  bool loaded_ = false;
  bool opened_ = false;
  int loadError_ = 0;
  bool changed_ = false;
  std::vector<std::string> lines_;
  std::vector<bool> dropped_;
  std::unordered_map<std::string, std::vector<std::size_t>> index_;  // kind letter + identifier
};

}  // namespace keldor
