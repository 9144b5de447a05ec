// Request dispatch: reads one request from a client, checks its rights and
// either answers it at once or queues its job. Every request keeps the stream
// in step: a refused request of a known kind has its payload read and thrown
// away, and a request that cannot be read whole ends the connection.
#include "remote/dispatch.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "gamelink/status_query.h"
#include "process/server_process.h"
#include "remote/accounts.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "runtime/game_server.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr std::uint32_t kRightA = 0x10;
constexpr std::uint32_t kRightT = 0x20;
constexpr std::uint32_t kRightM = 0x40;
constexpr std::uint32_t kRightP = 0x80;
constexpr std::uint32_t kRightB = 0x100;
constexpr std::uint32_t kRightU = 0x200;
constexpr std::uint32_t kRightH = 0x400;
constexpr std::uint32_t kRightC = 0x800;
constexpr std::uint32_t kRightServer = 0x1000;
constexpr std::uint32_t kRightLog = 0x2000;
constexpr std::uint32_t kRightConsole = 0x10000;
constexpr std::uint32_t kRightPunkBuster = 0x20000;
constexpr std::uint32_t kAnyRight = 0;   // any non-zero mask
constexpr std::uint32_t kAdminOnly = 0;  // with `adminOnly` set

constexpr std::size_t kDiscardChunk = 4096;

struct RequestRule {
  std::uint32_t code;
  Payload payload;
  std::uint32_t anyOf;  // one of these bits is needed; kAnyRight: any non-zero mask
  bool adminOnly;
  std::uint32_t job;  // the job it becomes, or 0 when it is answered at once
};

