// Client sessions: the client slots, the actors that name whoever caused an
// action, the login handshake and the release of a slot. Slot 0 is Keldor
// itself, slots 1 to 16 are connected clients.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "remote/connection_io.h"

namespace keldor {

constexpr int kClientSlots = 17;
constexpr int kFirstClientSlot = 1;
constexpr int kLastClientSlot = kClientSlots - 1;  // also the most clients at once
constexpr std::size_t kSlotAddressMax = 21;        // "255.255.255.255:65535"
constexpr std::size_t kLastRequestMax = 29;        // ctime text with its newline fits
// In-game administrators act as 0xFF00 plus their account's index.
constexpr int kGameActorBase = 0xFF00;

// A connection the client service has given up on; the main loop ends it once
// the step that gave up is over (see EndConnectionSoon).
enum class SlotEnding { kNo, kClose, kForget };

struct ClientSlot {
  int socket = 0;  // 0 = free
  std::string userName;
  std::string address;
  std::uint32_t rights = 0;
  // When the last request was accepted; none until then. Kept as a time and
  // put into words only when the client list is written.
  std::optional<std::time_t> lastRequest;
  SlotEnding ending = SlotEnding::kNo;
  ConnectionIo io{};
  // Held for a login that has been answered and waits for the client's version.
  bool joining = false;
  // The log lines its unknown, refused and failed requests have cost.
  RequestNoise noise{};
};

using ClientSlotTable = std::array<ClientSlot, kClientSlots>;

ClientSlotTable& ClientSlots();

// The ctime text (newline included) of the slot's last request; empty before its first.
std::string LastRequestText(const ClientSlot& slot);

// Empties every slot and sets up slot 0 as "operator" at "console" with every right.
void ClearClientSlots();
// True for a slot 1..16 that holds a connection that is not being ended.
bool SlotInUse(int slot);
// The connection in `slot` is done with (its stream is out of step, or an
// administrator dropped it): nothing more is sent to it or read from it, and the
// main loop closes it and frees the slot before it waits again.
void EndConnectionSoon(int slot);
// As EndConnectionSoon, for a descriptor that is no longer ours (its number now
// belongs to something else): the slot is freed without closing it.
void ForgetConnection(int slot);
// The socket of a client slot 1..16 in use, or -1.
int SlotSocket(int slot);

// Logins in progress: accepted connections that have no slot yet. Connection
// ids name every connection: 1..16 the client slots, then the logins.
constexpr int kMaxLogins = 16;
constexpr int kFirstLoginId = kClientSlots;
constexpr int kLastLoginId = kFirstLoginId + kMaxLogins - 1;
// Logins in progress from one address at once: a host that opens more (and
// holds them idle) cannot keep every other administrator out. A few, for
// several administrators behind one address.
constexpr int kLoginsPerAddress = 4;
// The most minutes a lockout answer can carry (one byte).
constexpr long long kLockoutMinutesMax = 255;

enum class LoginStep { kCredentials, kAnswerHeld, kVersion };

struct PendingLogin {
  int socket = 0;          // 0 = free
  std::uint32_t peer = 0;  // IPv4, host order
  std::string address;
  LoginStep step = LoginStep::kCredentials;
  ConnectionIo io{};
  long long answerAt = 0;  // monotonic ms at which a held answer goes out
  std::uint8_t result = 0;
  std::uint32_t rights = 0;
  std::string name;
  int slot = 0;  // reserved once the answer is 0
  SlotEnding ending = SlotEnding::kNo;
};

using PendingLoginTable = std::array<PendingLogin, kMaxLogins>;
PendingLoginTable& PendingLogins();

// Logins in progress from `peer` (IPv4, host order).
int LoginsFrom(std::uint32_t peer);
// True while a newly accepted connection can be taken.
bool LoginRoom();
// Starts the login handshake on a newly accepted socket: records it as a login
// in progress, to be served by ServeLogin as its bytes arrive. False when it
// cannot be taken (the caller closes it; ErrorCode is 0 when the reason has
// been logged already or needs no line).
bool Authenticate(int socket);
// Reads what the login `id` has sent and takes the handshake as far as it goes;
// fills a slot when it completes. A login that fails is given up (its ending set).
void ServeLogin(int id, bool readable);
// Ends a login whose deadline has passed and sends an answer whose wait is over.
void CheckLoginTimer(int id, long long nowMs);
// The login of connection id kFirstLoginId..kLastLoginId, or null.
PendingLogin* LoginOf(int id);
// Frees the entry of a login (and a slot it held) without closing its socket.
void ReleaseLogin(int id);

// Queues a message for the client in `slot` and writes what its socket takes now.
// A client that cannot take it (output beyond its cap, a failed write) is given
// up: false with ErrorCode set.
bool SendToClient(int slot, const void* head, std::size_t headLength, const void* body = nullptr,
                  std::size_t bodyLength = 0);
// 0 for socket 0, the slot 1..16 holding the socket, else -1.
int FindSlotBySocket(int socket);
// Logs the disconnection and clears the client slot 1..16; it does not close the
// socket. Only the main loop's EndConnection calls it.
bool ReleaseSlot(int slot);

// Who caused an action: 0 Keldor, 1..16 a client slot, 0xFF00 + n account n in the game.
std::string ActorName(int actor);
std::string ActorAddress(int actor);
std::uint32_t ActorRights(int actor);

}  // namespace keldor
