// Chat lines as the console reports them: taken apart, weighed for banned
// words and run as chat commands.
#include <string>

#include "fuzz_support.h"
#include "policing/chat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size > 4096) return -1;
  fuzz::FreshState();
  static const std::uint8_t kWords[] = "cheat\n$Bob\n";
  fuzz::WriteBytes(fuzz::SettingsPath("bannedwords.con"), kWords, sizeof kWords - 1);
  const std::string line(reinterpret_cast<const char*>(data), size);
  ChatLine chat;
  ParseChatLine(line.c_str(), chat);
  HandleChatCommand(line.c_str());
  return 0;
}
