// keldorctl alert: see alert.h.
#include "alert.h"

#include <cstdio>
#include <cstdlib>

#include "wire/protocol.h"

namespace keldorctl {

namespace {

void NoteWhileWaiting(const Message&) {}

// Keldor answers with the number of targets in decimal; anything else is no answer.
bool ParseCount(const std::string& text, long* count) {
  if (text.empty() || text.size() > 9) return false;
  char* end = nullptr;
  *count = std::strtol(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0' && *count >= 0;
}

}  // namespace

bool CheckAlert(const Options& o) {
  if (o.args.size() == 1 && o.args[0] == "test") return true;
  std::fprintf(stderr, "keldorctl: alert: the only sub-command is \"test\".\n");
  return false;
}

int RunAlert(Connection& c, const Options& o) {
  Message reply;
  const int status =
      Finish(c, keldorclient::AwaitText(c, keldor::REQ_TEST_ALERTS, &reply, NoteWhileWaiting),
             keldor::REQ_TEST_ALERTS);
  if (status != kExitOk) return status;
  long targets = 0;
  if (reply.emptyReply || !ParseCount(reply.data, &targets)) {
    std::fprintf(stderr, "keldorctl: Keldor gave no number of alert targets.\n");
    return kExitFailed;
  }
  if (o.json) {
    PrintJson({{"targets", targets}});
  } else if (targets == 0) {
    std::printf("No alert targets: Keldor's alerts.con names none.\n");
  } else {
    std::printf("Test alert queued for %ld target(s).\n", targets);
  }
  // No target to reach is a test that failed.
  return targets > 0 ? kExitOk : kExitFailed;
}

}  // namespace keldorctl