// Indexed by code - kFirstRequest.
constexpr std::array<RequestRule, kLastRequest - kFirstRequest + 1> kRules = {{
    {REQ_GET_SETTINGS, Payload::kNone, kAnyRight, false, 0},
    {REQ_PUT_SETTINGS, Payload::kFile, kAnyRight, false, 0},
    {REQ_GET_PB_CONFIG, Payload::kNone, kRightPunkBuster, false, 0},
    {REQ_PUT_PB_CONFIG, Payload::kFile, kRightPunkBuster, false, 0},
    {REQ_PB_SAVE_CONFIG, Payload::kNone, kRightPunkBuster, false, JOB_PB_SAVE_CONFIG},
    {REQ_PB_LOAD_CONFIG, Payload::kNone, kRightPunkBuster, false, JOB_PB_LOAD_CONFIG},
    {REQ_GET_MODS, Payload::kNone, kRightM, false, 0},
    {REQ_GET_MAPS, Payload::kNone, kRightM, false, 0},
    {REQ_GET_ROTATION, Payload::kNone, kRightM, false, 0},
    {REQ_PUT_ROTATION, Payload::kFile, kRightM, false, 0},
    {REQ_GET_PLAYERS, Payload::kNone, kRightP, false, 0},
    {REQ_GET_CLIENTS, Payload::kNone, kRightC, false, 0},
    {REQ_GET_PLAYER_MENU, Payload::kNone, kRightP, false, 0},
    {REQ_GET_BANS, Payload::kNone, kRightB, false, 0},
    {REQ_PUT_BANS, Payload::kFile, kRightB, false, 0},
    {REQ_GET_USERS, Payload::kNone, kRightU, false, 0},
    {REQ_PUT_USERS, Payload::kFile, kRightU, false, 0},
    {REQ_GET_SCHEDULE, Payload::kNone, kRightH, false, 0},
    {REQ_PUT_SCHEDULE, Payload::kFile, kRightH, false, 0},
    {REQ_GET_STATUS, Payload::kNone, kRightT, false, 0},
    {REQ_GET_ANNOUNCEMENTS, Payload::kNone, kRightA, false, 0},
    {REQ_PUT_ANNOUNCEMENTS, Payload::kFile, kRightA, false, 0},
    {REQ_GET_BANNED_WORDS, Payload::kNone, kRightP | kRightA, false, 0},
    {REQ_PUT_BANNED_WORDS, Payload::kFile, kRightP | kRightA, false, 0},
    {REQ_START_SERVER, Payload::kNone, kRightServer, false, 0},
    {REQ_STOP_SERVER, Payload::kNone, kRightServer, false, 0},
    {REQ_TOGGLE_PAUSE, Payload::kNone, kRightServer, false, JOB_TOGGLE_PAUSE},
    {REQ_GET_JOIN_INFO, Payload::kNone, kRightP, false, 0},
    {REQ_CHANGE_MAP, Payload::kText, kRightM, false, JOB_CHANGE_MAP},
    {REQ_RUN_NEXT_MAP, Payload::kNone, kRightM, false, JOB_RUN_NEXT_MAP},
    {REQ_SET_NEXT_MAP, Payload::kText, kRightM, false, JOB_SET_NEXT_MAP},
    {REQ_SET_IDLE_MAP, Payload::kText, kRightM, false, JOB_SET_IDLE_MAP},
    {REQ_RESTART_MAP, Payload::kNone, kRightM, false, JOB_RESTART_MAP},
    {REQ_KICK_PLAYER, Payload::kText, kRightP, false, JOB_KICK_PLAYER},
    {REQ_DISCONNECT_CLIENT, Payload::kText, kRightC, false, JOB_DISCONNECT_CLIENT},
    {REQ_BAN_PLAYER, Payload::kText, kRightP | kRightB, false, JOB_BAN_PLAYER},
    {REQ_REMOVE_BAN, Payload::kText, kRightB, false, JOB_REMOVE_BAN},
    {REQ_CLEAR_BANS, Payload::kNone, kRightB, false, JOB_CLEAR_BANS},
    {REQ_VERIFY_BAN_SYNC, Payload::kNone, kAdminOnly, true, JOB_VERIFY_BAN_SYNC},
    {REQ_SYNC_TO_SERVER_BANS, Payload::kNone, kAdminOnly, true, JOB_SYNC_TO_SERVER_BANS},
    {REQ_SYNC_FROM_SERVER_BANS, Payload::kNone, kAdminOnly, true, JOB_SYNC_FROM_SERVER_BANS},
    {REQ_SAY_ALL, Payload::kText, kAnyRight, false, JOB_SAY_ALL},
    {REQ_SERVER_MESSAGE, Payload::kText, kAnyRight, false, JOB_SERVER_MESSAGE},
    {REQ_CONSOLE_COMMAND, Payload::kText, kRightConsole, false, JOB_CONSOLE_COMMAND},
    {REQ_SET_PASSWORD, Payload::kText, kAnyRight, false, JOB_SET_PASSWORD},
    {REQ_GET_LOG, Payload::kNone, kRightLog, false, 0},
    {REQ_SCREENSHOT, Payload::kText, kRightP, false, JOB_SCREENSHOT},
    {REQ_PING, Payload::kNone, kAnyRight, false, 0},
}};

const RequestRule* RuleFor(std::uint32_t code) {
  if (code < kFirstRequest || code > kLastRequest) return nullptr;
  return &kRules[code - kFirstRequest];
}

// The rest of the request cannot be read in step: the connection ends. Shutting
// the socket down would not do: bytes already queued stay readable, and they
// would come back to us as requests.
void DropConnection(int slot) {
  EndConnectionSoon(slot);
}

// True when the connection is no longer open both ways: the client has
// closed it, or a failed transfer has shut it down.
bool ConnectionEnded(int socket) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  return info.tcpi_state != TCP_ESTABLISHED;
}

bool ReceiveWord(int socket, std::uint32_t* value) {
  Word word{};
  if (!ReceiveExact(socket, word.data(), word.size())) return false;
  *value = DecodeWord(word);
  return true;
}

// A text reply: the length with the NUL, then the text, in one write; or the
// word 0 alone.
void SendTextReply(int socket, const std::string* text) {
  const std::size_t size = text == nullptr ? 0 : text->size() + 1;
  const Word length = EncodeWord(static_cast<std::uint32_t>(size));
  const bool sent = SendAll(socket, length.data(), length.size(),
                            text == nullptr ? nullptr : text->c_str(), size);
  // Part of a reply would make the client read what follows as its rest:
  // end the connection instead (the main loop then frees the slot).
  if (!sent) shutdown(socket, SHUT_RDWR);
}

