// Client sessions: the slot table, the actor lookups and the login handshake
// that decides whether a new connection gets a slot.
#include "remote/sessions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "core/state_table.h"
#include "remote/accounts.h"
#include "remote/login_guard.h"
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

// The password typed is never logged (the log can be fetched by clients): the
// line keeps its place, which tools that watch the log expect.
constexpr const char* kHiddenPassword = "********";

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
                 "SECURITY ALERT! Client at %s failed to authenticate! Bad password (%s) for "
                 "user account (%s).",
                 at, kHiddenPassword, name.c_str());
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

StateTable<PendingLoginTable> g_logins;

bool Queue(PendingLogin& login, const void* bytes, std::size_t size) {
  if (QueueOutput(login.socket, login.io, bytes, size)) return true;
  return Fail(errno);
}

// Gives a login up; ErrorCode tells the main loop whether to log why.
void GiveUp(PendingLogin& login, int error) {
  ErrorCode() = error;
  if (error != 0) {
    LogMessage(kLogInfo, "Couldn't authenticate client! %s", ErrorText(error));
  }
  login.ending = SlotEnding::kClose;
}

void VersionFailed(PendingLogin& login, const char* why) {
  LogMessage(kLogInfo, "Client at %s failed to authenticate! %s", login.address.c_str(), why);
  GiveUp(login, 0);
}

// Sends the result byte (with the rights and our version after a 0). After a
// refusal nothing more is sent and the connection ends.
void Answer(PendingLogin& login) {
  const std::uint8_t result = login.result;
  if (!Queue(login, &result, 1)) return GiveUp(login, ErrorCode());
  if (result != kLoginAccepted) return GiveUp(login, 0);
  const LoginGrant grant = EncodeLoginGrant(login.rights);
  if (!Queue(login, grant.data(), grant.size())) return GiveUp(login, ErrorCode());
  login.step = LoginStep::kVersion;
  login.io.deadline = MonotonicMilliseconds() + kLoginDeadlineMs;
}

// A login from an address shut out for guessing: the result that tells the
// client no access is permitted, then the minutes left of the lockout. The
// password is not looked at.
void RefuseLocked(PendingLogin& login, long long leftMs, long long nowMs) {
  const long long minutes = std::clamp((leftMs + 59999) / 60000, 1LL, kLockoutMinutesMax);
  if (NoticeDue(login.peer, Notice::kRefusedWhileLocked, nowMs)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! Client at %s refused: too many failed logins (%lli minutes left).",
               login.address.c_str(), minutes);
  }
  const std::uint8_t answer[] = {kLoginNoAccounts, static_cast<std::uint8_t>(minutes)};
  if (!Queue(login, answer, sizeof answer)) return GiveUp(login, ErrorCode());
  GiveUp(login, 0);
}

void TakeCredentials(PendingLogin& login) {
  CredentialField nameField{};
  CredentialField passwordField{};
  std::copy_n(login.io.input.begin(), nameField.size(), nameField.begin());
  std::copy_n(login.io.input.begin() + nameField.size(), passwordField.size(),
              passwordField.begin());
  login.io.input.erase(0, nameField.size() + passwordField.size());
  login.io.deadline = 0;
  const std::string typed = DecodeCredential(nameField);
  // Kept in the slot and logged: never a byte that could forge a line. Such a
  // name matches no account.
  login.name = ShownAccountName(typed);
  const std::string password = DecodeCredential(passwordField);

  const long long now = MonotonicMilliseconds();
  if (const long long left = LockoutLeft(login.peer, login.name, now); left > 0) {
    return RefuseLocked(login, left, now);
  }
  int result = login.name == typed ? CheckLogin(typed, password, &login.rights) : kLoginUnknownName;
  const int slot = FirstFreeSlot();
  if (slot < 0) result = kLoginNoFreeSlot;
  login.result = static_cast<std::uint8_t>(result);
  if (result != kLoginAccepted) LogRefusal(result, login.address, login.name);
  if (result == kLoginUnknownName || result == kLoginBadPassword || result == kLoginDisabled) {
    // A guess is answered later the more guesses came before it; nobody else waits.
    const long long delay = NoteFailedLogin(login.peer, login.name, now);
    if (delay > 0) {
      login.step = LoginStep::kAnswerHeld;
      login.answerAt = now + delay;
      return;
    }
  }
  if (result == kLoginAccepted) {
    // Held from now on, so that a login answered meanwhile cannot take it too,
    // and under its name, so that it counts as logged in for the next one.
    login.slot = slot;
    g_slots[slot].socket = login.socket;
    g_slots[slot].userName = login.name;
    g_slots[slot].joining = true;
  }
  Answer(login);
}

