// Which map combo is current: from the status reply, the override and the
// rotation files; and the rotation written for a server that keeps its map.
#include "maps/rotation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "gamelink/status_query.h"
#include "maps/installed.h"
#include "runtime/game_server.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using Rotation = testing::StateTest;

TEST_F(Rotation, LevelComesFromTheOverrideOrTheRotationOfTheServersState) {
  testing::WriteFile(SettingsFile("servermaplist.con"),
                     "game.addLevelToRotation a GPM_CQ x\nGAME.SETCURRENTLEVEL hue GPM_CQ\n"
                     "game.setCurrentLevel ia_drang GPM_CQ bfvietnam\r\n");
  testing::WriteFile(SettingsFile("maplist.con"),
                     "game.setCurrentLevel khe_sanh GPM_COOP bfvietnam\n");
  EXPECT_EQ(CurrentLevelCombo(), "ia_drang GPM_CQ bfvietnam");
  GameServer().monitoring = true;
  EXPECT_EQ(CurrentLevelCombo(), "khe_sanh GPM_COOP bfvietnam");
  SetCurrentMapOverride("hue  GPM_CQ");  // two words only: the rotation decides
  EXPECT_EQ(CurrentLevelCombo(), "khe_sanh GPM_COOP bfvietnam");
  SetCurrentMapOverride(" hue GPM_EVOL bfvietnam extra");
  EXPECT_EQ(CurrentLevelCombo(), "hue GPM_EVOL bfvietnam");
  SetCurrentMapOverride("");
  testing::WriteFile(SettingsFile("maplist.con"), "game.addLevelToRotation hue GPM_CQ bfvietnam\n");
  EXPECT_EQ(CurrentLevelCombo(), "-");
  std::remove(SettingsFile("maplist.con").c_str());
  EXPECT_EQ(CurrentLevelCombo(), std::nullopt);
  EXPECT_TRUE(Logged("Couldn't open map list file! "));
}

TEST_F(Rotation, StatusCombosAreCutAndUnknownModesMarkedAndAKeptMapLeadsTheRotation) {
  EXPECT_EQ(CurrentMapCombo(), "-");  // no server watched
  EXPECT_EQ(MapComboOf(std::string(70, 'M'), "Siege", "MOD"), std::string(63, 'm') + " ??? mod");
  // A rotation without a current level gets one, first.
  testing::WriteFile(SettingsFile("servermaplist.con"), "game.addLevelToRotation hue GPM_CQ x\n");
  ASSERT_TRUE(WriteMapListStartingAt(SettingsFile("servermaplist.con"), SettingsFile("maplist.con"),
                                     "ia_drang GPM_CQ x"));
  EXPECT_EQ(testing::ReadFile(SettingsFile("maplist.con")),
            "game.setCurrentLevel ia_drang GPM_CQ x\ngame.addLevelToRotation hue GPM_CQ x\n");
}

TEST_F(Rotation, CombosAndRotationsAreCheckedAgainstTheInstalledMapsAndTheirModes) {
  EXPECT_EQ(ComboRefusal("nowhere GPM_CQ x"), "");  // installed maps unknown: nothing to refuse
  testing::WriteFile(SettingsFile("maps.con"),
                     "bfvietnam,hue,9\r\nbfvietnam,khe_sanh,10\nbf1942,\n");
  EXPECT_EQ(ComboRefusal("Hue gpm_cq BFVietnam"), "");
  EXPECT_EQ(ComboRefusal("khe_sahn GPM_CQ bfvietnam"),
            "the map khe_sahn is not installed in bfvietnam");
  EXPECT_EQ(ComboRefusal("khe_sanh GPM_CQ bfvietnam"),
            "the map khe_sanh of bfvietnam has no game mode GPM_CQ");
  EXPECT_EQ(ComboRefusal("hue GPM_CQ desert"), "the mod desert is not installed");
  EXPECT_EQ(ComboRefusal("hue SIEGE bfvietnam"), "SIEGE is not a game mode");
  EXPECT_EQ(ComboRefusal("hue GPM_CQ bfvietnam admin.kickPlayer 1"),
            "a map combo is three words: map, game mode and mod");
  // Only the lines that name a level are checked; the first bad one is named.
  EXPECT_EQ(RotationRefusal("game.setCurrentLevel hue GPM_CQ bfvietnam\r\n"
                            "game.serverName nowhere\n"
                            "GAME.ADDLEVELTOROTATION khe_sanh GPM_COOP bfvietnam\n"),
            "");
  EXPECT_EQ(RotationRefusal("game.addLevelToRotation hue GPM_CQ bfvietnam\n\n"
                            "game.addLevelToRotation\tnowhere GPM_CQ bfvietnam\r\n"
                            "game.addLevelToRotation nowhere2 GPM_CQ bfvietnam\n"),
            "line 3 (game.addLevelToRotation nowhere GPM_CQ bfvietnam): the map nowhere is not "
            "installed in bfvietnam");
}

}  // namespace
}  // namespace keldor
