// Extraction of RFA entries: stored and segmented, with and without the
// version text, and every kind of damage an archive can carry.
#include <cstring>
#include <functional>

#include "maps/archive.h"
#include "maps/archive_io.h"
#include "maps/rfa_writer.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kEvolution = "BfVietnam/game/GameModeSettings/DefaultEvolution.wst";

class ArchiveExtract : public testing::ServerDirTest {
 protected:
  // An overlong name first (to be passed over), a stored entry, the evolution
  // data in five 1000-byte segments, and binary bytes with NULs.
  RfaImage Build(bool versionHeader = true) {
    std::string xml;
    for (int i = 0; xml.size() < 4500; ++i) xml += "<u w=\"" + std::to_string(i % 97) + "\"/>\n";
    entries_ = {{std::string(600, 'x'), "long", false},
                {"BfVietnam/menu/Menu.con", "rem menu\n", false},
                {kEvolution, xml.substr(0, 4500), true},
                {"BfVietnam/Raw.bin", std::string("\0\x01\xff\0data", 8), false}};
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

  // Row `index` of the evolution entry's segment table, and that segment's data.
  static std::uint32_t Row(const RfaImage& image, std::uint32_t index) {
    return image.entries[2].dataOffset + 4 + 12 * index;
  }
  static std::uint32_t Data(const RfaImage& image, std::uint32_t index) {
    return Row(image, image.entries[2].segmentCount) + GetU32(&image.bytes[Row(image, index) + 8]);
  }
  // Where the evolution entry's expanded size is in its directory row.
  static std::size_t SizeField(const RfaImage& image) {
    return image.entries[2].directoryPosition + 4 + std::strlen(kEvolution) + 4;
  }
  static void Poke(RfaImage& image, std::size_t at, std::uint32_t value) {
    PutU32At(image.bytes, at, value);
  }

  std::vector<RfaEntry> entries_;
};

TEST_F(ArchiveExtract, ReadsEveryEntryInAnyCaseWithAndWithoutVersionText) {
  for (bool header : {true, false}) {
    const RfaImage image = Build(header);
    ASSERT_EQ(image.entries[2].segmentCount, 5u);
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      std::string lower = entries_[i].name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      ASSERT_TRUE(Extract(image, lower)) << lower << " header " << header;
      EXPECT_EQ(ReadFile(Path("out.wst")), entries_[i].content) << lower;
    }
  }
}

TEST_F(ArchiveExtract, FailsForAMissingEntry) {
  EXPECT_FALSE(Extract(Build(), std::string(600, 'x')));  // longer than any name looked for
  EXPECT_FALSE(Extract(Build(), "missing.con"));
  EXPECT_TRUE(Logged("Couldn't find missing.con in archive"));
}

struct Damage {
  const char* what;
  std::function<void(RfaImage&)> apply;
  const char* logged;
  const char* wanted = kEvolution;
};

