// RFA archives as the game ships them or an operator drops them in: the
// directory, stored entries and LZO-segmented entries.
#include "fuzz_support.h"
#include "maps/archive.h"
#include "maps/discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  const std::string archive = fuzz::WorkDir() + "/level.rfa";
  fuzz::WriteBytes(archive, data, size);
  ExtractArchiveEntry(archive, "BfVietnam/game/GameModeSettings/DefaultEvolution.wst",
                      fuzz::WorkDir() + "/extracted");
  ExtractArchiveEntry(archive, "init.con", fuzz::WorkDir() + "/extracted");
  unsigned bits = 0;
  LevelGameTypes(archive, bits);
  return 0;
}
