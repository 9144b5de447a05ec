// The alerts' figure: a client's ping round trips through a Keldor whose
// webhook target is dead (connections refused) or hanging (it takes the
// request and never answers), beside the same client's pings while Keldor has
// no target, in the same round.
#pragma once

#include <memory>
#include <vector>

#include "harness.h"

namespace keldor::bench {

struct AlertSamples {
  std::vector<double> none;  // no alert target: the anchor
  std::vector<double> dead;
  std::vector<double> hanging;
};

class AlertsBench {
 public:
  explicit AlertsBench(const Paths& paths);
  ~AlertsBench();
  AlertsBench(const AlertsBench&) = delete;
  AlertsBench& operator=(const AlertsBench&) = delete;

  // `pings` round trips in each of the three states, a test alert queued at
  // the start of each state with a target.
  bool Round(int pings, AlertSamples* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace keldor::bench