// The client's version byte: the slot is filled, and whatever the client sent
// after the byte is its first request.
void TakeVersion(int id, PendingLogin& login) {
  const auto version = static_cast<std::uint8_t>(login.io.input[0]);
  login.io.input.erase(0, 1);
  if (version != PROTOCOL_VERSION) {
    return VersionFailed(login, "Client is using a different protocol version.");
  }
  const std::uint8_t running = GameServer().monitoring ? 1 : 0;
  if (!Queue(login, &running, 1)) return GiveUp(login, ErrorCode());
  ClientSlot& s = g_slots[login.slot];
  s = ClientSlot{login.socket, login.name,   login.address,
                 login.rights, std::nullopt, SlotEnding::kNo};
  s.io = std::move(login.io);
  s.io.deadline = 0;
  NoteGoodLogin(login.peer, login.name);
  LogMessage(kLogInfo, "Client at %s connected as user %s with access %s.", s.address.c_str(),
             s.userName.c_str(), RightsText(s.rights).c_str());
  login.slot = 0;  // the slot is the client's now
  ReleaseLogin(id);
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
         g_slots[slot].ending == SlotEnding::kNo && !g_slots[slot].joining;
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

PendingLoginTable& PendingLogins() {
  return *g_logins;
}

PendingLogin* LoginOf(int id) {
  if (id < kFirstLoginId || id > kLastLoginId) return nullptr;
  return &(*g_logins)[static_cast<std::size_t>(id - kFirstLoginId)];
}

bool LoginRoom() {
  for (const PendingLogin& login : *g_logins) {
    if (login.socket == 0) return true;
  }
  return false;
}

int LoginsFrom(std::uint32_t peer) {
  const auto& logins = *g_logins;
  return static_cast<int>(std::count_if(logins.begin(), logins.end(), [peer](const auto& login) {
    return login.socket != 0 && login.peer == peer;
  }));
}

bool Authenticate(int socket) {
  ErrorCode() = 0;
  PendingLogin* free = nullptr;
  for (PendingLogin& login : *g_logins) {
    if (login.socket == 0) {
      free = &login;
      break;
    }
  }
  if (free == nullptr) return Fail(EAGAIN);
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return Fail(errno);
  const std::uint32_t ip = ntohl(peer.sin_addr.s_addr);
  const long long now = MonotonicMilliseconds();
  // One address may not hold every login place and so keep others out.
  if (LoginsFrom(ip) >= kLoginsPerAddress) {
    if (NoticeDue(ip, Notice::kTooManyLogins, now)) {
      LogMessage(kLogInfo,
                 "SECURITY ALERT! Client at %s refused: %i logins from its address are already "
                 "in progress.",
                 FormatIPv4(ip), kLoginsPerAddress);
    }
    return Fail(0);
  }
  int on = 1;
  if (ioctl(socket, FIONBIO, &on) != 0) return Fail(errno);
  *free = PendingLogin{};
  free->socket = socket;
  free->peer = ip;
  free->address = CutToWidth(
      std::string(FormatIPv4(ip)) + ":" + std::to_string(ntohs(peer.sin_port)), kSlotAddressMax);
  free->io.deadline = now + kLoginDeadlineMs;
  return true;
}

void ServeLogin(int id, bool readable) {
  PendingLogin* login = LoginOf(id);
  if (login == nullptr || login->socket == 0 || login->ending != SlotEnding::kNo) return;
  if (readable && login->step != LoginStep::kAnswerHeld) ReadAvailable(login->socket, login->io);
  if (login->step == LoginStep::kCredentials &&
      login->io.input.size() >= 2 * kCredentialFieldSize) {
    TakeCredentials(*login);
  }
  if (login->ending == SlotEnding::kNo && login->step == LoginStep::kVersion &&
      !login->io.input.empty()) {
    TakeVersion(id, *login);
    return;
  }
  if (login->ending != SlotEnding::kNo || !login->io.peerClosed) return;
  // The client went away before the handshake was over.
  if (login->step == LoginStep::kVersion) {
    return VersionFailed(*login, "Couldn't get client protocol version.");
  }
  GiveUp(*login, login->step == LoginStep::kCredentials ? login->io.readError : 0);
}

void CheckLoginTimer(int id, long long nowMs) {
  PendingLogin* login = LoginOf(id);
  if (login == nullptr || login->socket == 0 || login->ending != SlotEnding::kNo) return;
  if (login->step == LoginStep::kAnswerHeld && nowMs >= login->answerAt) {
    login->step = LoginStep::kCredentials;
    Answer(*login);
    return;
  }
  if (login->io.deadline == 0 || nowMs < login->io.deadline) return;
  if (login->step == LoginStep::kVersion) {
    return VersionFailed(*login, "Couldn't get client protocol version.");
  }
  GiveUp(*login, ETIMEDOUT);
}

void ReleaseLogin(int id) {
  PendingLogin* login = LoginOf(id);
  if (login == nullptr) return;
  if (login->slot != 0) g_slots[login->slot] = ClientSlot{};
  *login = PendingLogin{};
}

bool SendToClient(int slot, const void* head, std::size_t headLength, const void* body,
                  std::size_t bodyLength) {
  if (!SlotInUse(slot)) return Fail(ENOTCONN);
  ClientSlot& client = g_slots[slot];
  if (QueueOutput(client.socket, client.io, head, headLength, body, bodyLength)) return true;
  const int error = errno;
  // A descriptor that is no longer a socket now belongs to something else,
  // which must not be closed under its owner: only our hold on it goes.
  if (error == ENOTSOCK) {
    ForgetConnection(slot);
  } else {
    EndConnectionSoon(slot);
  }
  return Fail(error);
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
