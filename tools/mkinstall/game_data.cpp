// The game data of a generated installation: two mods with level archives
// covering every game-type combination, a mod without init.con, a stray file,
// and game.rfa holding the evolution data as LZO1X segments; on request, any
// number of extra mods with small maps for large installations.
#include <cstdio>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "core/owned.h"
#include "installation.h"
#include "maps/rfa_writer.h"

namespace keldor::mkinstall {

namespace {

struct LevelLayout {
  const char* mod;
  const char* file;   // archive file name under levels/
  const char* title;  // the map folder inside the archive, in the game's case
  bool conquest;
  bool coop;
  bool versionHeader;
};

// Evolution lists hue, ia_drang and saigon_1968; khe_sanh only as a second
// map_ under the same maps tag, which the game does not count.
constexpr LevelLayout kLevels[] = {
    {"bfvietnam", "hue.rfa", "Hue", true, true, true},
    {"bfvietnam", "ia_drang.rfa", "Ia_Drang", true, false, false},
    {"bfvietnam", "khe_sanh.rfa", "Khe_Sanh", true, false, true},
    {"bfvietnam", "operation_hastings.rfa", "Operation_Hastings", true, true, false},
    {"bfvietnam", "saigon_1968.rfa", "Saigon_1968", false, true, true},
    {"bfvietnam", "landing_zone_albany.rfa", "Landing_Zone_Albany", false, false, false},
    {"bfvietnam", "quang_tri.rfa", "Quang_Tri", false, false, true},
    {"bfvietnam", "hue_001.rfa", "Hue", true, true, false},  // a patch part, not a map
    {"bf1942", "wake_island.rfa", "Wake_Island", true, false, false},
    {"bf1942", "el_alamein.rfa", "El_Alamein", true, true, true},
    {"bf1942", "quang_tri.rfa", "Quang_Tri", false, true, false},
    {"bf1942", "berlin.rfa", "Berlin", false, false, false},
    {"bf1942", "berlin_000.rfa", "Berlin", true, false, false},
    {"training", "boot_camp.rfa", "Boot_Camp", true, false, false},  // no init.con
};

constexpr const char* kModsWithInit[] = {"bfvietnam", "bf1942"};

std::string ModDir(const InstallOptions& options, const std::string& mod) {
  return options.dir + "/mods/" + mod;
}

bool WriteText(const std::string& path, const std::string& text) {
  if (!EnsureFile(path, EnsureMode::kTruncate)) return false;
  FileHandle file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  return CloseFile(file) && written;
}

// Terrain-like filler so that level archives hold more than their game types.
std::string Filler(const std::string& seed, std::size_t lines) {
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) {
    text += "rem " + seed + " heightmap row " + std::to_string(i) + " " +
            std::to_string((i * 7919) % 1024) + "\n";
  }
  return text;
}

bool WriteLevel(const InstallOptions& options, const LevelLayout& level) {
  const std::string title = level.title;
  std::vector<RfaEntry> entries = {
      {title + "/Init.con", "run " + title + "/Init/Terrain\n", false},
      {title + "/Terrain/HeightMap.raw", Filler(title, 1500), true},
  };
  if (level.conquest) {
    entries.push_back({title + "/GameTypes/Conquest.con", "game.setNumberOfTickets 300\n", false});
  }
  if (level.coop) {
    entries.push_back({title + "/GameTypes/Coop.con", "game.setNumberOfTickets 200\n", true});
  }
  const std::string levels = ModDir(options, level.mod) + "/archives/bfvietnam/levels";
  if (!MakeDirectories(levels)) return false;
  RfaOptions rfa;
  rfa.versionHeader = level.versionHeader;
  return WriteRfaArchive(levels + "/" + level.file, entries, rfa);
}

std::string EvolutionXml() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
      "<Evolution version=\"1.0\">\n"
      "  <Campaign name=\"Tet Offensive\">\n"
      "    <Round number=\"1\">\n"
      "      <maps>\n"
      "        <map_ name=\"Hue\" side=\"north\"/>\n"
      "        <map_ name=\"Khe_Sanh\" side=\"south\"/>\n"
      "      </maps>\n"
      "    </Round>\n"
      "    <Round number=\"2\">\n"
      "      <maps>\n"
      "        <MAP_ name=\"ia_drang\" side=\"south\"/>\n"
      "      </maps>\n"
      "    </Round>\n"
      "    <Round number=\"3\">\n"
      "      <maps>\n"
      "        <map_ name=\"saigon_1968\" side=\"north\"/>\n"
      "      </maps>\n"
      "    </Round>\n"
      "  </Campaign>\n"
      "  <Unlocks>\n";
  // The game's file carries long unlock tables; enough of them to need two segments.
  for (int i = 0; i < 600; ++i) {
    xml += "    <unlock kit=\"kit_" + std::to_string(i % 12) + "\" weapon=\"weapon_" +
           std::to_string(i) + "\" points=\"" + std::to_string(i * 25) + "\"/>\n";
  }
  xml += "  </Unlocks>\n</Evolution>\n";
  return xml;
}

