// Extraction of RFA entries: stored and segmented, with and without the
// version text, and every kind of damage an archive can carry.
#include <functional>

#include "archive_test_support.h"
#include "maps/archive.h"
#include "maps/archive_io.h"
#include "maps/rfa_writer.h"

namespace keldor {
namespace {

constexpr const char* kEvolution = "BfVietnam/game/GameModeSettings/DefaultEvolution.wst";

// Varied text that compresses, long enough for several small segments.
std::string Sample(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) {
    text += "<unlock weapon=\"w" + std::to_string(i * 37 % 101) + "\"/>\n";
  }
  text.resize(size);
  return text;
}

class ArchiveExtract : public testing::ServerDirTest {
 protected:
  // Three entries: a stored one, a segmented one in 1000-byte segments, and
  // one that has binary bytes (NULs included).
  RfaImage Build(bool versionHeader) {
    entries_ = {
        {"BfVietnam/menu/Menu.con", "rem menu\n", false},
        {kEvolution, Sample(4500), true},
        {"BfVietnam/Raw.bin", std::string("\0\x01\xff\0data", 8), false},
    };
    RfaOptions options;
    options.versionHeader = versionHeader;
    options.segmentSize = 1000;
    RfaImage image;
    EXPECT_TRUE(BuildRfaArchive(entries_, options, image));
    return image;
  }

  bool Extract(const RfaImage& image, const std::string& name = kEvolution) {
    EXPECT_TRUE(WriteBytesToFile(Path("game.rfa"), image.bytes));
    return ExtractArchiveEntry(Path("game.rfa"), name, Path("out.wst"));
  }

  // Position of row `index` of the segment table of entry `entry`.
  static std::uint32_t SegmentRow(const RfaImage& image, std::size_t entry, std::uint32_t index) {
    return image.entries[entry].dataOffset + 4 + 12 * index;
  }
  static std::uint32_t SegmentData(const RfaImage& image, std::size_t entry, std::uint32_t index) {
    const std::uint32_t base = SegmentRow(image, entry, image.entries[entry].segmentCount);
    return base + GetU32(&image.bytes[SegmentRow(image, entry, index) + 8]);
  }

