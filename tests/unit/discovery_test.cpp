// mods.con and maps.con for an installation built here with the RFA writer:
// every game-type combination, the bf1942 fallback, skipped archives, mods
// without init.con and stray files.
#include "maps/discovery.h"

#include <dirent.h>

#include <cctype>
#include <map>

#include "archive_test_support.h"
#include "maps/archive.h"
#include "maps/archive_io.h"
#include "maps/rfa_writer.h"

namespace keldor {
namespace {

// Names in a directory in the order the scan sees them.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(handle)) names.push_back(entry->d_name);
    closedir(handle);
  }
  return names;
}

class Discovery : public testing::ServerDirTest {
 protected:
  void SetUp() override {
    ServerDirTest::SetUp();
    WriteText(Path("mods/bfvietnam/init.con"), "");
    WriteText(Path("mods/bf1942/init.con"), "");
    WriteText(Path("mods/training/archives/bfvietnam/levels/boot_camp.rfa"), "");  // no init.con
    WriteText(Path("mods/readme.txt"), "a stray file\n");
    WriteText(Path("mods/bfvietnam/save/gamemodesettings/evolution.wst"),
              "<e><maps><map_ name=\"hue\"/></maps><maps><map_ name=\"ia_drang\"/></maps></e>");
  }

  void Level(const std::string& mod, const std::string& file, const std::string& title,
             bool conquest, bool coop, bool header = true) {
    std::vector<RfaEntry> entries = {{title + "/Init.con", "run init\n", false}};
    if (conquest) entries.push_back({title + "/GameTypes/Conquest.con", "rem cq\n", false});
    if (coop) entries.push_back({title + "/gametypes/coop.con", std::string(300, 'c'), true});
    const std::string levels = Path("mods/" + mod + "/archives/bfvietnam/levels");
    std::filesystem::create_directories(levels);
    RfaOptions options;
    options.versionHeader = header;
    ASSERT_TRUE(WriteRfaArchive(levels + "/" + file, entries, options));
  }

  // What maps.con must hold for `bits` (map -> bits) of a mod, in scan order.
  std::string Expected(const std::string& mod, const std::map<std::string, unsigned>& bits) {
    std::string lines;
    for (const std::string& file : Listing(Path("mods/" + mod + "/archives/bfvietnam/levels"))) {
      std::string map = file;
      for (char& c : map) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      map = map.substr(0, map.find(".rfa"));
      if (const auto found = bits.find(map); found != bits.end()) {
        lines += mod + "," + map + "," + std::to_string(found->second) + "\n";
      }
    }
    return lines;
  }
};

TEST_F(Discovery, WritesModsAndMapsLineForLine) {
  Level("bfvietnam", "hue.rfa", "Hue", true, true);                    // 1+2+4+8
  Level("bfvietnam", "ia_drang.rfa", "Ia_Drang", true, false, false);  // 1+4+8
  Level("bfvietnam", "khe_sanh.rfa", "Khe_Sanh", true, false);         // 1+8
  Level("bfvietnam", "hastings.rfa", "Hastings", true, true, false);   // 1+2+8
  Level("bfvietnam", "albany.rfa", "Albany", false, false);            // 8
  Level("bfvietnam", "quang_tri.rfa", "Quang_Tri", false, false);      // 2 from bf1942, +8
  Level("bfvietnam", "hue_001.rfa", "Hue", true, true);                // skipped: "_0"
  Level("bfvietnam", "Saigon.RFA", "Saigon", true, true);              // opened as saigon.rfa
  WriteText(Path("mods/bfvietnam/archives/bfvietnam/levels/notes.txt"), "not a level\n");
  Level("bf1942", "quang_tri.rfa", "Quang_Tri", false, true);  // 2+8
  Level("bf1942", "wake.rfa", "Wake", true, false);            // 1+8
  Level("bf1942", "hue.rfa", "Hue", true, false);  // bf1942's own line gets the evolution bit

  ASSERT_TRUE(WriteModsFile(Path("settings/mods.con")));
  std::string mods;
  std::vector<std::string> modOrder;
  for (const std::string& name : Listing(Path("mods"))) {
    if (name == "bfvietnam" || name == "bf1942") {
      mods += name + "\n";
      modOrder.push_back(name);
    }
  }
  EXPECT_EQ(ReadText(Path("settings/mods.con")), mods);

  ASSERT_TRUE(WriteMapsFile(Path("settings/maps.con")));
  const std::map<std::string, std::map<std::string, unsigned>> bits = {
      {"bfvietnam",
       {{"hue", 15},
        {"ia_drang", 13},
        {"khe_sanh", 9},
        {"hastings", 11},
        {"albany", 8},
        {"quang_tri", 10},
        {"saigon", 8}}},
      {"bf1942", {{"quang_tri", 10}, {"wake", 9}, {"hue", 13}}},
  };
  std::string maps;
  for (const std::string& mod : modOrder) maps += Expected(mod, bits.at(mod));
  EXPECT_EQ(ReadText(Path("settings/maps.con")), maps);
  EXPECT_NE(LogText().find("Couldn't open " + Path("mods/bfvietnam/archives/bfvietnam/levels/") +
                           "saigon.rfa file! "),
            std::string::npos);
}

