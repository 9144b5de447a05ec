// bannedwords.con and the banned-word test on player names.
#include "policing/banned_words.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/error.h"
#include "runtime/options.h"
#include "state_fixture.h"

namespace keldor {
namespace {

class BannedWords : public testing::StateTest {
 protected:
  std::string File() const { return Opts().settingsDir + "/bannedwords.con"; }
  static bool Matches(std::string name) { return ContainsBannedWord(name); }
};

TEST_F(BannedWords, LinesBecomeEntriesUpToTheirLineEndAndOverlongOnesAreRefusedWhole) {
  testing::WriteFile(File(), "Cheat\r\n\n$Bob\r\n\r\nnoob\rtrailing ignored\nlast");
  ASSERT_TRUE(LoadBannedWords());
  EXPECT_EQ(*BannedWordsList(), "Cheat,$Bob,noob,last,");
  // Read in pieces, the tail would have become an entry of its own.
  testing::WriteFile(File(), std::string(1020, 'a') + "tail\nshort\n");
  ASSERT_TRUE(LoadBannedWords());
  EXPECT_EQ(*BannedWordsList(), "short,");
  EXPECT_FALSE(Matches("tail"));
}

TEST_F(BannedWords, WholeNameEntriesAndWordEntriesIgnoreCase) {
  testing::WriteFile(File(), "$Bob\nCheat\n");
  ASSERT_TRUE(LoadBannedWords());
  EXPECT_TRUE(Matches("BOB"));
  EXPECT_FALSE(Matches("bobby"));
  EXPECT_TRUE(Matches("xXcHeAtErXx"));
  std::string name = "MiXeD";
  ContainsBannedWord(name);
  EXPECT_EQ(name, "mixed");
}

TEST_F(BannedWords, NoListMatchesNothingAFailedOpenKeepsTheOldListAndSizeIsBounded) {
  EXPECT_FALSE(LoadBannedWords());
  EXPECT_FALSE(Matches("anything"));
  testing::WriteFile(File(), "word\n");
  ASSERT_TRUE(LoadBannedWords());
  std::filesystem::remove(File());
  EXPECT_FALSE(LoadBannedWords());
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_TRUE(Matches("a word here"));

  std::string text;
  for (int k = 0; k < 1100; ++k) text += std::to_string(k) + std::string(995, 'w') + "\n";
  testing::WriteFile(File(), text);
  EXPECT_FALSE(LoadBannedWords());
  ASSERT_NE(BannedWordsList(), nullptr);
  EXPECT_LE(BannedWordsList()->size(), kBannedWordsMax);
  EXPECT_TRUE(Matches("0" + std::string(995, 'w')));  // what fits is kept
}

}  // namespace
}  // namespace keldor
