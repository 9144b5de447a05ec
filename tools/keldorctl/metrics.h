// keldorctl metrics: Keldor's metrics in the Prometheus text format, the same
// text that keldor -metrics writes to its file.
#pragma once

#include "commands.h"

namespace keldorctl {

// Prints the text as Keldor sends it; the exit status.
int RunMetrics(Connection& c, const Options& options);

}  // namespace keldorctl
