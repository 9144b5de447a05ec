// What an administrator says and orders over the game's console: see
// game_commands.h.
#include "gamelink/game_commands.h"

#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "runtime/game_server.h"

namespace keldor {

bool SayToAll(const Actor& actor, const std::string& request) {
  std::string text = FlattenLine(request);
  for (char& c : text) {
    if (c == ' ') c = kChatBlank;
  }
  for (const std::string& piece : CutIntoPieces(text, kChatBlank)) {
    if (SendConsoleMessage("game.sayAll \"%s\"", piece.c_str()) == nullptr) {
      LogMessage(kLogInfo, "Couldn't send chat message! The command failed.");
      return false;
    }
  }
  // Keldor's own announcements begin with '*' and would flood the log.
  if (text.empty() || text[0] != '*') {
    LogMessage(kLogInfo, "User %s at %s said '%s'.", actor.name.c_str(), actor.address.c_str(),
               text.c_str());
  }
  return true;
}

bool SendServerMessage(const Actor& actor, const std::string& request) {
  std::string text = FlattenLine(request);
  for (char& c : text) {
    if (c == kChatBlank) c = ' ';
  }
  for (const std::string& piece : CutIntoPieces(text, ' ')) {
    if (SendConsoleMessage("admin.serverMessage \"%s\"", piece.c_str()) == nullptr) {
      LogMessage(kLogInfo, "Couldn't send server message! The command failed.");
      return false;
    }
  }
  LogMessage(kLogInfo, "User %s at %s said '%s'.", actor.name.c_str(), actor.address.c_str(),
             text.c_str());
  return true;
}

// The text goes as it stands, one command per line: a client with the console
// right may send several. Those who queue this job with a player's name, a
// reason or a menu template flatten that text to one line themselves.
bool RunConsoleCommand(const Actor& actor, const std::string& lines, std::string& reply) {
  const char* answer = SendConsoleLines(lines);
  if (answer == nullptr) {
    LogMessage(kLogInfo, "Couldn't send server message! The command failed.");
    return false;
  }
  reply = answer;
  LogMessage(kLogInfo, "User %s at %s issued console command '%s'.", actor.name.c_str(),
             actor.address.c_str(), lines.c_str());
  return true;
}

bool TakeScreenshot(const Actor& actor, const std::string& request) {
  if (!PunkBusterEnabled()) {
    LogMessage(kLogInfo, "Couldn't take player screenshot! PunkBuster is not enabled.");
    return false;
  }
  const std::string player = FlattenLine(request);
  if (SendConsoleMessage("pb_sv_getss \"%s\"", player.c_str()) == nullptr) {
    LogMessage(kLogInfo, "Couldn't take player screenshot! The command failed.");
    return false;
  }
  LogMessage(kLogInfo, "User %s at %s requested a screenshot of player %s.", actor.name.c_str(),
             actor.address.c_str(), player.c_str());
  return true;
}

// Saving and loading differ only in command and texts.
bool StorePunkBusterConfig(bool save) {
  if (!Console().connected || !PunkBusterEnabled()) {
    LogMessage(kLogInfo,
               save ? "Could't dump PunkBuster settings! Not connected or PunkBuster is not "
                      "enabled."
                    : "Could't load PunkBuster settings! Not connected or PunkBuster is not "
                      "enabled.");
    return false;
  }
  if (SendConsoleMessage("%s", save ? "pb_sv_writecfg" : "pb_sv_load pbsv.cfg") == nullptr) {
    LogMessage(kLogInfo, "Could't dump PunkBuster settings! The command failed.");
    return false;
  }
  LogMessage(kLogInfo, save ? "PunkBuster settings have been saved to pbsv.cfg."
                            : "PunkBuster settings have been loaded from pbsv.cfg.");
  return true;
}

std::vector<std::string> CutIntoPieces(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t left = text.size() - start;
    if (left <= kMessagePieceMax) {
      pieces.push_back(text.substr(start));
      break;
    }
    // Look back from the 64th character to the 2nd, so that a piece is never empty.
    std::size_t cut = kMessagePieceMax;
    while (cut >= 1 && text[start + cut] != separator) --cut;
    if (cut >= 1) {
      pieces.push_back(text.substr(start, cut));
      start += cut + 1;
    } else {
      pieces.push_back(text.substr(start, kMessagePieceMax));
      start += kMessagePieceMax;
    }
  }
  return pieces;
}

}  // namespace keldor
