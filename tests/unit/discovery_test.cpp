// mods.con and maps.con for an installation built here with the RFA writer:
// every game-type combination, the bf1942 fallback, skipped archives, mods
// without init.con and stray files.
#include "maps/discovery.h"

#include <dirent.h>

#include <cctype>
#include <map>

#include "maps/archive_io.h"
#include "maps/rfa_writer.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

using testing::Listing;

class Discovery : public testing::ServerDirTest {
 protected:
  void SetUp() override {
    ServerDirTest::SetUp();
    WriteFile(Path("mods/bfvietnam/init.con"), "");
    WriteFile(Path("mods/bf1942/init.con"), "");
    WriteFile(Path("mods/training/archives/bfvietnam/levels/boot_camp.rfa"), "");  // no init.con
    WriteFile(Path("mods/readme.txt"), "a stray file\n");
    WriteFile(Path("mods/bfvietnam/save/gamemodesettings/evolution.wst"),
              "<e><maps><map_ name=\"hue\"/></maps><maps><map_ name=\"ia_drang\"/></maps></e>");
  }

  void Level(const std::string& mod, const std::string& file, bool conquest, bool coop,
             bool header = true) {
    std::vector<RfaEntry> entries = {{"Map/Init.con", "run init\n", false}};
    if (conquest) entries.push_back({"Map/GameTypes/Conquest.con", "rem cq\n", false});
    if (coop) entries.push_back({"Map/gametypes/coop.con", std::string(300, 'c'), true});
    const std::string levels = Path("mods/" + mod + "/archives/bfvietnam/levels");
    std::filesystem::create_directories(levels);
    RfaOptions options;
    options.versionHeader = header;
    ASSERT_TRUE(WriteRfaArchive(levels + "/" + file, entries, options));
  }
};

// The cases a generated installation lacks (see the mkinstall test for the rest).
TEST_F(Discovery, WritesMapsWithTheFallbackAndOpenFailures) {
  Level("bfvietnam", "hue.rfa", true, true);              // 1+2+4+8
  Level("bfvietnam", "albany.rfa", false, false, false);  // 8
  Level("bfvietnam", "quang_tri.rfa", true, false);       // 1 + 2 from bf1942, +8
  Level("bfvietnam", "hue_001.rfa", true, true);          // skipped: "_0"
  Level("bfvietnam", "Saigon.RFA", true, true);           // opened as saigon.rfa: fails
  WriteFile(Path("mods/bfvietnam/archives/bfvietnam/levels/notes.txt"), "not a level\n");
  Level("bf1942", "quang_tri.rfa", false, true);  // 2+8
  Level("bf1942", "hue.rfa", false, false);       // 4+8: bf1942 has no fallback of its own
  const std::map<std::string, unsigned> bits = {
      {"bfvietnam,hue", 15},   {"bfvietnam,albany", 8},  {"bfvietnam,quang_tri", 11},
      {"bfvietnam,saigon", 8}, {"bf1942,quang_tri", 10}, {"bf1942,hue", 12}};
  std::string mods, maps;
  for (const std::string& mod : Listing(Path("mods"))) {
    if (mod != "bfvietnam" && mod != "bf1942") continue;
    mods += mod + "\n";
    for (std::string file : Listing(Path("mods/" + mod + "/archives/bfvietnam/levels"))) {
      for (char& c : file) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const std::string key = mod + "," + file.substr(0, file.find(".rfa"));
      if (bits.count(key)) maps += key + "," + std::to_string(bits.at(key)) + "\n";
    }
  }
  ASSERT_TRUE(WriteModsFile(Path("settings/mods.con")));
  EXPECT_EQ(ReadFile(Path("settings/mods.con")), mods);
  ASSERT_TRUE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_EQ(ReadFile(Path("settings/maps.con")), maps);
  EXPECT_TRUE(Logged("Couldn't open " + Path("mods/bfvietnam/archives/bfvietnam/levels/") +
                     "saigon.rfa file! "));
}

// Lines are read whole: a 31-character name works, a longer one is passed
// over, and an empty line ends the list.
TEST_F(Discovery, ReadsModsFileLinesWhole) {
  const std::string longest(31, 'm');
  Level("bf1942", "wake.rfa", true, false);
  Level(longest, "hue.rfa", false, true);
  WriteFile(Path("settings/mods.con"),
            longest + "\n" + std::string(40, 'x') + "\r\nbf1942\r\n\nbfvietnam\n");
  ASSERT_TRUE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_EQ(ReadFile(Path("settings/maps.con")), longest + ",hue,14\nbf1942,wake,9\n");
  EXPECT_TRUE(Logged("WARNING: Mod name " + std::string(31, 'x') + "... is longer"));
}

TEST_F(Discovery, FailsWithAdviceWhenFoldersOrFilesAreMissing) {
  EXPECT_FALSE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_TRUE(Logged("Couldn't open " + Path("settings/mods.con") + " file! "));
  WriteFile(Path("settings/mods.con"), "bfvietnam\n");
  EXPECT_FALSE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_TRUE(Logged("Verify all directory names in " +
                     Path("mods/bfvietnam/archives/bfvietnam/levels/") +
                     " exist and are lowercase."));
}

TEST_F(Discovery, LevelGameTypesSurvivesBogusDirectories) {
  const std::vector<RfaEntry> entries = {{std::string(1100, 'n'), "", false},  // passed over
                                         {"Hue/GameTypes/CONQUEST.con", "", false},
                                         {"Hue/gametypes/Coop.con", "x", true}};
  RfaImage image;
  ASSERT_TRUE(BuildRfaArchive(entries, RfaOptions{}, image));
  const auto typesOf = [&](const std::vector<std::uint8_t>& bytes) {
    unsigned bits = 99;
    EXPECT_TRUE(WriteBytesToFile(Path("a.rfa"), bytes));
    EXPECT_TRUE(LevelGameTypes(Path("a.rfa"), bits));
    return bits;
  };
  EXPECT_EQ(typesOf(image.bytes), 3u);
  RfaImage damaged = image;
  PutU32At(damaged.bytes, damaged.directoryOffset, ~0u);  // count: ends at the file's end
  damaged.bytes.resize(damaged.bytes.size() - 10);        // inside the last entry
  EXPECT_EQ(typesOf(damaged.bytes), 1u);
  damaged = image;
  PutU32At(damaged.bytes, damaged.entries[1].directoryPosition, 0xFFFFFFF0u);
  EXPECT_EQ(typesOf(damaged.bytes), 0u);
  unsigned bits = 99;
  EXPECT_FALSE(LevelGameTypes(Path("none.rfa"), bits));
  EXPECT_EQ(bits, 0u);
}

}  // namespace
}  // namespace keldor
