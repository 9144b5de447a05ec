// Client sessions: the connection table, the actor lookups and the login
// handshake that decides whether a new connection gets a slot.
#include "remote/sessions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <utility>

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

void SetUpSlots(ConnectionTable& table) {
  table = ConnectionTable{};
  table[0].userName = "operator";
  table[0].address = "console";
  table[0].rights = kAdminRights;
}

StateTable<ConnectionTable> g_table(SetUpSlots);
ConnectionTable& g_slots = *g_table;

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

Connection* FirstFree(int first, int last) {
  for (int id = first; id <= last; ++id) {
    if (g_slots[id].state == ConnectionState::kFree) return &g_slots[id];
  }
  return nullptr;
}

int LoginsFrom(std::uint32_t peer) {
  return static_cast<int>(std::count_if(g_slots.begin(), g_slots.end(), [peer](const auto& c) {
    return c.state == ConnectionState::kHandshake && c.handshake.peer == peer;
  }));
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

bool Queue(Connection& login, const void* bytes, std::size_t size) {
  if (QueueOutput(login.fd.get(), login.io, bytes, size)) return true;
  return Fail(errno);
}

// Gives a login up; ErrorCode tells the main loop whether to log why.
void GiveUp(Connection& login, int error) {
  ErrorCode() = error;
  if (error != 0) {
    LogMessage(kLogInfo, "Couldn't authenticate client! %s", ErrorText(error));
  }
  login.ending = SlotEnding::kClose;
}

void VersionFailed(Connection& login, const char* why) {
  LogMessage(kLogInfo, "Client at %s failed to authenticate! %s", login.address.c_str(), why);
  GiveUp(login, 0);
}

// Sends the result byte (with the rights and our version after a 0). After a
// refusal nothing more is sent and the connection ends.
void Answer(Connection& login) {
  const std::uint8_t result = login.handshake.result;
  if (!Queue(login, &result, 1)) return GiveUp(login, ErrorCode());
  if (result != kLoginAccepted) return GiveUp(login, 0);
  const LoginGrant grant = EncodeLoginGrant(login.rights);
  if (!Queue(login, grant.data(), grant.size())) return GiveUp(login, ErrorCode());
  login.handshake.step = LoginStep::kVersion;
  login.io.deadline = MonotonicMilliseconds() + kLoginDeadlineMs;
}

// A login from an address shut out for guessing: the result that tells the
// client no access is permitted, then the minutes left of the lockout. The
// password is not looked at.
void RefuseLocked(Connection& login, long long leftMs, long long nowMs) {
  const long long minutes = std::clamp((leftMs + 59999) / 60000, 1LL, kLockoutMinutesMax);
  if (NoticeDue(login.handshake.peer, Notice::kRefusedWhileLocked, nowMs)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! Client at %s refused: too many failed logins (%lli minutes left).",
               login.address.c_str(), minutes);
  }
  const std::uint8_t answer[] = {kLoginNoAccounts, static_cast<std::uint8_t>(minutes)};
  if (!Queue(login, answer, sizeof answer)) return GiveUp(login, ErrorCode());
  GiveUp(login, 0);
}

// Checks the credentials and answers them (or holds the answer of a guess).
// An accepted login moves into its slot at once, so that a login answered
// meanwhile cannot take it too, and under its name, so that it counts as
// logged in for the next one; returns where the login now is.
Connection& TakeCredentials(Connection& login) {
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
  login.userName = ShownAccountName(typed);
  const std::string password = DecodeCredential(passwordField);

  const long long now = MonotonicMilliseconds();
  const std::uint32_t peer = login.handshake.peer;
  if (const long long left = LockoutLeft(peer, login.userName, now); left > 0) {
    RefuseLocked(login, left, now);
    return login;
  }
  int result =
      login.userName == typed ? CheckLogin(typed, password, &login.rights) : kLoginUnknownName;
  Connection* slot = FirstFree(kFirstClientSlot, kLastClientSlot);
  if (slot == nullptr) result = kLoginNoFreeSlot;
  login.handshake.result = static_cast<std::uint8_t>(result);
  if (result != kLoginAccepted) LogRefusal(result, login.address, login.userName);
  if (result == kLoginUnknownName || result == kLoginBadPassword || result == kLoginDisabled) {
    // A guess is answered later the more guesses came before it; nobody else waits.
    const long long delay = NoteFailedLogin(peer, login.userName, now);
    if (delay > 0) {
      login.handshake.step = LoginStep::kAnswerHeld;
      login.handshake.answerAt = now + delay;
      return login;
    }
  }
  if (result != kLoginAccepted) {
    Answer(login);
    return login;
  }
  *slot = std::exchange(login, Connection{});
  Answer(*slot);
  return *slot;
}

// The client's version byte: the client is logged in, and whatever it sent
// after the byte is its first request.
void TakeVersion(Connection& login) {
  const auto version = static_cast<std::uint8_t>(login.io.input[0]);
  login.io.input.erase(0, 1);
  if (version != PROTOCOL_VERSION) {
    return VersionFailed(login, "Client is using a different protocol version.");
  }
  const std::uint8_t running = GameServer().monitoring ? 1 : 0;
  if (!Queue(login, &running, 1)) return GiveUp(login, ErrorCode());
  login.state = ConnectionState::kLoggedIn;
  login.io.deadline = 0;
  NoteGoodLogin(login.handshake.peer, login.userName);
  LogMessage(kLogInfo, "Client at %s connected as user %s with access %s.", login.address.c_str(),
             login.userName.c_str(), RightsText(login.rights).c_str());
}

