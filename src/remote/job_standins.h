// What the jobs and the file transfers ask of subsystems that are not built yet.
// Each declaration carries the name and signature of the real operation; the
// stand-ins in job_standins.cpp log or do nothing. When the owner lands, delete
// the stand-in there and include the owner's header instead of this one.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace keldor {

// Player table.
bool GetPlayerList();
std::string PlayerNameById(int id);
std::string PlayerAddressById(int id);
std::string PlayerKeyhashById(int id);
std::string PlayerGuidById(int id);
bool WritePlayerListFile(const std::string& path);

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

}  // namespace keldor
