// A mistyped map never reaches the game: the map requests themselves and a
// rotation upload are each refused with the reason, and nothing changes.
// keldorctl's own check is in dispatch_server_test, the web console's in
// web_limits_test, the in-game commands' in players_test.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "e2e_support.h"
#include "wire/transfer_frame.h"

namespace keldor::e2e {
namespace {

constexpr const char* kTypo = "khe_sahn GPM_CQ bfvietnam";
constexpr const char* kGoodRotation =
    "game.setCurrentLevel hue GPM_CQ bfvietnam\ngame.addLevelToRotation khe_sanh GPM_CQ "
    "bfvietnam\n";

class MapsCheck : public KeldorHarness {
 protected:
  void SetUp() override { StartKeldor(Account("admin", "secret", 0xFFFFFFFF)); }

  // The next notification: its code and text.
  static std::pair<std::uint32_t, std::string> NextNote(RawClient& client) {
    const std::uint32_t code = client.ReadWord();
    std::string text = client.Read(client.ReadWord());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return {code, text};
  }
};

TEST_F(MapsCheck, AMistypedMapIsRefusedFromEveryEntryAndNothingChanges) {
  RawClient client(port_);
  ASSERT_TRUE(client.LogIn("admin", "secret"));
  for (const std::uint32_t request : {REQ_CHANGE_MAP, REQ_SET_NEXT_MAP, REQ_SET_IDLE_MAP}) {
    client.SendText(request, kTypo);
    EXPECT_EQ(NextNote(client).first, NOTE_COMMAND_FAILED) << std::hex << request;
  }
  EXPECT_TRUE(Logged("Refused the map khe_sahn GPM_CQ bfvietnam of user admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged(": the map khe_sahn is not installed in bfvietnam.")) << Log();
  // "none" is no map: it turns the idle map off.
  client.SendText(REQ_SET_IDLE_MAP, "none");
  EXPECT_EQ(NextNote(client), std::make_pair(NOTE_IDLE_MAP_SET, std::string()));
  EXPECT_FALSE(Logged("changed the next map"));

  // A rotation naming one map that is not installed is refused whole.
  WriteFile(SettingsPath("servermaplist.con"), kGoodRotation);
  std::string upload;
  ASSERT_TRUE(
      EncodeTransfer("game.setCurrentLevel hue GPM_CQ bfvietnam\ngame.addLevelToRotation nowhere "
                     "GPM_CQ bfvietnam\n",
                     &upload));
  client.Send(Word(REQ_PUT_ROTATION) + upload);
  EXPECT_EQ(NextNote(client).first, NOTE_COMMAND_FAILED);
  EXPECT_TRUE(Logged("Refused the map rotation uploaded by user admin at 127.0.0.1:"));
  EXPECT_TRUE(
      Logged("! line 2 (game.addLevelToRotation nowhere GPM_CQ bfvietnam): the map nowhere "
             "is not installed in bfvietnam."))
      << Log();
  EXPECT_EQ(ReadFile(SettingsPath("servermaplist.con")), kGoodRotation);
  EXPECT_FALSE(Logged("updated the map rotation"));
}

}  // namespace
}  // namespace keldor::e2e