bool InHandshake(const Connection& c) {
  return c.state == ConnectionState::kHandshake && c.ending == SlotEnding::kNo;
}

}  // namespace

Connection::Connection(int socket, std::string name, std::string at, std::uint32_t granted,
                       std::optional<std::time_t> last)
    : fd(socket),
      state(ConnectionState::kLoggedIn),
      userName(std::move(name)),
      address(std::move(at)),
      rights(granted),
      lastRequest(last) {}

ConnectionTable& Connections() {
  return g_slots;
}

int SlotOf(const Connection& connection) {
  return static_cast<int>(&connection - g_slots.data());
}

bool LoggedIn(const Connection& c) {
  return c.state >= ConnectionState::kLoggedIn && c.ending == SlotEnding::kNo;
}

void ClearClientSlots() {
  g_table.Reset();
}

bool SlotInUse(int slot) {
  return slot >= kFirstClientSlot && slot <= kLastClientSlot && LoggedIn(g_slots[slot]);
}

void EndConnectionSoon(Connection& connection) {
  if (LoggedIn(connection)) connection.ending = SlotEnding::kClose;
}

void EndConnectionSoon(int slot) {
  if (SlotInUse(slot)) EndConnectionSoon(g_slots[slot]);
}

void ForgetConnection(Connection& connection) {
  if (LoggedIn(connection)) connection.ending = SlotEnding::kForget;
}

bool LoginRoom() {
  return std::count_if(g_slots.begin(), g_slots.end(), [](const Connection& c) {
           return c.state == ConnectionState::kHandshake;
         }) < kMaxLogins;
}

bool Authenticate(OwnedFd socket) {
  ErrorCode() = 0;
  Connection* free = LoginRoom() ? FirstFree(kClientSlots, kConnections - 1) : nullptr;
  if (free == nullptr) return Fail(EAGAIN);
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (getpeername(socket.get(), reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return Fail(errno);
  }
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
  if (ioctl(socket.get(), FIONBIO, &on) != 0) return Fail(errno);
  *free = Connection{};
  free->fd = std::move(socket);
  free->state = ConnectionState::kHandshake;
  free->handshake.peer = ip;
  free->address = CutToWidth(
      std::string(FormatIPv4(ip)) + ":" + std::to_string(ntohs(peer.sin_port)), kSlotAddressMax);
  free->io.deadline = now + kLoginDeadlineMs;
  return true;
}

void ServeLogin(Connection& connection, bool readable) {
  if (!InHandshake(connection)) return;
  Connection* login = &connection;
  if (readable && login->handshake.step != LoginStep::kAnswerHeld) {
    ReadAvailable(login->fd.get(), login->io);
  }
  if (login->handshake.step == LoginStep::kCredentials &&
      login->io.input.size() >= 2 * kCredentialFieldSize) {
    login = &TakeCredentials(*login);
  }
  if (login->ending == SlotEnding::kNo && login->handshake.step == LoginStep::kVersion &&
      !login->io.input.empty()) {
    return TakeVersion(*login);
  }
  if (login->ending != SlotEnding::kNo || !login->io.peerClosed) return;
  // The client went away before the handshake was over.
  if (login->handshake.step == LoginStep::kVersion) {
    return VersionFailed(*login, "Couldn't get client protocol version.");
  }
  GiveUp(*login, login->handshake.step == LoginStep::kCredentials ? login->io.readError : 0);
}

void CheckLoginTimer(Connection& login, long long nowMs) {
  if (!InHandshake(login)) return;
  if (login.handshake.step == LoginStep::kAnswerHeld && nowMs >= login.handshake.answerAt) {
    login.handshake.step = LoginStep::kCredentials;
    Answer(login);
    return;
  }
  if (login.io.deadline == 0 || nowMs < login.io.deadline) return;
  if (login.handshake.step == LoginStep::kVersion) {
    return VersionFailed(login, "Couldn't get client protocol version.");
  }
  GiveUp(login, ETIMEDOUT);
}

bool SendToClient(Connection& client, const void* head, std::size_t headLength, const void* body,
                  std::size_t bodyLength) {
  if (!LoggedIn(client)) return Fail(ENOTCONN);
  if (QueueOutput(client.fd.get(), client.io, head, headLength, body, bodyLength)) return true;
  const int error = errno;
  // A descriptor that is no longer a socket now belongs to something else,
  // which must not be closed under its owner: only our hold on it goes.
  if (error == ENOTSOCK) {
    ForgetConnection(client);
  } else {
    EndConnectionSoon(client);
  }
  return Fail(error);
}

bool SendToClient(int slot, const void* head, std::size_t headLength, const void* body,
                  std::size_t bodyLength) {
  if (!SlotInUse(slot)) return Fail(ENOTCONN);
  return SendToClient(g_slots[slot], head, headLength, body, bodyLength);
}

std::string LastRequestText(const Connection& connection) {
  char buffer[64] = "";
  // ctime_r: the time zone is looked up once, not again for every request.
  if (!connection.lastRequest || ctime_r(&*connection.lastRequest, buffer) == nullptr) return {};
  return CutToWidth(buffer, kLastRequestMax);
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