// A text payload into the 256-byte buffer. A length beyond the buffer is
// refused and ends the connection: its surplus could only be taken as requests.
bool ReceiveText(const ClientSlot& client, std::uint32_t code, std::string* text) {
  std::uint32_t length = 0;
  if (!ReceiveWord(client.socket, &length)) return false;
  if (length > kTextPayloadMax) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! Client at %s sent a text of %u bytes with command %.8lX; at most "
               "%zu are taken.",
               client.address.c_str(), length, static_cast<unsigned long>(code), kTextPayloadMax);
    ErrorCode() = EMSGSIZE;
    return false;
  }
  std::array<char, kTextPayloadMax> buffer{};
  if (!ReceiveExact(client.socket, buffer.data(), length)) return false;
  *text = std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
  return true;
}

bool Discard(int socket, std::uint32_t size) {
  std::array<char, kDiscardChunk> sink{};
  while (size > 0) {
    const std::uint32_t piece = size < sink.size() ? size : sink.size();
    if (!ReceiveExact(socket, sink.data(), piece)) return false;
    size -= piece;
  }
  return true;
}

// Reads a file-transfer message to its end without keeping it; a header out
// of bounds is refused as an upload would refuse it.
bool DiscardFile(int socket) {
  std::uint32_t size = 0;
  if (!ReceiveWord(socket, &size)) return false;
  if (size == 0 || size == XFER_FAIL_MARKER) return true;
  std::uint32_t packed = 0;
  std::uint32_t checksum = 0;
  if (!ReceiveWord(socket, &packed) || !ReceiveWord(socket, &checksum)) return false;
  if (size > kTransferMax || packed > PackedBound(size)) return Fail(kErrTransferHeader);
  return Discard(socket, packed);
}

// The payload of a refused request of a known kind is read and thrown away, so
// that the next word read is the next request code, as the client meant it.
void DiscardPayload(int slot, const RequestRule& rule) {
  const ClientSlot& client = ClientSlots()[slot];
  std::string ignored;
  bool ok = true;
  if (rule.payload == Payload::kText) ok = ReceiveText(client, rule.code, &ignored);
  if (rule.payload == Payload::kFile) ok = DiscardFile(client.socket);
  if (!ok) {
    LogMessage(kLogInfo, "Couldn't receive command from client at %s! %s", client.address.c_str(),
               ErrorText(ErrorCode()));
    DropConnection(slot);
  }
}

void StartServerFor(int slot, const char* user, const char* address) {
  if (GameServer().monitoring) {
    NotifyAllClients(NOTE_ALREADY_RUNNING, nullptr, 0, 0);
    LogMessage(kLogInfo, "User %s at %s tried to start the server but it is already running.", user,
               address);
    return;
  }
  if (StartServer()) {
    LogMessage(kLogInfo, "User %s at %s started the server.", user, address);
  } else {
    NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
  }
}

void StopServerFor(int slot, const char* user, const char* address) {
  if (!GameServer().monitoring) {
    NotifyAllClients(NOTE_ALREADY_STOPPED, nullptr, 0, 0);
    LogMessage(kLogInfo, "User %s at %s tried to stop the server but it is already stopped.", user,
               address);
    return;
  }
  if (StopServer()) {
    LogMessage(kLogInfo, "User %s at %s stopped the server.", user, address);
  } else {
    NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
  }
}

void SendStatus(int socket) {
  std::string text;
  SendTextReply(socket, GetServerStatusString(&text) ? &text : nullptr);
}

// "hostport,1" (or ",0" on a LAN server) while the game runs and has answered
// a status query; otherwise the information is not available.
void SendJoinInfo(int socket) {
  const std::vector<char>& reply = StatusReplyBuffer();
  const char* port = nullptr;
  if (GameServer().monitoring && StatusPort() != 0 && !reply.empty() && reply.back() == '\0') {
    port = StatusValue(reply.data(), "hostport");
  }
  if (port == nullptr) {
    SendTextReply(socket, nullptr);
    return;
  }
  const std::string text =
      std::string(port) + "," + (Row(Setting::ServerInternet).current != 0 ? "1" : "0");
  SendTextReply(socket, &text);
}

