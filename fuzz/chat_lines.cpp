// Chat lines as the console reports them: taken apart, weighed for banned
// words (a speaker in the player table is kicked) and run as chat commands.
#include <string>

#include "fuzz_support.h"
#include "gamelink/player_table.h"
#include "policing/banned_words.h"
#include "policing/chat.h"
#include "runtime/job_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size > 4096) return -1;
  fuzz::FreshState();
  static const std::uint8_t kWords[] = "cheat\n$Bob\n";
  fuzz::WriteBytes(fuzz::SettingsPath("bannedwords.con"), kWords, sizeof kWords - 1);
  LoadBannedWords();
  PlayerRecord& speaker = Players().records[0];
  speaker.name = "Bob";
  speaker.id = 3;
  speaker.ip = "10.0.0.3";
  speaker.keyhash = "0123456789abcdef0123456789abcdef";
  const std::string line(reinterpret_cast<const char*>(data), size);
  ChatLine chat;
  ParseChatLine(line.c_str(), chat);
  CheckChatForBannedWords(line.c_str());
  HandleChatCommand(line.c_str());
  ClearJobQueue();
  return 0;
}
