// The one seam for time: everything that reads the clock or sleeps goes through
// here, so that tests can pin the clock and make sleeps instant.
#pragma once

#include <ctime>

namespace keldor {

std::time_t Now();
void SleepSeconds(unsigned seconds);

// Tests: freeze the clock at `t`; SleepSeconds then advances it without waiting.
void PinClock(std::time_t t);
void AdvanceClock(std::time_t seconds);
void UnpinClock();

}  // namespace keldor
