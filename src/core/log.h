// The logger (one line per call to keldor.log or syslog, with rotation) and the
// texts of error numbers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace keldor {

// The release: the log's first line names it, as keldor and keldorctl --version do.
constexpr const char* kRelease = "v" KELDOR_VERSION " beta 4e";
constexpr const char* kVersionText = "Keldor v" KELDOR_VERSION " beta 4e";

constexpr int kLogInfo = 6;                   // LOG_INFO, what every caller passes
constexpr long kLogRotateSize = 512000;       // rotate once the file reaches this
constexpr std::size_t kLogMessageMax = 1023;  // message and line cut to this
// Rotated logs kept by default (-logkeep): a file a day or two on a busy server,
// so some weeks of history in at most 30 MB.
constexpr int kDefaultLogKeep = 60;
constexpr int kMaxLogKeep = 100000;
// What stands for a control byte in a logged line (a line end and a tab stand as a space).
constexpr char kLogControlStandIn = '?';

// Our own error codes, above every system error number.
constexpr int kErrFirstOwn = 30001;
constexpr int kErrConsoleLogin = 30008;
constexpr int kErrStatusPort = 30009;
constexpr int kErrReadSettings = 30010;
constexpr int kErrPlayerList = 30011;
constexpr int kErrTransferData = 30012;
constexpr int kErrTransferChecksum = 30013;
constexpr int kErrTransferHeader = 30014;
constexpr int kErrKeyHashLength = 30016;
constexpr int kErrKeyHashHex = 30017;
// Refusals of an uploaded user list; a series of their own, apart from the first.
constexpr int kErrUserListDamaged = 30101;
constexpr int kErrUserListLocksOut = 30102;
constexpr int kErrUserListNoAdmin = 30103;

// Where and how lines are written; start-up fills it in from the command line.
struct LogSettings {
  std::string directory;  // of keldor.log and the rotated logs; empty: the working one
  bool useSyslog = false;
  int syslogFacility = 0;             // LOG_LOCAL0..LOG_LOCAL7
  bool debug = false;                 // -debug: LogDebug lines are written too
  int keepRotated = kDefaultLogKeep;  // -logkeep: rotated logs kept, 0 for all
  bool quiet = false;                 // no copy of each line on standard output (daemonized, tests)
  // Lines are formatted and then dropped (fuzz runs: a parser fed millions of
  // inputs would spend much of its time appending to the file).
  bool dropLines = false;
  // True while something else draws on the terminal (the status monitor).
  bool (*terminalTaken)() = nullptr;
};
LogSettings& Logging();

void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs only with -debug; the format carries its own "DEBUG: " prefix.
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text for an error number; the result lives in a buffer that the next call overwrites.
const char* ErrorText(int code);

// Where the log file lives now (depends on the overlay path and the server directory).
std::string LogFilePath();

// The rotated log files beside it, oldest first.
std::vector<std::string> RotatedLogFiles();

// Opens syslog for -syslog n (ident "keldor", LOG_PID, LOG_LOCALn).
void OpenSyslog(int facility);

}  // namespace keldor
