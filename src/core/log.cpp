// LogMessage and ErrorText.
#include "core/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/state_table.h"

namespace keldor {

namespace {

StateTable<LogSettings> g_logging;

const char* OwnErrorText(int code) {
  switch (code) {
    case 30001:
      return "Client and server are using different protocol versions.\nAlways use the same "
             "version of Keldor and Lorvik.";
    case 30002:
      return "The server did not respond with a valid authentication code.\nEnsure you are "
             "using the correct IP and port address to connect with Keldor.";
    case 30003:
      return "The specified username is invalid. Verify the username is correct and then try "
             "again.";
    case 30004:
      return "The specified password is invalid. Verify the password is correct and then try "
             "again.";
    case 30005:
      return "The specified user account is disabled. Ask your server administrator to enable "
             "your account.";
    case 30006:
      return "No user accounts exist. At least one user account must exist to connect with "
             "Keldor.";
    case 30007:
      return "Lorvik couldn't synchronise with Keldor.";
    case 30008:
      return "The Remote Console username and/or password is invalid.";
    case 30009:
      return "Keldor could not identify the server's status port.";
    case 30010:
      return "Keldor couldn't get the settings from the server.";
    case 30011:
      return "Keldor couldn't get the player list from the server.";
    case 30012:
      return "The file transfer data could not be compressed or unpacked to the announced size.";
    case 30013:
      return "The file transfer checksum does not match the data received.";
    case 30014:
      return "The file transfer header is invalid.";
    case 30015:
      return "There are no maps available to play with the current mod/game mode.";
    case 30016:
      return "The keyhash is not 32 characters in length.";
    case 30017:
      return "The keyhash is not a valid hexadecimal number.";
    case kErrUserListDamaged:
      return "No line of the user list could be read; the upload is damaged and nothing was "
             "changed.";
    case kErrUserListLocksOut:
      return "The user list would delete or disable the account that sent it; nothing was "
             "changed.";
    case kErrUserListNoAdmin:
      return "The user list would leave no enabled account that holds every right; nothing was "
             "changed.";
    default:
      return nullptr;
  }
}

std::string LogDirectoryPrefix() {
  return g_logging->directory.empty() ? "." : g_logging->directory;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot refuse a replacement for us; look first.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

// A rotated log's name: the minute ("2004-03-01-18-30") and a counter from 1
// when the minute had more than one, then ".log". Its order key is the
// minute and the counter; false for any other name.
bool RotatedLogKey(const std::string& name, std::pair<std::string, int>* key) {
  constexpr std::size_t kStampSize = 16;
  constexpr const char* kStampShape = "dddd-dd-dd-dd-dd";
  const std::size_t size = name.size();
  if (size < kStampSize + 4 || name.compare(size - 4, 4, ".log") != 0) return false;
  for (std::size_t i = 0; i < kStampSize; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (digit != (kStampShape[i] == 'd') || (!digit && name[i] != '-')) return false;
  }
  int counter = 0;
  const std::string tail = name.substr(kStampSize, size - 4 - kStampSize);
  if (!tail.empty()) {
    if (tail.size() < 2 || tail.size() > 4 || tail[0] != '-' || tail[1] == '0') return false;
    for (std::size_t i = 1; i < tail.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(tail[i]))) return false;
      counter = counter * 10 + (tail[i] - '0');
    }
  }
  *key = {name.substr(0, kStampSize), counter};
  return true;
}

// Removes the oldest rotated logs beyond the number kept.
void PruneRotatedLogs() {
  const int keep = g_logging->keepRotated;
  if (keep <= 0) return;
  const std::vector<std::string> rotated = RotatedLogFiles();
  if (rotated.size() <= static_cast<std::size_t>(keep)) return;
  const std::size_t excess = rotated.size() - static_cast<std::size_t>(keep);
  for (std::size_t i = 0; i < excess; ++i) {
    if (unlink(rotated[i].c_str()) != 0) continue;
    LogMessage(kLogInfo, "Removed the old log file %s: the newest %i rotated logs are kept.",
               rotated[i].c_str(), keep);
  }
}

// Moves the full log aside. The name carries the minute of the line that filled
// it; when a file of that minute already exists (a busy log), a counter is added
// so that no earlier log is ever replaced.
void RotateLog(const std::string& path, const std::tm& local) {
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "/%Y-%m-%d-%H-%M", &local);
  const std::string base = LogDirectoryPrefix() + stamp;
  bool rotated = RenameNoReplace(path, base + ".log");
  for (int n = 1; !rotated && errno == EEXIST && n < 1000; ++n) {
    rotated = RenameNoReplace(path, base + "-" + std::to_string(n) + ".log");
  }
  if (rotated) PruneRotatedLogs();
}

