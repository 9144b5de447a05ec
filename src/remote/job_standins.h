// What the jobs and the file transfers ask of subsystems that are not built yet.
// Each declaration carries the name and signature of the real operation; the
// stand-ins in job_standins.cpp log or do nothing. When the owner lands, delete
// the stand-in there and include the owner's header instead of this one.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace keldor {

// Client sessions: who an actor is (slot 0..16, 0xFF00 + n an in-game admin),
// and the socket of a client slot (-1 when none).
std::string ActorName(std::int32_t actor);
std::string ActorAddress(std::int32_t actor);
int SlotSocket(int slot);

// Notifications and reports: the client list file and the tail of the log.
bool WriteClientList(const std::string& path);
void CopyLogTail(const std::string& path);

// Settings: the sequence after a client's settings upload (apply under the
// client's rights, remove the upload, save the whole table, push, autoexec).
void ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot);

// Player table.
bool GetPlayerList();
std::string PlayerNameById(int id);
std::string PlayerAddressById(int id);
std::string PlayerKeyhashById(int id);
std::string PlayerGuidById(int id);
bool WritePlayerListFile(const std::string& path);

// Status query: a value of the last status reply, or null.
const char* StatusValue(const char* text, const char* key);

// Admin action log.
void LogAdminAction(const char* player, const char* address, const char* keyhash, const char* guid,
                    const char* admin, std::uint32_t time, const char* map, const char* action,
                    std::uint32_t duration, const char* reason);

// Ban store and ban synchronisation.
bool ExpireTimedBans();
bool AddBan(const std::string& name, int playerId, const std::string& address,
            const std::string& keyhash, const std::string& guid, const std::string& adminUser,
            std::time_t start, std::time_t end, const std::string& reason);
bool RemoveBan(const std::string& name, const std::string& address, const std::string& keyhash,
               const std::string& guid);
bool ClearBans(std::int32_t actor);
bool VerifyBanSync();
bool SyncBansToServer();
bool SyncBansFromServer();

// Policing and announcements.
bool PolicePlayers();
bool AnnounceNext();

// What the crash watch keeps about the running game: the current map override,
// the idle map combo, the paused mark and the PunkBuster-enabled flag.
void SetCurrentMapOverride(const std::string& combo);
const std::string& CurrentMapOverride();
void SetIdleMapCombo(const std::string& combo);
const std::string& IdleMapCombo();
bool GamePaused();
void SetGamePaused(bool paused);
bool PunkBusterEnabled();
// Tests only, until the crash watch owns the flag.
void SetPunkBusterEnabledStandIn(bool enabled);
void ResetJobStandIns();

}  // namespace keldor
