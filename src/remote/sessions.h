// Client slots: slot 0 is Keldor itself, slots 1 to 16 are connected clients.
#pragma once

namespace keldor {

constexpr int kClientSlots = 17;

// Empties every slot and sets up slot 0 as "operator" at "console" with every right.
void ClearClientSlots();
bool SlotInUse(int slot);

// Runs the login handshake on a newly accepted socket and fills a free slot.
bool Authenticate(int socket);
int FindSlotBySocket(int socket);
bool ReleaseSlot(int slot);

}  // namespace keldor
