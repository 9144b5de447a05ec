// The game server's UDP status query.
#pragma once

namespace keldor {

// The port the status query answers on; 0 while unknown.
int StatusPort();
void ForgetStatusPort();

}  // namespace keldor
