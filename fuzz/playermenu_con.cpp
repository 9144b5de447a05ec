// playermenu.con: the operator's menu of player actions and their templates.
#include <string>

#include "fuzz_support.h"
#include "policing/player_menu.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  fuzz::WriteBytes(fuzz::SettingsPath("playermenu.con"), data, size);
  for (int entry = 0; entry < 8; ++entry) {
    PlayerMenuEntry parsed;
    if (ReadPlayerMenuEntry(entry, parsed)) RunPlayerMenuAction(3, entry, 0);
  }
  FindPlayerMenuEntry("1");
  const std::string text(reinterpret_cast<const char*>(data), size < 512 ? size : 512);
  ParsePlayerMenuLine(text);
  ExpandMenuTemplate(text, 7);
  return 0;
}
