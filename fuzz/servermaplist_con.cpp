// servermaplist.con (the rotation), rewritten to start at a chosen level.
#include "fuzz_support.h"
#include "maps/rotation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  const std::string source = fuzz::SettingsPath("servermaplist.con");
  fuzz::WriteBytes(source, data, size);
  WriteMapListStartingAt(source, fuzz::SettingsPath("maplist.con"), "hue,conquest,bfvietnam");
  CurrentLevelCombo();
  return 0;
}
