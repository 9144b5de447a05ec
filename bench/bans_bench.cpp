// The ban store's scans at scale: see bans_bench.h.
#include "bans_bench.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "bans/ban_store.h"
#include "bans/ban_sync.h"
#include "core/helpers.h"
#include "core/log.h"
#include "harness.h"
#include "runtime/game_server.h"
#include "runtime/options.h"

namespace keldor::bench {
namespace {

// Every ban is in both lists; with `ended`, one in ten ended long ago.
bool WriteLists(const std::string& dir, int entries, bool ended) {
  std::FILE* keldor = std::fopen((dir + "/serverbanlist.con").c_str(), "w");
  std::FILE* game = std::fopen((dir + "/banlist.con").c_str(), "w");
  if (keldor == nullptr || game == nullptr) return false;
  for (int i = 0; i < entries; ++i) {
    char address[16], key[33];
    std::snprintf(address, sizeof address, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    std::snprintf(key, sizeof key, "%032x", i);
    std::fprintf(keldor, "\"Player%d\",%s,%s,*,\"admin\",500,%d,reason %d, and more\n", i, address,
                 key, ended && i % 10 == 0 ? 1000 : 0, i);
    std::fprintf(game, "admin.addAddressToBanList %s:0 Perm\nadmin.addKeyToBanList %s Perm\n",
                 address, key);
  }
  return std::fclose(keldor) == 0 && std::fclose(game) == 0;
}

// Reads a file line by line and, with `copy`, writes the lines to a file beside it.
bool Pass(const std::string& path, bool copy) {
  std::FILE* in = std::fopen(path.c_str(), "r");
  std::FILE* out = copy ? std::fopen((path + ".copy").c_str(), "w") : nullptr;
  if (in == nullptr || (copy && out == nullptr)) return false;
  std::string line;
  while (ReadTextLine(in, line, 1023) == LineRead::kLine) {
    if (out != nullptr) std::fprintf(out, "%s\n", line.c_str());
  }
  std::fclose(in);
  return out == nullptr || std::fclose(out) == 0;
}

double Timed(const std::function<bool()>& step) {
  const double t = NowSeconds();
  return step() ? NowSeconds() - t : -1;
}

}  // namespace

bool MeasureBans(int entries, BanFigures* out) {
  char pattern[] = "/tmp/keldor-bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  const std::string dir = pattern;
  Opts().settingsDir = dir;
  Opts().serverDir = dir;
  Opts().punkBusterInstalled = false;
  Logging().directory = dir;
  Logging().quiet = true;
  GameServer().monitoring = false;  // the lifts edit banlist.con
  const std::string keldor = dir + "/serverbanlist.con", game = dir + "/banlist.con";

  bool ok = WriteLists(dir, entries, true);
  out->expireAnchor = Timed([&] { return Pass(keldor, true) && Pass(game, true); });
  out->expire = Timed(ExpireTimedBans);
  ok = ok && out->expireAnchor > 0 && out->expire > 0;
  ok = ok && WriteLists(dir, entries, false);
  out->verifyAnchor = Timed([&] { return Pass(keldor, false) && Pass(game, false); });
  out->verify = Timed(VerifyBanSync);
  ok = ok && out->verifyAnchor > 0 && out->verify > 0;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return ok;
}

}  // namespace keldor::bench