bool WriteGameArchive(const InstallOptions& options) {
  const std::string dir = ModDir(options, "bfvietnam") + "/archives/bfvietnam";
  if (!MakeDirectories(dir)) return false;
  const std::vector<RfaEntry> entries = {
      {"BfVietnam/game/GameModeSettings/DefaultCoop.wst", "<Coop aiSkill=\"50\"/>\n", false},
      {"BfVietnam/game/GameModeSettings/DefaultEvolution.wst", EvolutionXml(), true},
      {"BfVietnam/menu/ServerMenu.con", Filler("menu", 40), true},
  };
  return WriteRfaArchive(dir + "/game.rfa", entries);
}

// A small level with both game types, named after its mod and number.
bool WriteExtraLevel(const InstallOptions& options, const std::string& mod, int number) {
  const std::string title = "Map_" + std::to_string(number);
  const std::vector<RfaEntry> entries = {
      {title + "/Init.con", "run " + title + "/Init/Terrain\n", false},
      {title + "/Terrain/HeightMap.raw", Filler(mod + title, 40), true},
      {title + "/GameTypes/Conquest.con", "game.setNumberOfTickets 300\n", false},
      {title + "/GameTypes/Coop.con", "game.setNumberOfTickets 200\n", true},
  };
  const std::string levels = ModDir(options, mod) + "/archives/bfvietnam/levels";
  if (!MakeDirectories(levels)) return false;
  return WriteRfaArchive(levels + "/map_" + std::to_string(number) + ".rfa", entries, RfaOptions{});
}

bool WriteExtraMods(const InstallOptions& options) {
  for (int m = 0; m < options.extraMods; ++m) {
    const std::string mod = "extra" + std::to_string(m);
    if (!WriteText(ModDir(options, mod) + "/init.con", "game.setActiveMod " + mod + "\n")) {
      return false;
    }
    for (int n = 0; n < options.mapsPerMod; ++n) {
      if (!WriteExtraLevel(options, mod, n)) return false;
    }
  }
  return true;
}

}  // namespace

bool WriteGameData(const InstallOptions& options) {
  for (const char* mod : kModsWithInit) {
    if (!WriteText(ModDir(options, mod) + "/init.con",
                   std::string("game.setActiveMod ") + mod + "\n")) {
      return false;
    }
  }
  for (const LevelLayout& level : kLevels) {
    if (!WriteLevel(options, level)) return false;
  }
  if (!WriteGameArchive(options) || !WriteExtraMods(options)) return false;
  if (!WriteText(options.dir + "/mods/readme.txt", "Mods go in folders named in lower case.\n")) {
    return false;
  }
  return !options.punkBuster || WriteText(options.dir + "/pb/pbsv.so",
                                          "\x7f"
                                          "ELF stand-in\n");
}

}  // namespace keldor::mkinstall
