// Joining a fleet: many Keldors sharing one PostgreSQL database for their ban
// list, their admin actions and their servers' status. The database link lives
// in the select loop on libpq's asynchronous calls: a slow or lost database
// never holds up the game or the clients. What it cannot take at once waits in
// the outbox (outbox.h) and goes when it is back; what others did is caught up
// by a cursor on the fleet's change sequence. Without -fleet nothing here runs.
#pragma once

#include <string>
#include <vector>

#include "bans/ban_store.h"
#include "fleet/records.h"
#include "runtime/audit.h"
#include "runtime/events.h"

namespace keldor {

// Whether a fleet is configured (-fleet or KELDOR_FLEET).
bool FleetConfigured();

// At start-up, once the settings are loaded: settles the server's name in the
// fleet, reads the outbox and the cursor and begins to connect. Does nothing
// without a fleet.
void StartFleet();

// What the loop watches for the database link: its socket (-1 for none) and
// whether it waits to read, to write or both.
struct FleetWatch {
  int fd = -1;
  bool read = false;
  bool write = false;
};
FleetWatch FleetDescriptor();

// One step of the link, each pass: connecting, sending, reading answers and
// notifications, applying what others did, giving up on a database that does
// not answer. `readable`/`writable`: what select saw of the socket.
void ServeFleet(bool readable, bool writable);

// The server's row in keldor.servers, written on each monitor pass
// (`passSeconds` apart).
void WriteFleetStatus(int passSeconds);

// At shutdown: closes the link (what waits stays in the outbox).
void StopFleet();

// Puts rows of keldor.bans into effect here, as the server named `self`: bans
// made elsewhere that are in force, not yet ended and not yet in the local list
// are added (and the players they name kicked); lifts made elsewhere of bans
// the local list holds are lifted. Rows this server made are left alone.
// `mayRepeat`: rows may have been put into effect before (the first page after
// a start, whose cursor may not have been kept); bans the list holds already
// (same start and name) are then skipped.
void ApplyFleetRows(const std::vector<FleetBanRow>& rows, const std::string& self, bool mayRepeat);

// The hooks ConnectSubsystems wires: bans and lifts made here, the admin
// actions, and the game server's events (for the status row).
void FleetBanMade(const BanEntry& entry);
void FleetBanLifted(const BanLift& lift);
void FleetAudit(const AuditRecord& record);
void FleetEvent(Event event, const char* text);

}  // namespace keldor
