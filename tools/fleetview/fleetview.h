// The fleet as the clients show it: one read-only snapshot of the fleet
// database (its servers, the bans in force, the latest admin actions), taken
// in one transaction with a deadline on everything, and its JSON document.
// keldorctl and keldor-web both read the fleet through this and nothing else.
// Every text is cut in the database to a documented width, and every list to
// a documented length, so a row can never make a client hold more than that.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace keldorfleet {

// Texts are cut to 64 characters (a host to 255, a reason to 256); at most
// 1000 servers, the kMaxBans newest bans in force and the kMaxActions latest
// actions are read.
constexpr std::size_t kMaxBans = 1000;
constexpr std::size_t kMaxActions = 50;

struct Server {
  std::string name, host;
  int port = 0;
  std::string version, state, map;
  int players = 0, slots = 0;
  long long lastCrash = 0;  // epoch seconds, 0: none
  int passSeconds = 0;
  long long lastSeen = 0;  // epoch seconds
  long long seenAgo = 0;   // seconds, by the database's clock
  bool gone = false;       // not seen for three of its passes
};

struct Ban {
  std::string id, server, admin, name, address, keyhash, guid;
  long long start = 0, end = 0;  // epoch seconds; end 0: permanent
  std::string reason;
};

struct Action {
  std::string id, server;
  long long time = 0;
  std::string admin, player, address, keyhash, guid, map, action;
  long long duration = 0;
  std::string reason;
};

struct Snapshot {
  long long now = 0;  // the database's clock, epoch seconds
  std::vector<Server> servers;
  std::vector<Ban> bans;
  std::vector<Action> actions;
};

struct ReadOptions {
  int timeoutSeconds = 5;  // for the whole read, connection included
  std::string search;      // bans and actions holding this text (any case); empty: all
  std::size_t maxBans = kMaxBans;
  std::size_t maxActions = kMaxActions;
  const char* application = "keldor-fleetview";  // as the database lists the session
};

// Reads the snapshot from the database `conninfo` names (a libpq connection
// string or URI). False with libpq's reason, or "timed out", in `error`.
bool ReadFleet(const std::string& conninfo, const ReadOptions& options, Snapshot* snapshot,
               std::string* error);

// The documented JSON forms: the whole snapshot, and its parts.
nlohmann::ordered_json FleetJson(const Snapshot& snapshot);
nlohmann::ordered_json ServerJson(const Server& server);
nlohmann::ordered_json BanJson(const Ban& ban);
nlohmann::ordered_json ActionJson(const Action& action);

// A database text fit for a terminal: control characters (C0, DEL and C1)
// and bytes that are not UTF-8 are shown escaped ("\x1B"), as keldorctl
// shows Keldor's texts.
std::string Printable(std::string_view text);
// How many columns `text` takes (code points; Printable text is assumed).
std::size_t Columns(std::string_view text);

}  // namespace keldorfleet
