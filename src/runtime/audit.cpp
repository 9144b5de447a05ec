// Copies of the administrators' actions: see audit.h.
#include "runtime/audit.h"

namespace keldor {

namespace {

AuditHook g_audit = nullptr;

}  // namespace

void ConnectAudit(AuditHook hook) {
  g_audit = hook;
}

void Audit(const AuditRecord& record) {
  if (g_audit != nullptr) g_audit(record);
}

}  // namespace keldor
