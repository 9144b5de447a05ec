// The wall and monotonic clocks, with a test pin.
#include "core/clock.h"

#include <unistd.h>

namespace keldor {

namespace {
bool g_pinned = false;
std::time_t g_pinnedTime = 0;
std::time_t g_wallStep = 0;  // wall clock minus monotonic clock while pinned
}  // namespace

std::time_t Now() {
  return g_pinned ? g_pinnedTime + g_wallStep : std::time(nullptr);
}

std::time_t MonotonicNow() {
  if (g_pinned) return g_pinnedTime;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

long long MonotonicMilliseconds() {
  if (g_pinned) return static_cast<long long>(g_pinnedTime) * 1000;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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
  g_wallStep = 0;
}

void AdvanceClock(std::time_t seconds) {
  g_pinnedTime += seconds;
}

void StepWallClock(std::time_t seconds) {
  g_wallStep += seconds;
}

void UnpinClock() {
  g_pinned = false;
  g_wallStep = 0;
}

}  // namespace keldor
