// mods.con, read back to list every mod's maps (with one real level archive).
#include "fuzz_support.h"
#include "maps/discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  static const bool laidOut = [] {
    fuzz::WriteBytes(fuzz::WorkDir() + "/mods/bfvietnam/archives/bfvietnam/levels/hue.rfa", nullptr,
                     0);
    return true;
  }();
  (void)laidOut;
  fuzz::WriteBytes(fuzz::SettingsPath("mods.con"), data, size);
  WriteMapsFile(fuzz::SettingsPath("maps.con"));
  return 0;
}
