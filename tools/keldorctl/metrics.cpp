// keldorctl metrics: see metrics.h.
#include "metrics.h"

#include <cstdio>

#include "wire/protocol.h"

namespace keldorctl {

int RunMetrics(Connection& c, const Options&) {
  Message reply;
  // Notifications that come meanwhile are for `watch`: the text alone goes to stdout.
  const Outcome outcome =
      keldorclient::AwaitText(c, keldor::REQ_GET_METRICS, &reply, [](const Message&) {});
  if (const int status = Finish(c, outcome, keldor::REQ_GET_METRICS); status != kExitOk) {
    return status;
  }
  if (reply.data.empty()) {
    std::fprintf(stderr, "keldorctl: Keldor has no metrics to give.\n");
    return kExitFailed;
  }
  // As sent, so that it can be piped into a file for the textfile collector.
  if (std::fwrite(reply.data.data(), 1, reply.data.size(), stdout) != reply.data.size() ||
      std::fflush(stdout) != 0) {
    std::fprintf(stderr, "keldorctl: couldn't write the metrics.\n");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace keldorctl
