// Stand-ins for the parts of the remote client service still to come (request
// dispatch beyond ping and status, the job queue) and for what the status text needs from
// subsystems not built yet (status query, rotation files, crash watch, player table).
#include <algorithm>
#include <cstring>
#include <string>

#include "core/bytes.h"
#include "core/log.h"
#include "core/net.h"
#include "core/state.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "remote/status_standins.h"

namespace keldor {

// Request dispatch stand-in: reads the request code and answers the keep-alive
// and the status text; every other request is left for the real dispatch.
void HandleRequest(int slot) {
  if (slot < kFirstClientSlot || slot > kLastClientSlot) return;
  const ClientSlot& client = ClientSlots()[slot];
  std::uint8_t bytes[4] = {};
  if (!ReceiveExact(client.socket, bytes, sizeof bytes)) {
    LogMessage(kLogInfo, "Couldn't receive command from client at %s! %s", client.address.c_str(),
               ErrorText(State().errorCode));
    return;
  }
  const std::uint32_t code = LoadU32(bytes);
  if (code == REQ_PING) {
    NotifyClient(slot, NOTE_PONG, nullptr, 0);
  } else if (code == REQ_GET_STATUS) {
    std::string text;
    const bool known = GetServerStatusString(&text);
    const Word length = EncodeWord(known ? static_cast<std::uint32_t>(text.size() + 1) : 0);
    if (SendAll(client.socket, length.data(), length.size()) && known) {
      SendAll(client.socket, text.c_str(), text.size() + 1);
    }
  }
}
void RunDueJobs() {}

// The last reply stays as it is.
bool RefreshStatusReply() {
  return true;
}

// Reads the reply's "\key\value\key\value..." text, which is all the stand-in knows of it.
std::string StatusReplyValue(const char* key) {
  const std::vector<char>& reply = State().statusReply;
  if (reply.empty()) return "??";
  const std::string text(reply.data(), strnlen(reply.data(), reply.size()));
  std::size_t at = text.starts_with('\\') ? 1 : 0;
  while (at < text.size()) {
    const std::size_t keyEnd = std::min(text.find('\\', at), text.size());
    const std::size_t valueEnd = std::min(text.find('\\', keyEnd + 1), text.size());
    if (text.compare(at, keyEnd - at, key) == 0 && keyEnd < text.size()) {
      return text.substr(keyEnd + 1, valueEnd - keyEnd - 1);
    }
    at = valueEnd + 1;
  }
  return "??";
}

std::string CurrentMapText() {
  return "??";
}
std::string CurrentLevelText() {
  return "??";
}
std::string IdleMapText() {
  return "";
}
std::time_t LastCrashTime() {
  return 0;
}
std::string TeamScoresText() {
  return "??";
}
std::string TeamSizesText() {
  return "??";
}
bool PunkBusterEnabled() {
  return false;
}

}  // namespace keldor