TEST_F(Discovery, ListsModsInLowerCaseAndPassesOverOddEntries) {
  WriteText(Path("mods/Desert/init.con"), "");
  WriteText(Path("mods/MixedCase.txt"), "");
  std::filesystem::create_symlink(Path("mods/bf1942"), Path("mods/linked"));
  ASSERT_TRUE(WriteModsFile(Path("settings/mods.con")));
  const std::string mods = ReadText(Path("settings/mods.con"));
  EXPECT_NE(mods.find("desert\n"), std::string::npos);
  EXPECT_EQ(mods.find("training"), std::string::npos);
  EXPECT_EQ(mods.find("linked"), std::string::npos);  // a link is not a mod folder
  EXPECT_EQ(mods.find("readme"), std::string::npos);
  EXPECT_EQ(mods.find("mixedcase"), std::string::npos);
}

TEST_F(Discovery, AnEmptyModsLineEndsTheScan) {
  Level("bf1942", "wake.rfa", "Wake", true, false);
  WriteText(Path("settings/mods.con"), "bf1942\r\n\nbfvietnam\n");
  ASSERT_TRUE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_EQ(ReadText(Path("settings/maps.con")), "bf1942,wake,9\n");
}

TEST_F(Discovery, FailsWithAdviceWhenAModHasNoLevelsFolder) {
  WriteText(Path("settings/mods.con"), "bfvietnam\n");
  EXPECT_FALSE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_NE(LogText().find("Couldn't detect available maps! "), std::string::npos);
  EXPECT_NE(LogText().find("Verify all directory names in " +
                           Path("mods/bfvietnam/archives/bfvietnam/levels/") +
                           " exist and are lowercase."),
            std::string::npos);
}

TEST_F(Discovery, FailsWithoutModsFileOrModsFolder) {
  EXPECT_FALSE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_NE(LogText().find("Couldn't open " + Path("settings/mods.con") + " file! "),
            std::string::npos);
  std::filesystem::remove_all(Path("mods"));
  EXPECT_FALSE(WriteModsFile(Path("settings/mods.con")));
  EXPECT_NE(LogText().find("Couldn't detect available mods! "), std::string::npos);
}

class LevelTypes : public testing::ServerDirTest {};

TEST_F(LevelTypes, ReadsTheDirectoryWithOrWithoutVersionText) {
  const std::vector<RfaEntry> entries = {{"Hue/GameTypes/CONQUEST.con", "", false},
                                         {"Hue/gametypes/Coop.con", "x", true}};
  for (bool header : {true, false}) {
    RfaOptions options;
    options.versionHeader = header;
    ASSERT_TRUE(WriteRfaArchive(Path("hue.rfa"), entries, options));
    unsigned bits = 99;
    ASSERT_TRUE(LevelGameTypes(Path("hue.rfa"), bits));
    EXPECT_EQ(bits, 3u) << header;
  }
  unsigned bits = 99;
  EXPECT_FALSE(LevelGameTypes(Path("none.rfa"), bits));
  EXPECT_EQ(bits, 0u);
}

TEST_F(LevelTypes, SurvivesBogusDirectories) {
  const std::vector<RfaEntry> entries = {{std::string(1100, 'n'), "", false},
                                         {"Hue/GameTypes/Conquest.con", "", false},
                                         {"Hue/GameTypes/Coop.con", "", false}};
  RfaImage image;
  ASSERT_TRUE(BuildRfaArchive(entries, RfaOptions{}, image));
  unsigned bits = 0;
  ASSERT_TRUE(WriteBytesToFile(Path("a.rfa"), image.bytes));
  ASSERT_TRUE(LevelGameTypes(Path("a.rfa"), bits));
  EXPECT_EQ(bits, 3u);  // the overlong name is passed over

  RfaImage damaged = image;
  PutU32At(damaged.bytes, damaged.directoryOffset, 0xFFFFFFFFu);  // count: ends at the file's end
  damaged.bytes.resize(damaged.bytes.size() - 10);                // and cut the last entry
  ASSERT_TRUE(WriteBytesToFile(Path("a.rfa"), damaged.bytes));
  ASSERT_TRUE(LevelGameTypes(Path("a.rfa"), bits));
  EXPECT_EQ(bits, 1u);

  damaged = image;
  PutU32At(damaged.bytes, damaged.entries[1].directoryPosition, 0xFFFFFFF0u);
  ASSERT_TRUE(WriteBytesToFile(Path("a.rfa"), damaged.bytes));
  ASSERT_TRUE(LevelGameTypes(Path("a.rfa"), bits));
  EXPECT_EQ(bits, 0u);

  damaged = image;
  PutU32At(damaged.bytes, kArchiveVersionSize, 0x7FFFFFFFu);
  ASSERT_TRUE(WriteBytesToFile(Path("a.rfa"), damaged.bytes));
  ASSERT_TRUE(LevelGameTypes(Path("a.rfa"), bits));
  EXPECT_EQ(bits, 0u);
  EXPECT_NE(LogText().find("its directory lies beyond its end."), std::string::npos);
}

}  // namespace
}  // namespace keldor