  std::vector<RfaEntry> entries_;
};

TEST_F(ArchiveExtract, ReadsEveryEntryWithAndWithoutVersionText) {
  for (bool header : {true, false}) {
    const RfaImage image = Build(header);
    EXPECT_EQ(image.bytes[0] == 'R', header);
    ASSERT_EQ(image.entries[1].segmentCount, 5u);
    EXPECT_NE(image.entries[1].storedSize, image.entries[1].size);
    for (const RfaEntry& entry : entries_) {
      ASSERT_TRUE(Extract(image, entry.name)) << entry.name << " header " << header;
      EXPECT_EQ(ReadText(Path("out.wst")), entry.content) << entry.name;
    }
  }
}

TEST_F(ArchiveExtract, MatchesNamesInAnyCase) {
  const RfaImage image = Build(true);
  ASSERT_TRUE(Extract(image, "bfvietnam/game/gamemodesettings/defaultevolution.wst"));
  EXPECT_EQ(ReadText(Path("out.wst")), entries_[1].content);
  ASSERT_TRUE(Extract(image, "BFVIETNAM/RAW.BIN"));
  EXPECT_EQ(ReadText(Path("out.wst")), entries_[2].content);
}

TEST_F(ArchiveExtract, FullSizeSegmentsOfTheGameRoundTrip) {
  const std::vector<RfaEntry> entries = {{kEvolution, Sample(70000), true}};
  RfaImage image;
  ASSERT_TRUE(BuildRfaArchive(entries, RfaOptions{}, image));
  EXPECT_EQ(image.entries[0].segmentCount, 3u);
  ASSERT_TRUE(Extract(image));
  EXPECT_EQ(ReadText(Path("out.wst")), entries[0].content);
}

TEST_F(ArchiveExtract, PassesOverOverlongNamesAndReportsMissingEntries) {
  const std::vector<RfaEntry> entries = {{std::string(600, 'x'), "long", false},
                                         {"short.con", "found", false}};
  RfaImage image;
  ASSERT_TRUE(BuildRfaArchive(entries, RfaOptions{}, image));
  ASSERT_TRUE(Extract(image, "SHORT.CON"));
  EXPECT_EQ(ReadText(Path("out.wst")), "found");
  EXPECT_FALSE(Extract(image, std::string(600, 'x')));
  EXPECT_FALSE(Extract(image, "missing.con"));
  EXPECT_NE(LogText().find("Couldn't find missing.con in archive"), std::string::npos);
}

TEST_F(ArchiveExtract, FailsWhenArchiveOrOutputCannotBeOpened) {
  EXPECT_FALSE(ExtractArchiveEntry(Path("none.rfa"), kEvolution, Path("out.wst")));
  EXPECT_EQ(State().errorCode, ENOENT);
  ASSERT_TRUE(WriteBytesToFile(Path("game.rfa"), Build(true).bytes));
  EXPECT_FALSE(ExtractArchiveEntry(Path("game.rfa"), kEvolution, Path("no/such/dir/out.wst")));
}

struct Damage {
  const char* what;
  std::function<void(RfaImage&)> apply;
  const char* logged;
  const char* wanted = kEvolution;
};

void Poke(RfaImage& image, std::size_t at, std::uint32_t value) {
  PutU32At(image.bytes, at, value);
}

TEST_F(ArchiveExtract, RefusesDamagedArchivesWithALogLine) {
  const std::uint32_t offsetWord = kArchiveVersionSize;
  const std::vector<Damage> damages = {
      {"too short for a directory offset", [](RfaImage& i) { i.bytes.resize(3); },
       "too short to hold a directory"},
      {"directory offset past the end", [&](RfaImage& i) { Poke(i, offsetWord, 0xFFFFFFF0u); },
       "lies beyond its end"},
      {"directory offset at the very end",
       [&](RfaImage& i) { Poke(i, offsetWord, static_cast<std::uint32_t>(i.bytes.size())); },
       "lies beyond its end"},
      {"entry count", [](RfaImage& i) { Poke(i, i.directoryOffset, 0x7FFFFFFFu); },
       "claims 2147483647 entries"},
      {"name length", [](RfaImage& i) { Poke(i, i.entries[0].directoryPosition, 0xFFFFFFFFu); },
       "bogus name length (4294967295)"},
      // Cuts into the wanted entry, the second of three.
      {"truncated directory", [](RfaImage& i) { i.bytes.resize(i.bytes.size() - 75); },
       "cut short"},
      {"stored data past the end (stored entry wanted)",
       [this](RfaImage& i) {
         Poke(i, i.entries[0].directoryPosition + 4 + entries_[0].name.size() + 8, 0xFFFFFF00u);
       },
       "entry data at", "bfvietnam/menu/menu.con"},
      {"segment count", [](RfaImage& i) { Poke(i, i.entries[1].dataOffset, 0x40000000u); },
       "segment table"},
      {"compressed size over 49152", [](RfaImage& i) { Poke(i, SegmentRow(i, 1, 2), 49153); },
       "exceeds the segment buffers"},
      {"expanded size over 32772", [](RfaImage& i) { Poke(i, SegmentRow(i, 1, 0) + 4, 32773); },
       "exceeds the segment buffers"},
      {"segment offset past the end",
       [](RfaImage& i) { Poke(i, SegmentRow(i, 1, 4) + 8, 0x7FFFFFF0u); },
       "segment 4 lies beyond its end"},
      {"garbled segment",
       [](RfaImage& i) {
         const std::uint32_t data = SegmentData(i, 1, 1);
         for (std::uint32_t b = 0; b < 12; ++b) i.bytes[data + b] = 0xFF;
       },
       "segment 1 is corrupt"},
      {"input overrun (end marker cut off)",
       [](RfaImage& i) {
         const std::uint32_t row = SegmentRow(i, 1, 0);
         Poke(i, row, GetU32(&i.bytes[row]) - 3);
       },
       "segment 0 is corrupt"},
      {"output overrun (expanded size too small)",
       [](RfaImage& i) { Poke(i, SegmentRow(i, 1, 0) + 4, 999); }, "segment 0 is corrupt"},
      {"input left over with the output short",
       [](RfaImage& i) {
         const std::uint32_t row = SegmentRow(i, 1, 0);
         Poke(i, row, GetU32(&i.bytes[row]) + 2);
         Poke(i, row + 4, 1001);
       },
       "segment 0 is corrupt"},
      {"block ends short of its claimed size",
       [](RfaImage& i) { Poke(i, SegmentRow(i, 1, 3) + 4, 1200); }, "segment 3 is corrupt"},
  };
  for (const Damage& damage : damages) {
    std::filesystem::remove(LogFilePath());
    RfaImage image = Build(true);
    damage.apply(image);
    EXPECT_FALSE(Extract(image, damage.wanted)) << damage.what;
    EXPECT_NE(LogText().find(damage.logged), std::string::npos) << damage.what << ": " << LogText();
  }
}

// The end marker reached with the output exactly full is accepted even when
// input is left over: the block delivered everything it claims.
TEST_F(ArchiveExtract, AcceptsLeftoverInputWhenTheOutputIsExactlyFull) {
  RfaImage image = Build(false);
  const std::uint32_t row = SegmentRow(image, 1, 0);
  Poke(image, row, GetU32(&image.bytes[row]) + 2);
  ASSERT_TRUE(Extract(image));
  EXPECT_EQ(ReadText(Path("out.wst")), entries_[1].content);
}

// A damaged segment leaves the segments before it in the output and stops there.
TEST_F(ArchiveExtract, StopsTheOutputAtTheDamagedSegment) {
  RfaImage image = Build(true);
  Poke(image, SegmentRow(image, 1, 2) + 4, 999);
  EXPECT_FALSE(Extract(image));
  EXPECT_EQ(ReadText(Path("out.wst")), entries_[1].content.substr(0, 2000));
}

}  // namespace
}  // namespace keldor
