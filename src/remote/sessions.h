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

// Runs the login handshake on a newly accepted socket and fills a free slot.
// False when the client was refused or the exchange failed; ErrorCode is 0 when
// the reason has been logged already.
bool Authenticate(int socket);
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
