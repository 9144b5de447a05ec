// bannedwords.con, and player names weighed against it.
#include <string>

#include "fuzz_support.h"
#include "policing/banned_words.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  fuzz::WriteBytes(fuzz::SettingsPath("bannedwords.con"), data, size);
  if (LoadBannedWords()) {
    std::string name = "Sniper_Wolf";
    ContainsBannedWord(name);
    // The input's own first line as a name, so that matches are reached too.
    std::string own(reinterpret_cast<const char*>(data), size < 32 ? size : 32);
    ContainsBannedWord(own);
  }
  return 0;
}
