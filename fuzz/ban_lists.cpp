// serverbanlist.con and the game's own ban lists (banlist.con, pbbans.dat):
// read, expired, searched and rewritten.
#include <string>
#include <vector>

#include "bans/ban_store.h"
#include "bans/game_lists.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  fuzz::WriteBytes(ServerBanListPath(), data, size);
  fuzz::WriteBytes(GameBanListPath(), data, size);
  fuzz::WriteBytes(PunkBusterBanListPath(), data, size);
  std::vector<std::string> lines;
  bool opened = false;
  if (ReadListLines(ServerBanListPath(), lines, opened)) {
    for (const std::string& line : lines) {
      BanEntry entry;
      if (ParseBanEntry(line, entry)) FormatBanEntry(entry);
      std::string id;
      BannedIdentifier(line, id);
    }
  }
  ExpireTimedBans();
  FileContains(GameBanListPath(), "1.2.3.4");
  RemoveAddressBan("1.2.3.4");
  RemoveGuidBan("0123456789abcdef0123456789abcdef");
  return 0;
}