// Handles an accepted request; false when its payload could not be read.
bool Handle(int slot, const RequestRule& rule) {
  const ClientSlot& client = ClientSlots()[slot];
  const std::string user = client.userName;
  const std::string address = client.address;
  const int socket = client.socket;
  if (rule.payload == Payload::kText || rule.job != 0) {
    std::string text;
    const bool withText = rule.payload == Payload::kText;
    if (withText && !ReceiveText(client, rule.code, &text)) return false;
    // A job dropped by a full queue will never answer: the client hears of it now.
    if (!QueueJob(rule.job, withText ? text.c_str() : nullptr, slot, 0)) {
      NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
    }
    return true;
  }
  if (IsDownloadRequest(rule.code)) {
    SendRequestedFile(rule.code, slot, socket);
    return true;
  }
  if (IsUploadRequest(rule.code)) {
    // A message that broke off has ended the connection; its slot goes now.
    if (!ReceiveRequestedFile(rule.code, slot, socket) && ConnectionEnded(socket)) {
      DropConnection(slot);
    }
    return true;
  }
  switch (rule.code) {
    case REQ_START_SERVER:
      StartServerFor(slot, user.c_str(), address.c_str());
      break;
    case REQ_STOP_SERVER:
      StopServerFor(slot, user.c_str(), address.c_str());
      break;
    case REQ_GET_STATUS:
      SendStatus(socket);
      break;
    case REQ_GET_JOIN_INFO:
      SendJoinInfo(socket);
      break;
    case REQ_PING:
      NotifyClient(slot, NOTE_PONG, nullptr, 0);
      break;
    default:
      break;
  }
  return true;
}

void NoteRequestTime(int slot) {
  if (!SlotInUse(slot)) return;  // a disconnect of itself may have freed it
  ClientSlots()[slot].lastRequest = Now();
}

}  // namespace

Payload RequestPayload(std::uint32_t code) {
  const RequestRule* rule = RuleFor(code);
  return rule != nullptr ? rule->payload : Payload::kNone;
}

bool MayRun(int actor, std::uint32_t code) {
  const RequestRule* rule = RuleFor(code);
  if (rule == nullptr) return false;
  const std::uint32_t rights = ActorRights(actor);
  if (rights == 0) return false;
  if (rights == kAdminRights) return true;
  if (rule->adminOnly) return false;
  return rule->anyOf == kAnyRight || (rights & rule->anyOf) != 0;
}

void HandleRequest(int slot) {
  if (!SlotInUse(slot)) return;
  const ClientSlot& client = ClientSlots()[slot];
  std::uint32_t code = 0;
  if (!ReceiveWord(client.socket, &code)) {
    LogMessage(kLogInfo, "Couldn't receive command from client at %s! %s", client.address.c_str(),
               ErrorText(ErrorCode()));
    // Part of a code may have been read: what follows would be out of step.
    DropConnection(slot);
    return;
  }
  const RequestRule* rule = RuleFor(code);
  if (rule == nullptr) {
    LogMessage(kLogInfo, "Received bogus command %.8lX from client at %s!",
               static_cast<unsigned long>(code), client.address.c_str());
    return;
  }
  if (!MayRun(slot, code)) {
    LogMessage(kLogInfo, "SECURITY ALERT! Client at %s does not have access to command %.8lX!",
               client.address.c_str(), static_cast<unsigned long>(code));
    DiscardPayload(slot, *rule);
    return;
  }
  if (!Handle(slot, *rule)) {
    LogMessage(kLogInfo, "Couldn't receive command from client at %s! %s", client.address.c_str(),
               ErrorText(ErrorCode()));
    DropConnection(slot);
    return;
  }
  NoteRequestTime(slot);
}

}  // namespace keldor
