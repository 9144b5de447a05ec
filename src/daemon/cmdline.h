// The command line: options, "+" server arguments, "@" server commands and -kill.
#pragma once

#include <string>
#include <vector>

namespace keldor {

// What reading the command line decided: go on with start-up, or end the
// process now with `status` (after printing `out`).
struct CommandLineOutcome {
  bool exitNow = false;
  int status = 0;
};

// Reads the words (without the program name) into the options, after setting the
// server directory and PID file path from the working directory. Everything
// meant for standard output is appended to `out`. Handles -? (and --help, -h),
// -license and -kill.
CommandLineOutcome ParseCommandLine(const std::vector<std::string>& words, std::string& out);

// Points the log at the server directory, or at the overlay path's "logs".
void ConfigureLogging();

// The text printed by -?, --help and -h.
const char* UsageText();

}  // namespace keldor
