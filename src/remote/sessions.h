// Client sessions: one record per client connection, the slots logged-in
// clients hold, the actors that name whoever caused an action, and the login
// handshake. Slot 0 is Keldor itself, slots 1 to 16 are connected clients.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "core/owned.h"
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

// Logins in progress wait in the places past the slots until they are
// answered; at most this many at once.
constexpr int kMaxLogins = 16;
// The connection table: Keldor itself, the slots, then the places for logins.
constexpr int kConnections = kClientSlots + kMaxLogins;
// Logins in progress from one address at once: a host that opens more (and
// holds them idle) cannot keep every other administrator out. A few, for
// several administrators behind one address.
constexpr int kLoginsPerAddress = 4;
// The most minutes a lockout answer can carry (one byte).
constexpr long long kLockoutMinutesMax = 255;

// What a connection is doing. A login in progress is in the handshake; once
// it has a slot it is logged in and then, request by request, in a request
// (its bytes still arriving), an upload or a download.
enum class ConnectionState { kFree, kHandshake, kLoggedIn, kRequest, kUpload, kDownload };

enum class LoginStep { kCredentials, kAnswerHeld, kVersion };

// How far the handshake has come; only meaningful in the handshake.
struct Handshake {
  std::uint32_t peer = 0;  // IPv4, host order
  LoginStep step = LoginStep::kCredentials;
  long long answerAt = 0;  // monotonic ms at which a held answer goes out
  std::uint8_t result = 0;
};

// One client socket, from its acceptance to its end.
struct Connection {
  Connection() = default;
  // A client logged in on `fd` (owned from now on), as a completed login
  // leaves it.
  Connection(int fd, std::string userName, std::string address, std::uint32_t rights,
             std::optional<std::time_t> lastRequest);

  OwnedFd fd;  // -1 when none
  ConnectionState state = ConnectionState::kFree;
  SlotEnding ending = SlotEnding::kNo;
  // Its buffers and the deadline of the message being read.
  ConnectionIo io{};
  Handshake handshake{};
  // The account: held from the moment a login is accepted.
  std::string userName;
  std::string address;
  std::uint32_t rights = 0;
  // When the last request was accepted; none until then. Kept as a time and
  // put into words only when the client list is written.
  std::optional<std::time_t> lastRequest;
  // The log lines its unknown, refused and failed requests have cost.
  RequestNoise noise{};
};

using ConnectionTable = std::array<Connection, kConnections>;

// Every connection, indexed by the slot number clients see: 1..16 a logged-in
// client (or a login answered and waiting for its version), 0 Keldor itself;
// past the slots the logins that have none yet.
ConnectionTable& Connections();

// The slot number of a connection in the table.
int SlotOf(const Connection& connection);
// True for a connection that is logged in and not being ended.
bool LoggedIn(const Connection& connection);

// The ctime text (newline included) of the slot's last request; empty before its first.
std::string LastRequestText(const Connection& connection);

// Closes every connection, empties every slot and sets up slot 0 as "operator"
// at "console" with every right.
void ClearClientSlots();
// True for a slot 1..16 that holds a logged-in connection not being ended.
bool SlotInUse(int slot);
// The connection is done with (its stream is out of step, or an administrator
// dropped it): nothing more is sent to it or read from it, and the main loop
// ends it before it waits again.
void EndConnectionSoon(Connection& connection);
void EndConnectionSoon(int slot);
// As EndConnectionSoon, for a descriptor that is no longer ours (its number now
// belongs to something else): the connection is ended without closing it.
void ForgetConnection(Connection& connection);

// True while a newly accepted connection can be taken.
bool LoginRoom();
// Starts the login handshake on a newly accepted socket: records it as a login
// in progress, to be served by ServeLogin as its bytes arrive. False when it
// cannot be taken (the socket is closed; ErrorCode is 0 when the reason has
// been logged already or needs no line).
bool Authenticate(OwnedFd socket);
// Reads what a login has sent and takes the handshake as far as it goes; the
// login becomes a logged-in client when it completes. A login that fails is
// given up (its ending set).
void ServeLogin(Connection& login, bool readable);
// Ends a login whose deadline has passed and sends an answer whose wait is over.
void CheckLoginTimer(Connection& login, long long nowMs);

// Queues a message for a logged-in client and writes what its socket takes now.
// A client that cannot take it (output beyond its cap, a failed write) is given
// up: false with ErrorCode set.
bool SendToClient(Connection& client, const void* head, std::size_t headLength,
                  const void* body = nullptr, std::size_t bodyLength = 0);
bool SendToClient(int slot, const void* head, std::size_t headLength, const void* body = nullptr,
                  std::size_t bodyLength = 0);

// Who caused an action: 0 Keldor, 1..16 a client slot, 0xFF00 + n account n in the game.
std::string ActorName(int actor);
std::string ActorAddress(int actor);
std::uint32_t ActorRights(int actor);

}  // namespace keldor
