// The outbox: the fleet changes made here that the database has not yet taken,
// one line each in fleetoutbox.con beside the ban list. A change is on disk
// (written and synced) before the database is asked to take it, and leaves the
// file only after the database has committed it; a change sent twice after a
// crash is harmless, as every change is idempotent in the database.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "fleet/records.h"

namespace keldor {

// At most this many changes wait; more are refused with a log line (a ban is
// still made here, only the fleet does not learn of it).
constexpr std::size_t kOutboxMax = 100000;

std::string OutboxPath();

// Reads the file into `changes`; lines that are not changes are logged and dropped.
void LoadOutbox(std::deque<FleetChange>& changes);

// Appends one change and syncs the file; false (logged) when it could not be written.
bool AppendToOutbox(const FleetChange& change);

// Rewrites the file with `changes` (those still waiting), in one step.
bool RewriteOutbox(const std::deque<FleetChange>& changes);

}  // namespace keldor
