// What Keldor keeps and reads of the fleet, as plain values: a change on its way
// to the database (a ban, a lift, an admin action; one line of the outbox file
// each) and a row of keldor.bans read back. Everything read here may come from
// a damaged file or a database others write: each field is checked before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

// The longest text field Keldor sends or takes (a reason; names are shorter).
constexpr std::size_t kFleetTextMax = 255;
// The longest outbox line Keldor reads back.
constexpr std::size_t kFleetLineMax = 4095;

enum class ChangeKind : char { kBan = 'B', kLift = 'L', kAction = 'A' };

// A change and the parameters of its database function, in order:
//   ban:    id, server, admin, name, address, keyhash, guid, start, end, reason
//   lift:   server, by, address, keyhash, guid, at
//   action: id, server, time, admin, player, address, keyhash, guid, map, action,
//           duration, reason
struct FleetChange {
  ChangeKind kind = ChangeKind::kBan;
  std::vector<std::string> fields;
};

// How many parameters a kind has.
std::size_t ChangeFieldCount(ChangeKind kind);

// The SQL that applies a change of `kind`: one call of its function with $1...$n.
const char* ChangeQuery(ChangeKind kind);

// A fresh id for a ban or an action: 32 lower-case hexadecimal digits from the
// system's random source (so ids made on different servers never meet).
std::string NewFleetId();

// One outbox line, without its LF: the kind's letter, then each field after a
// tab, with backslash, tab, CR and LF escaped.
std::string EncodeChange(const FleetChange& change);
// False for a line that is not a whole change of a known kind, or whose fields
// do not check out (ids, numbers, lengths).
bool DecodeChange(const std::string& line, FleetChange& change);

// A row of keldor.bans as the catch-up reads it.
struct FleetBanRow {
  long long seq = 0;
  std::string id, server, admin, name, address, keyhash, guid;
  long long start = 0, end = 0;
  std::string reason;
  bool lifted = false;
  std::string liftedOn;
};

// The catch-up query's columns, in order.
constexpr std::size_t kFleetBanColumns = 13;
// Reads the columns: seq, id, server, admin, name, address, keyhash, guid,
// start_time, end_time, reason, lifted (non-empty when lifted_at is set),
// lifted_on. Identifiers that could not stand in a ban line or a console command
// count as absent; false for a row without a usable sequence number, id, time or
// identifier.
bool ParseFleetBanRow(const std::vector<std::string>& columns, FleetBanRow& row);

// Whether a notification on `channel` with `payload` asks this server (named
// `self`) to catch up: on the fleet's channel and from another server.
bool NotificationWanted(const char* channel, const char* payload, const std::string& self);

// A text as the fleet keeps it: one line, at most kFleetTextMax bytes before it
// is made valid UTF-8 (each byte that is not part of a UTF-8 sequence is read as
// a Latin-1 letter, as the game writes names).
std::string FleetText(const std::string& text);

// A server name as the fleet takes it: printable, no blanks at the ends, at most
// 64 characters; empty when nothing usable is left.
std::string FleetName(const std::string& text);

}  // namespace keldor
