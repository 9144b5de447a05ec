// Shared text, file and address helpers.
#include "core/helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "core/error.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using keldor::testing::Exists;
using keldor::testing::FileMode;
using keldor::testing::ReadFile;
using keldor::testing::WriteFile;

TEST(Helpers, IntegerToTextWritesSignAndDigitsInAnyBase) {
  EXPECT_EQ(IntegerToText(0, 10), "0");
  EXPECT_EQ(IntegerToText(-255, 16), "-ff");
  EXPECT_EQ(IntegerToText(-9223372036854775807L - 1, 10), "-9223372036854775808");
}

TEST(Helpers, KeyLabelLists) {
  const char* list = "0/No Limit,8/64 Kbps,CTLanT1/Lan T1";
  EXPECT_STREQ(ListKeyAt(list, 3), "CTLanT1");
  EXPECT_EQ(ListKeyAt(list, 4), nullptr);
  EXPECT_EQ(ListKeyAt(list, 0), nullptr);
  EXPECT_STREQ(ListLabelFor(list, "ctlant1"), "Lan T1");
  EXPECT_EQ(ListLabelFor(list, "64 Kbps"), nullptr);  // labels are not keys
  // A list longer than the private copy is cut, never overrun.
  std::string huge;
  for (int i = 0; i < 500; ++i) huge += "k" + std::to_string(i) + "/label,";
  EXPECT_STREQ(ListKeyAt(huge.c_str(), 1), "k0");
  EXPECT_EQ(ListKeyAt(huge.c_str(), 400), nullptr);
}

TEST(Helpers, ParseIPv4ReadsFourPartsAndZeroesBadOnes) {
  EXPECT_EQ(ParseIPv4("192.168.300.4"), 0xC0A80004u);
  EXPECT_EQ(ParseIPv4("10.1"), 0x0A010000u);
  EXPECT_EQ(ParseIPv4(nullptr), 0u);
  // Only the first 15 characters count: the last part is cut to "199".
  EXPECT_EQ(ParseIPv4("100.100.100.1999"), 0x646464C7u);
  EXPECT_STREQ(FormatIPv4(0xFFFFFFFFu), "255.255.255.255");
}

using HelperFiles = testing::StateTest;

TEST_F(HelperFiles, ExistenceCreationAndCopies) {
  const std::string deep = dir_ / "a/b/c/f.con";
  EXPECT_TRUE(EnsureFile(deep, EnsureMode::kCreateIfMissing));
  EXPECT_TRUE(Exists(deep));
  WriteFile(deep, "keep");
  EXPECT_TRUE(EnsureFile(deep, EnsureMode::kCreateIfMissing));
  EXPECT_EQ(ReadFile(deep), "keep");
  // A plain file in the way of a directory: the file cannot be made.
  WriteFile(dir_ / "blocker", "x");
  EXPECT_FALSE(EnsureFile(dir_ / "blocker/sub/f.con", EnsureMode::kCreateIfMissing));
  EXPECT_EQ(ErrorCode(), ENOTDIR);

  std::string content;
  for (int i = 0; i < 30000; ++i) content += static_cast<char>(i * 7);
  WriteFile(dir_ / "src", content);
  WriteFile(dir_ / "out/dst", "old content that is longer");
  EXPECT_TRUE(CopyFile(dir_ / "src", dir_ / "out/dst"));
  EXPECT_EQ(ReadFile(dir_ / "out/dst"), content);
  EXPECT_FALSE(CopyFile(dir_ / "missing", dir_ / "dst2"));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_FALSE(Exists(dir_ / "dst2"));
}

// A file that holds passwords never gets wider than its owner's, however it
// is written, and nothing is done through a link planted in its place.
TEST_F(HelperFiles, SecretFilesAreOwnersAloneAndLinksAreNotFollowed) {
  const mode_t mask = umask(022);
  const auto write = [](std::FILE* f) { return std::fputs("new\n", f) >= 0; };
  WriteFile(dir_ / "wide.con", "old");
  chmod((dir_ / "wide.con").c_str(), 0664);
  EXPECT_TRUE(ReplaceFile(dir_ / "wide.con", kSecretFileMode, write));
  EXPECT_EQ(FileMode(dir_ / "wide.con"), 0600u);
  chmod((dir_ / "wide.con").c_str(), 0640);  // any other file keeps its own mode
  EXPECT_TRUE(ReplaceFile(dir_ / "wide.con", write));
  EXPECT_EQ(FileMode(dir_ / "wide.con"), 0640u);

  WriteFile(dir_ / "victim", "precious");
  chmod((dir_ / "victim").c_str(), 0644);
  std::filesystem::create_symlink(dir_ / "victim", dir_ / "link.con");
  EXPECT_EQ(CreateSecretFile(dir_ / "link.con"), nullptr);
  mode_t narrowed = 0;
  EXPECT_FALSE(NarrowFileMode(dir_ / "link.con", kSecretFileMode, &narrowed));
  EXPECT_EQ(ReadFile(dir_ / "victim"), "precious");
  EXPECT_EQ(FileMode(dir_ / "victim"), 0644u);

  EXPECT_NE(CreateSecretFile(dir_ / "victim"), nullptr);  // emptied, narrowed
  EXPECT_EQ(ReadFile(dir_ / "victim"), "");
  EXPECT_EQ(FileMode(dir_ / "victim"), 0600u);
  EXPECT_EQ(CreateSecretFile(dir_.path()), nullptr);  // a directory is no file to fill
  umask(mask);
}

}  // namespace
}  // namespace keldor
