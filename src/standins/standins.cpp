// The stand-ins declared in standins.h.
#include "standins/standins.h"

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"

namespace keldor {

namespace {

bool NotAvailable(const char* what) {
  LogMessage(kLogInfo, "WARNING: %s is not available in this build.", what);
  return false;
}

}  // namespace

bool ExpireTimedBans() {
  return true;
}
bool AddBan(const std::string&, int, const std::string&, const std::string&, const std::string&,
            const std::string&, std::time_t, std::time_t, const std::string&) {
  return NotAvailable("The ban store");
}
bool RemoveBan(const std::string&, const std::string&, const std::string&, const std::string&) {
  return NotAvailable("The ban store");
}
bool ClearBans(std::int32_t) {
  return NotAvailable("The ban synchronisation");
}
bool VerifyBanSync() {
  return NotAvailable("The ban synchronisation");
}
bool SyncBansToServer() {
  return NotAvailable("The ban synchronisation");
}
bool SyncBansFromServer() {
  return NotAvailable("The ban synchronisation");
}


}  // namespace keldor
