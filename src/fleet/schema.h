// The fleet database's schema: the migrations Keldor runs, in order, each once
// and in its own transaction, and the version table that records them. Every
// object lives in the schema "keldor". Servers write only through the functions
// the migrations create (keldor.ban, keldor.lift, keldor.admin_action,
// keldor.server_status), so a server's role needs EXECUTE on them and SELECT on
// keldor.bans, nothing more; keldorctl and the web console read the tables.
#pragma once

#include <cstddef>
#include <string>

namespace keldor {

// The channel every change to keldor.bans is announced on; the payload is the
// name of the server that made the change.
constexpr const char* kFleetChannel = "keldor_bans";

// The advisory lock that orders writers of keldor.bans: a change takes its
// sequence number and commits while holding it, so numbers become visible in
// the order they were taken and a reader's cursor never skips one.
constexpr long long kFleetWriteLock = 0x4B454C44;  // "KELD"

// How many migrations the source holds; the schema's version after all ran.
std::size_t FleetSchemaVersion();

// Migration `version` (1-based) as one text of SQL statements, wrapped by the
// caller in a transaction that also records the version.
const char* FleetMigration(std::size_t version);

// Whether the version table exists: one row, "t" or "f". Asked first, as a
// query naming a table that does not exist fails before it runs.
const char* FleetSchemaQuery();

// The schema's version, once the version table exists: one row, one column.
const char* FleetVersionQuery();

// The whole transaction for migration `version`: it takes the write lock, runs
// the migration and records the version; a second Keldor migrating at the same
// moment waits, then fails on the version's key and tries again later.
std::string FleetMigrationTransaction(std::size_t version);

}  // namespace keldor
