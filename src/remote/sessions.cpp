// Client sessions: the slot table, the actor lookups and the login handshake
// that decides whether a new connection gets a slot.
#include "remote/sessions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "core/state_table.h"
#include "remote/accounts.h"
#include "runtime/game_server.h"
#include "wire/protocol.h"

namespace keldor {

namespace {

constexpr const char* kUnknown = "[unknown]";

void SetUpSlots(ClientSlotTable& slots) {
  slots = ClientSlotTable{};
  slots[0].userName = "operator";
  slots[0].address = "console";
  slots[0].rights = kAdminRights;
}

StateTable<ClientSlotTable> g_table(SetUpSlots);
ClientSlotTable& g_slots = *g_table;

bool IsSlot(int actor) {
  return actor >= 0 && actor < kClientSlots;
}

// Account n for actor 0xFF00 + n, n = 0..99; null otherwise or for an unused entry.
const UserAccount* GameActorAccount(int actor) {
  if (actor < kGameActorBase) return nullptr;
  const auto index = static_cast<std::size_t>(actor - kGameActorBase);
  if (index >= kMaxAccounts) return nullptr;
  const UserAccount& account = UserAccounts()[index];
  return account.name.empty() ? nullptr : &account;
}

int FirstFreeSlot() {
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (g_slots[slot].socket == 0) return slot;
  }
  return -1;
}

bool PeerAddressText(int socket, std::string* text) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return Fail(errno);
  *text = CutToWidth(std::string(FormatIPv4(ntohl(peer.sin_addr.s_addr))) + ":" +
                         std::to_string(ntohs(peer.sin_port)),
                     kSlotAddressMax);
  return true;
}

bool SendByte(int socket, std::uint8_t value) {
  if (SendAll(socket, &value, 1)) return true;
  return Fail(errno);
}

// The password typed is never logged: the log can be fetched by clients.
void LogRefusal(int result, const std::string& address, const std::string& name) {
  const char* at = address.c_str();
  switch (result) {
    case kLoginUnknownName:
      LogMessage(kLogInfo,
                 "SECURITY ALERT! Client at %s failed to authenticate! Bad username (%s).", at,
                 name.c_str());
      break;
    case kLoginBadPassword:
      LogMessage(kLogInfo,
                 "SECURITY ALERT! Client at %s failed to authenticate! Bad password for user "
                 "account (%s).",
                 at, name.c_str());
      break;
    case kLoginDisabled:
      LogMessage(kLogInfo,
                 "SECURITY ALERT! Client at %s failed to authenticate! User account (%s) is "
                 "inactive.",
                 at, name.c_str());
      break;
    case kLoginNoAccounts:
      LogMessage(kLogInfo,
                 "SECURITY ALERT! Client at %s failed to authenticate! No remote access is "
                 "permitted.",
                 at);
      break;
    case kLoginNoFreeSlot:
      LogMessage(kLogInfo,
                 "Client at %s failed to authenticate! Maximum number of connected clients (%i) "
                 "has been reached.",
                 at, kLastClientSlot);
      break;
    default:  // no rights, already logged in: refused without a line
      break;
  }
}

// Steps after the result 0: the rights and our version out, the client's version in.
bool AgreeOnVersion(int socket, std::uint32_t rights, const std::string& address) {
  const LoginGrant grant = EncodeLoginGrant(rights);
  if (!SendAll(socket, grant.data(), grant.size())) return Fail(errno);
  std::uint8_t version = 0;
  if (!ReceiveExact(socket, &version, 1)) {
    LogMessage(kLogInfo,
               "Client at %s failed to authenticate! Couldn't get client protocol version.",
               address.c_str());
    return Fail(0);
  }
  if (version != PROTOCOL_VERSION) {
    LogMessage(kLogInfo,
               "Client at %s failed to authenticate! Client is using a different protocol "
               "version.",
               address.c_str());
    return Fail(0);
  }
  return SendByte(socket, GameServer().monitoring ? 1 : 0);
}

}  // namespace

ClientSlotTable& ClientSlots() {
  return g_slots;
}

void ClearClientSlots() {
  g_table.Reset();
}

bool SlotInUse(int slot) {
  return slot >= kFirstClientSlot && slot <= kLastClientSlot && g_slots[slot].socket != 0 &&
         g_slots[slot].ending == SlotEnding::kNo;
}

void EndConnectionSoon(int slot) {
  if (SlotInUse(slot)) g_slots[slot].ending = SlotEnding::kClose;
}

void ForgetConnection(int slot) {
  if (SlotInUse(slot)) g_slots[slot].ending = SlotEnding::kForget;
}

int SlotSocket(int slot) {
  return SlotInUse(slot) ? g_slots[slot].socket : -1;
}

bool Authenticate(int socket) {
  std::string address;
  if (!PeerAddressText(socket, &address)) return false;
  int on = 1;
  if (ioctl(socket, FIONBIO, &on) != 0) return Fail(errno);

  CredentialField nameField{};
  CredentialField passwordField{};
  if (!ReceiveExact(socket, nameField.data(), nameField.size()) ||
      !ReceiveExact(socket, passwordField.data(), passwordField.size())) {
    return false;  // ReceiveExact left the reason
  }
  const std::string name = DecodeCredential(nameField);
  const std::string password = DecodeCredential(passwordField);

  std::uint32_t rights = 0;
  int result = CheckLogin(name, password, &rights);
  const int slot = FirstFreeSlot();
  if (slot < 0) result = kLoginNoFreeSlot;

  if (!SendByte(socket, static_cast<std::uint8_t>(result))) return false;
  if (result != kLoginAccepted) {
    LogRefusal(result, address, name);
    return Fail(0);
  }
  if (!AgreeOnVersion(socket, rights, address)) return false;

  ClientSlot& s = g_slots[slot];
  s = ClientSlot{socket, name, address, rights, std::nullopt, SlotEnding::kNo};
  LogMessage(kLogInfo, "Client at %s connected as user %s with access %s.", address.c_str(),
             name.c_str(), RightsText(rights).c_str());
  return true;
}

int FindSlotBySocket(int socket) {
  if (socket == 0) return 0;
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (g_slots[slot].socket == socket) return slot;
  }
  return -1;
}

std::string LastRequestText(const ClientSlot& slot) {
  char buffer[64] = "";
  // ctime_r: the time zone is looked up once, not again for every request.
  if (!slot.lastRequest || ctime_r(&*slot.lastRequest, buffer) == nullptr) return {};
  return CutToWidth(buffer, kLastRequestMax);
}

bool ReleaseSlot(int slot) {
  // Slot 0 is Keldor's own identity, never a connection: it is not released.
  if (slot < kFirstClientSlot || slot > kLastClientSlot) return false;
  LogMessage(kLogInfo, "Client at %s has disconnected.", g_slots[slot].address.c_str());
  g_slots[slot] = ClientSlot{};
  return true;
}

std::string ActorName(int actor) {
  if (IsSlot(actor)) return g_slots[actor].userName;
  const UserAccount* account = GameActorAccount(actor);
  return account != nullptr ? account->name : kUnknown;
}

std::string ActorAddress(int actor) {
  if (IsSlot(actor)) return g_slots[actor].address;
  return actor >= kGameActorBase ? "game" : kUnknown;
}

std::uint32_t ActorRights(int actor) {
  if (IsSlot(actor)) return g_slots[actor].rights;
  const UserAccount* account = GameActorAccount(actor);
  return account != nullptr ? account->rights : 0;
}

}  // namespace keldor
