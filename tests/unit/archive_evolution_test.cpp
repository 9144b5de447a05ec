// The evolution lookup: which map_ tags count, the search state carried from
// one lookup to the next, and parse errors reported with their line.
#include "maps/archive.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class EvolutionLookup : public testing::ServerDirTest {
 protected:
  void WriteEvolution(const std::string& xml) {
    WriteFile(Path("mods/bfvietnam/save/gamemodesettings/evolution.wst"), xml);
  }
};

TEST_F(EvolutionLookup, CountsOnlyTheFirstMapTagAfterEachMapsTag) {
  std::string xml =
      "<Evolution>\n"
      "  <maps><map_ name=\"Hue\"/><map_ name=\"khe_sanh\"/></maps>\n"
      "  <Maps><map_ name=\"saigon_1968\"/></Maps>\n"
      "  <maps><map_/><map_ side=\"north\" name=\"quang_tri\"/></maps>\n";
  while (xml.size() < 3000) xml += "  <unlock kit=\"assault\" points=\"100\"/>\n";
  xml += "  <maps><MAP_ name=\"ia_drang\"/></maps>\n";  // beyond the first pieces
  const std::string close = "</Evolution>\n";
  WriteEvolution(xml + std::string(4096 - xml.size() - close.size(), ' ') + close);
  EXPECT_EQ(EvolutionMapListed("HUE"), 4u);
  EXPECT_EQ(EvolutionMapListed("ia_drang"), 4u);     // a file of exactly four pieces
  EXPECT_EQ(EvolutionMapListed("khe_sanh"), 0u);     // second map_ under the same maps
  EXPECT_EQ(EvolutionMapListed("saigon_1968"), 0u);  // "Maps" is not "maps"
  EXPECT_EQ(EvolutionMapListed("quang_tri"), 0u);    // its first attribute is not name
}

// A document that ends armed leaves the next lookup armed from its start.
TEST_F(EvolutionLookup, CarriesTheArmedStateIntoTheNextLookup) {
  WriteEvolution("<root><map_ name=\"hue\"/><maps/></root>");
  EXPECT_EQ(EvolutionMapListed("hue"), 0u);
  EXPECT_EQ(EvolutionMapListed("hue"), 4u);
  ResetEvolutionSearch();
  EXPECT_EQ(EvolutionMapListed("hue"), 0u);
  // A scan reads the file once per starting state and answers the same.
  ResetEvolutionSearch();
  EvolutionScan scan;
  EXPECT_EQ(scan.Listed("hue"), 0u);
  EXPECT_EQ(scan.Listed("HUE"), 4u);
  WriteEvolution("<root/>");
  EXPECT_EQ(scan.Listed("hue"), 4u);
}

TEST_F(EvolutionLookup, LogsParseErrorsWithTheirLine) {
  WriteEvolution(
      "<Evolution>\n"
      "  <maps><map_ name=\"hue\"/></maps>\n"
      "  <maps></map_>\n"
      "  <maps><map_ name=\"ia_drang\"/></maps>\n"
      "</Evolution>\n");
  EXPECT_EQ(EvolutionMapListed("ia_drang"), 0u);
  EXPECT_TRUE(Logged("Couldn't parse Evolution.wst! mismatched tag at line 3.")) << Log();
}

}  // namespace
}  // namespace keldor
