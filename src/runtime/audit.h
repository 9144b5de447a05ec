// Copies of the administrators' actions for whoever keeps them beyond the local
// admin log (the fleet's database, when one is joined): kicks and bans as the
// admin log records them, and lifts and map changes, which it does not.
#pragma once

#include <cstdint>
#include <string>

namespace keldor {

struct AuditRecord {
  std::string player, address, keyhash, guid, admin;
  std::uint32_t time = 0;
  std::string map, action;
  std::uint32_t duration = 0;
  std::string reason;
};

using AuditHook = void (*)(const AuditRecord& record);

// Sets the one receiver, or none with null. Wiring, not state (see ConnectSubsystems).
void ConnectAudit(AuditHook hook);

// Hands the record to the receiver, if there is one.
void Audit(const AuditRecord& record);

}  // namespace keldor