// A control byte would let a logged text (a chat line, a player's name) move the
// cursor or recolour the terminal of whoever follows the log; a line end would
// forge a line of its own. Bytes from 0x80 on are names in other encodings and
// stay, except 0x80 itself, the chat's stand-in for a space.
void MakePrintable(std::string& line) {
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n' || c == '\t' || byte == 0x80) {
      c = ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      c = kLogControlStandIn;
    }
  }
}

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void LogFormatted(int level, const char* format, va_list args) {
  const std::time_t now = Now();
  std::tm local{};
  localtime_r(&now, &local);

  char message[kLogMessageMax + 1];
  std::vsnprintf(message, sizeof message, format, args);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);

  const LogSettings& s = *g_logging;
  std::string line = s.useSyslog ? std::string(message) : std::string(stamp) + " : " + message;
  if (line.size() > kLogMessageMax) line.resize(kLogMessageMax);
  MakePrintable(line);

  const bool echo = !s.quiet && (s.terminalTaken == nullptr || !s.terminalTaken());
  if (echo) {
    const std::string shown =
        s.useSyslog ? std::string(stamp) + " : " + line + "\r\n" : line + "\r\n";
    WriteAll(STDOUT_FILENO, shown.data(), shown.size());
  }

  if (s.dropLines) return;
  if (s.useSyslog) {
    syslog(level | s.syslogFacility, "%s", line.c_str());
    return;
  }

  line += "\r\n";
  const std::string path = LogFilePath();
  // The line is one write after a whole last line; the error being logged stays.
  const int error = ErrorCode();
  const int savedErrno = errno;
  // Lines may quote what a client or the game sent, secrets among it: the log is ours alone.
  if (AppendWhole(path, line, kSecretFileMode)) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size >= kLogRotateSize) RotateLog(path, local);
  }
  ErrorCode() = error;
  errno = savedErrno;
}

}  // namespace

LogSettings& Logging() {
  return *g_logging;
}

std::string LogFilePath() {
  return LogDirectoryPrefix() + "/keldor.log";
}

std::vector<std::string> RotatedLogFiles() {
  std::vector<std::pair<std::pair<std::string, int>, std::string>> found;
  const std::string dir = LogDirectoryPrefix();
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(d)) {
      std::pair<std::string, int> key;
      if (RotatedLogKey(entry->d_name, &key)) found.emplace_back(key, dir + "/" + entry->d_name);
    }
    closedir(d);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  paths.reserve(found.size());
  for (auto& f : found) paths.push_back(std::move(f.second));
  return paths;
}

void LogMessage(int level, const char* format, ...) {
  if (format == nullptr || format[0] == '\0') return;
  va_list args;
  va_start(args, format);
  LogFormatted(level, format, args);
  va_end(args);
}

void LogDebug(const char* format, ...) {
  if (!g_logging->debug || format == nullptr || format[0] == '\0') return;
  va_list args;
  va_start(args, format);
  LogFormatted(kLogInfo, format, args);
  va_end(args);
}

const char* ErrorText(int code) {
  static char buffer[1024];
  buffer[0] = '\0';
  if (code <= 30000) {
    std::snprintf(buffer, sizeof buffer, "%s (%u)", std::strerror(code),
                  static_cast<unsigned>(code));
  } else if (const char* own = OwnErrorText(code)) {
    std::snprintf(buffer, sizeof buffer, "%s", own);
  } else {
    std::snprintf(buffer, sizeof buffer, "An unknown error has occured. (%d)", code);
  }
  return buffer;
}

void OpenSyslog(int facility) {
  g_logging->useSyslog = true;
  g_logging->syslogFacility = facility;
  openlog("keldor", LOG_PID, facility);
}

}  // namespace keldor
