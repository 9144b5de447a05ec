// Operations of subsystems that are not built yet, under the names and
// signatures the real ones will have. Everything that is still a stand-in lives
// in this folder and nowhere else: when an owner lands, its operations move to
// the owner's header and their stand-ins are deleted from standins.cpp.
//
// Stand-ins that would change something log "WARNING: ... is not available in
// this build." and fail, so that a client is told NOTE_COMMAND_FAILED rather
// than a success that did not happen; the rest report nothing to do.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace keldor {

// Ban store and ban synchronisation: every change is refused.
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


}  // namespace keldor
