// Stand-ins for the remote client service until it is built: every connection
// is refused, so no client slot is ever taken. The slot lookups the accounts use
// report Keldor itself in slot 0 and whatever tests set for the others.
#include <array>

#include "core/state.h"
#include "remote/accounts.h"
#include "remote/service.h"
#include "remote/sessions.h"

namespace keldor {

namespace {

struct SlotStandIn {
  std::string name;
  std::string address;
  std::uint32_t rights = 0;
};

std::array<SlotStandIn, kClientSlots> g_slotStandIns;

}  // namespace

std::string SlotName(int slot) {
  if (slot == 0) return "operator";
  return slot > 0 && slot < kClientSlots ? g_slotStandIns[slot].name : "[unknown]";
}

std::string SlotAddress(int slot) {
  if (slot == 0) return "console";
  return slot > 0 && slot < kClientSlots ? g_slotStandIns[slot].address : "[unknown]";
}

std::uint32_t SlotRights(int slot) {
  if (slot == 0) return kAdminRights;
  return slot > 0 && slot < kClientSlots ? g_slotStandIns[slot].rights : 0;
}

void SetSlotStandIn(int slot, const std::string& name, const std::string& address,
                    std::uint32_t rights) {
  if (slot <= 0 || slot >= kClientSlots) return;
  g_slotStandIns[slot] = name.empty() ? SlotStandIn{} : SlotStandIn{name, address, rights};
}

void ClearClientSlots() {}
bool SlotInUse(int) {
  return false;
}

bool Authenticate(int) {
  State().errorCode = 0;
  return false;
}

int FindSlotBySocket(int socket) {
  return socket == 0 ? 0 : -1;
}
bool ReleaseSlot(int) {
  return false;
}

void HandleRequest(int) {}
bool NotifyClient(int, std::uint32_t, const void*, std::size_t) {
  return false;
}
bool NotifyAllClients(std::uint32_t, const void*, std::size_t, int) {
  return true;
}

}  // namespace keldor
