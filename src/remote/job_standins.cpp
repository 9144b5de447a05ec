// Stand-ins for the operations the jobs and the file transfers need from
// subsystems not built yet (see job_standins.h). Game actions that would change
// something log that they are not available and report failure, so the client is
// told NOTE_COMMAND_FAILED rather than a success that did not happen.
#include "remote/job_standins.h"

#include <cstdio>

#include "core/helpers.h"
#include "core/log.h"
#include "core/state.h"
#include "remote/accounts.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr std::int32_t kInGameActorBase = 0xFF00;
constexpr std::int32_t kInGameActorLast = 0xFF63;

struct CrashWatchFacts {
  std::string currentMapOverride;
  std::string idleMapCombo;
  bool paused = false;
  bool punkBusterEnabled = false;
};

CrashWatchFacts g_facts;

bool NotAvailable(const char* what) {
  LogMessage(kLogInfo, "WARNING: %s is not available in this build.", what);
  return false;
}

}  // namespace

std::string ActorName(std::int32_t actor) {
  if (actor >= kInGameActorBase && actor <= kInGameActorLast) {
    return UserAccounts()[static_cast<std::size_t>(actor - kInGameActorBase)].name;
  }
  return SlotName(actor);
}

std::string ActorAddress(std::int32_t actor) {
  return actor >= kInGameActorBase ? "game" : SlotAddress(actor);
}

int SlotSocket(int) {
  return -1;
}

bool WriteClientList(const std::string& path) {
  return EnsureFile(path, EnsureMode::kTruncate);
}
void CopyLogTail(const std::string& path) {
  constexpr long kTail = 32768;
  std::FILE* in = std::fopen(LogFilePath().c_str(), "rb");
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (in != nullptr && out != nullptr && std::fseek(in, 0, SEEK_END) == 0) {
    const long size = std::ftell(in);
    std::fseek(in, size > kTail ? size - kTail : 0, SEEK_SET);
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, in)) > 0;) {
      std::fwrite(block, 1, n, out);
    }
  }
  if (in != nullptr) std::fclose(in);
  if (out != nullptr) std::fclose(out);
}

void ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot) {
  ApplySettingsFile(uploadPath, rightsMask, slot);
  std::remove(uploadPath.c_str());
  SaveSettingsFile(State().settingsDir + "/servermanager.con", -1);
}

bool GetPlayerList() {
  return true;
}
std::string PlayerNameById(int) {
  return "[unknown]";
}
std::string PlayerAddressById(int) {
  return "[unknown]";
}
std::string PlayerKeyhashById(int) {
  return "[unknown]";
}
std::string PlayerGuidById(int) {
  return "[unknown]";
}
bool WritePlayerListFile(const std::string& path) {
  return EnsureFile(path, EnsureMode::kTruncate);
}

const char* StatusValue(const char*, const char*) {
  return nullptr;
}

void LogAdminAction(const char*, const char*, const char*, const char*, const char*, std::uint32_t,
                    const char*, const char*, std::uint32_t, const char*) {}

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

bool PolicePlayers() {
  return true;
}
bool AnnounceNext() {
  return true;
}

void SetCurrentMapOverride(const std::string& combo) {
  g_facts.currentMapOverride = combo;
}
const std::string& CurrentMapOverride() {
  return g_facts.currentMapOverride;
}
void SetIdleMapCombo(const std::string& combo) {
  g_facts.idleMapCombo = combo;
}
const std::string& IdleMapCombo() {
  return g_facts.idleMapCombo;
}
bool GamePaused() {
  return g_facts.paused;
}
void SetGamePaused(bool paused) {
  g_facts.paused = paused;
}
bool PunkBusterEnabled() {
  return g_facts.punkBusterEnabled;
}
void SetPunkBusterEnabledStandIn(bool enabled) {
  g_facts.punkBusterEnabled = enabled;
}
void ResetJobStandIns() {
  g_facts = CrashWatchFacts{};
}

}  // namespace keldor
