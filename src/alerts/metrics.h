// Keldor's metrics in the Prometheus text format: the file named by -metrics,
// rewritten on every monitor pass, and the reply to REQ_GET_METRICS.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "runtime/alerting.h"

namespace keldor {

// A new metrics file is readable by everyone (the node exporter runs as another
// user), whatever Keldor's umask; it holds nothing secret.
constexpr mode_t kMetricsFileMode = 0644;

// Counts what the alerts tell of (crashes, restarts, hangs, rollbacks).
void CountAlert(const AlertReport& report);

// The whole text, every metric with its HELP and TYPE lines.
std::string MetricsText();

// Rewrites the -metrics file (written beside it, then renamed over it); nothing without -metrics.
// A failure is logged once for each run of failed passes.
void WriteMetricsFile();

// A label value as the text format wants it between its double quotes:
// backslash, double quote and line feed escaped, bytes that are not UTF-8 as U+FFFD.
std::string MetricsLabelValue(std::string_view text);

}  // namespace keldor