TEST_F(ArchiveExtract, RefusesDamagedArchivesWithALogLine) {
  const auto add = [](RfaImage& i, std::size_t at, int delta) {
    PutU32At(i.bytes, at, GetU32(&i.bytes[at]) + delta);
  };
  const std::vector<Damage> damages = {
      {"too short", [](RfaImage& i) { i.bytes.resize(3); }, "too short to hold a directory"},
      {"directory offset", [](RfaImage& i) { Poke(i, 28, 0xFFFFFFF0u); }, "lies beyond its end"},
      {"name length", [](RfaImage& i) { Poke(i, i.entries[1].directoryPosition, ~0u); },
       "bogus name length (4294967295)"},
      // Cuts into the wanted entry's directory row.
      {"truncated", [](RfaImage& i) { i.bytes.resize(i.bytes.size() - 75); }, "cut short"},
      {"stored data",
       [](RfaImage& i) { Poke(i, i.entries[1].directoryPosition + 4 + 23 + 8, 0xFFFFFF00u); },
       "entry data at", "BfVietnam/menu/Menu.con"},
      {"segment count", [](RfaImage& i) { Poke(i, i.entries[2].dataOffset, 0x40000000u); },
       "segment table"},
      {"packed size", [](RfaImage& i) { Poke(i, Row(i, 2), 49153); }, "exceeds the segment"},
      {"segment offset", [](RfaImage& i) { Poke(i, Row(i, 4) + 8, 0x7FFFFFF0u); },
       "segment 4 lies beyond its end"},
      {"garbled", [](RfaImage& i) { std::fill_n(&i.bytes[Data(i, 1)], 12, 0xFF); },
       "segment 1 is corrupt"},
      {"claims more than it holds",
       [&](RfaImage& i) {
         add(i, Row(i, 3) + 4, 200);
         add(i, SizeField(i), 200);
       },
       "segment 3 is corrupt"},
      // Fewer segments than the entry's size: a cut-short file must not pass as whole.
      {"segments short of the entry", [&](RfaImage& i) { add(i, SizeField(i), 1); },
       "where the entry has"},
      // One small block listed many times would expand a tiny archive to gigabytes.
      {"a block listed twice",
       [](RfaImage& i) {
         for (std::uint32_t k = 1; k <= 3; ++k) {
           Poke(i, Row(i, k), GetU32(&i.bytes[Row(i, 0)]));
           Poke(i, Row(i, k) + 8, GetU32(&i.bytes[Row(i, 0) + 8]));
         }
       },
       "segments overlap"},
  };
  for (const Damage& damage : damages) {
    std::filesystem::remove(LogFilePath());
    RfaImage image = Build();
    damage.apply(image);
    EXPECT_FALSE(Extract(image, damage.wanted)) << damage.what;
    EXPECT_TRUE(Logged(damage.logged)) << damage.what << ": " << Log();
  }
}

// The end marker with the output exactly full is accepted even with input left
// over; a damaged segment leaves the output as it was before the extraction.
TEST_F(ArchiveExtract, AppliesTheAcceptanceRulePerSegment) {
  RfaImage image = Build();
  const std::uint32_t last = image.entries[2].segmentCount - 1;
  PutU32At(image.bytes, Row(image, last), GetU32(&image.bytes[Row(image, last)]) + 2);
  ASSERT_TRUE(Extract(image));
  EXPECT_EQ(ReadFile(Path("out.wst")), entries_[2].content);
  std::fill_n(&image.bytes[Data(image, 3)], 12, 0xFF);
  EXPECT_FALSE(Extract(image));
  EXPECT_EQ(ReadFile(Path("out.wst")), entries_[2].content);
}

// The known amplification: a segment table listing one 157-byte block 5,000
// times under an entry that claims the 164 MB it would expand to. Refused before
// anything is written.
TEST_F(ArchiveExtract, RefusesATableThatRepeatsOneBlock) {
  RfaImage image;
  ASSERT_TRUE(BuildRfaArchive({{kEvolution, std::string(32768, 'z'), true}}, {}, image));
  ASSERT_EQ(image.entries[0].segmentCount, 1u);
  const std::uint32_t table = image.entries[0].dataOffset;
  const std::vector<std::uint8_t> row(image.bytes.begin() + table + 4,
                                      image.bytes.begin() + table + 16);
  std::vector<std::uint8_t> bytes(image.bytes.begin(), image.bytes.begin() + table);
  PutU32(bytes, 5000);
  for (int k = 0; k < 5000; ++k) bytes.insert(bytes.end(), row.begin(), row.end());
  bytes.insert(bytes.end(), image.bytes.begin() + table + 16, image.bytes.end());
  const std::size_t sizeField =
      image.entries[0].directoryPosition + 4 + std::strlen(kEvolution) + 4 + 12 * 4999;
  PutU32At(bytes, sizeField, 5000u * 32768u);
  PutU32At(bytes, 28, image.directoryOffset + 12 * 4999);  // the directory moved along
  ASSERT_TRUE(WriteBytesToFile(Path("game.rfa"), bytes));
  EXPECT_LT(bytes.size(), 70000u);
  EXPECT_FALSE(ExtractArchiveEntry(Path("game.rfa"), kEvolution, Path("out.wst")));
  EXPECT_TRUE(Logged("more than 16777216")) << Log();
  EXPECT_FALSE(std::filesystem::exists(Path("out.wst")));
}

}  // namespace
}  // namespace keldor
