// Wall clock with a test pin.
#include "core/clock.h"

#include <unistd.h>

namespace keldor {

namespace {
bool g_pinned = false;
std::time_t g_pinnedTime = 0;
}  // namespace

std::time_t Now() {
  return g_pinned ? g_pinnedTime : std::time(nullptr);
}

void SleepSeconds(unsigned seconds) {
  if (g_pinned) {
    g_pinnedTime += seconds;
    return;
  }
  // sleep() returns early when a signal arrives; finish the wait.
  unsigned left = seconds;
  while (left > 0) left = sleep(left);
}

void PinClock(std::time_t t) {
  g_pinned = true;
  g_pinnedTime = t;
}

void AdvanceClock(std::time_t seconds) {
  g_pinnedTime += seconds;
}

void UnpinClock() {
  g_pinned = false;
}

}  // namespace keldor
