// The fleet's figures: Keldors sharing a throwaway PostgreSQL cluster, each
// figure measured beside its anchor in the same round. Each kind of round has
// a fresh cluster of its own, so that one kind's bans never reach another's.
#pragma once

#include <memory>
#include <vector>

#include "harness.h"

namespace keldor::bench {

// One round's samples in seconds: the figure's and its anchor's.
struct Samples {
  std::vector<double> figure;
  std::vector<double> anchor;
  std::vector<double> committed;  // a fleet ban: until its row was committed (its NOTIFY came)
};

// A new Keldor catching up on the fleet's bans, from its start; -1 when it did not.
struct CatchUp {
  double joined = -1;    // until "Joined the fleet as ..." is logged
  double caughtUp = -1;  // until serverbanlist.con holds every ban
  double anchor = -1;    // a new connection reading the same rows with one query
};

class FleetBench {
 public:
  explicit FleetBench(const Paths& paths);
  ~FleetBench();
  FleetBench(const FleetBench&) = delete;
  FleetBench& operator=(const FleetBench&) = delete;

  // A ban made on Keldor A through the client protocol until gamesim B, whose
  // Keldor B shares the fleet, no longer lists the banned player; beside bare
  // NOTIFY round trips (LISTEN on one connection, NOTIFY on another).
  bool BanRound(int bans, Samples* out);
  // A Keldor with an empty cursor and no game server joining a fleet of
  // `bans` bans (inserted through keldor.ban before the first round).
  bool CatchUpRound(int bans, CatchUp* out);
  // One client's pings while the database is stopped (`hung`: its processes
  // frozen) beside the same client's pings while it is up.
  bool OutageRound(int pings, bool hung, Samples* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace keldor::bench
