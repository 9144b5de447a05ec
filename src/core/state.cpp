// The core's process-wide state.
#include "core/state.h"

namespace keldor {

namespace {
ManagerState g_state;
SignalFacts g_signals;
}  // namespace

ManagerState& State() {
  return g_state;
}

void ResetManagerState() {
  g_state = ManagerState{};
  FD_ZERO(&g_state.masterSet);
}

SignalFacts& Signals() {
  return g_signals;
}

void ResetSignalFacts() {
  g_signals.caughtSignal = 0;
  g_signals.serverExitStatus = -1;
  g_signals.serverExited = 0;
  g_signals.sawTerm = 0;
  g_signals.sawInt = 0;
  g_signals.sawChld = 0;
}

}  // namespace keldor
