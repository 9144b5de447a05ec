// The one seam for time: everything that reads a clock or sleeps goes through
// here, so that tests can pin the clocks and make sleeps instant.
#pragma once

#include <ctime>

namespace keldor {

// Wall-clock time: for what is shown or stored (log lines, ban ends, the schedule).
std::time_t Now();
// Seconds on a clock that never steps: for intervals and due times.
std::time_t MonotonicNow();
// The same clock in milliseconds, for waits shorter than a second.
long long MonotonicMilliseconds();
void SleepSeconds(unsigned seconds);

// Tests: freeze both clocks at `t`; SleepSeconds and AdvanceClock then move
// both without waiting. StepWallClock moves the wall clock alone, as an
// operator or a time daemon setting the system clock would.
void PinClock(std::time_t t);
void AdvanceClock(std::time_t seconds);
void StepWallClock(std::time_t seconds);
void UnpinClock();

}  // namespace keldor
