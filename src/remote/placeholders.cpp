// Stand-ins for the parts of the remote client service still to come (request
// dispatch beyond ping and status) and for what the status text
// needs from subsystems not built yet (rotation files, player table, monitor pass).
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

std::string CurrentMapText() {
  return "??";
}
std::string CurrentLevelText() {
  return "??";
}
std::string TeamScoresText() {
  return "??";
}
std::string TeamSizesText() {
  return "??";
}

}  // namespace keldor
