// Stand-ins for the remote client service until it is built: no accounts are
// loaded and every connection is refused, so no client slot is ever taken.
#include "core/state.h"
#include "remote/accounts.h"
#include "remote/service.h"
#include "remote/sessions.h"

namespace keldor {

bool LoadUserAccounts(const std::string&) { return true; }

void ClearClientSlots() {}
bool SlotInUse(int) { return false; }

bool Authenticate(int) {
  State().errorCode = 0;
  return false;
}

int FindSlotBySocket(int socket) { return socket == 0 ? 0 : -1; }
bool ReleaseSlot(int) { return false; }

bool QueueJob(std::uint32_t, const char*, int, int) { return true; }

void HandleRequest(int) {}
void RunDueJobs() {}
bool NotifyClient(int, std::uint32_t, const void*, std::size_t) { return false; }

}  // namespace keldor
