// The evolution data file: XML extracted from the game's archives.
#include <string>

#include "fuzz_support.h"
#include "maps/archive.h"
#include "runtime/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  fuzz::WriteBytes(fuzz::WorkDir() + kModFolder + "/save/gamemodesettings/evolution.wst", data,
                   size);
  ResetEvolutionSearch();
  EvolutionMapListed("hue");
  EvolutionMapListed("operation_hastings");
  EvolutionScan scan;
  scan.Listed("hue");
  scan.Listed("ia_drang");
  return 0;
}
