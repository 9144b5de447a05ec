// Files a setting names for Keldor to write: see output_file.h.
#include "settings/output_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/owned.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr const char* kDefaultOutputName = "statistics.csv";
constexpr const char* kOutputSuffix = ".csv";
constexpr const char* kAdminLogName = "adminlog.csv";

std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool HasControlCharacter(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) return true;
  }
  return false;
}

bool AllowedName(const std::string& name) {
  const std::size_t suffix = std::strlen(kOutputSuffix);
  return name.size() > suffix && name.find('/') == std::string::npos && name[0] != '.' &&
         !HasControlCharacter(name) &&
         strcasecmp(name.c_str() + name.size() - suffix, kOutputSuffix) == 0 &&
         strcasecmp(name.c_str(), kAdminLogName) != 0;
}

// A file of Keldor's own that nothing else reaches: a regular file of our user
// with a single name.
bool OwnFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// The file name an absolute path gives, when the path's directory is the log directory.
bool NameInLogDirectory(const std::string& path, std::string* name) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = Resolved(slash == 0 ? "/" : path.substr(0, slash));
  const std::string logDir = Resolved(LogDirectory().empty() ? "." : LogDirectory());
  if (dir.empty() || dir != logDir) return false;
  *name = path.substr(slash + 1);
  return true;
}

}  // namespace

std::string LogDirectory() {
  const Options& s = Opts();
  return s.overlayPath.empty() ? s.serverDir : s.overlayPath + "logs";
}

bool NamesOutputFile(int row) {
  return row == static_cast<int>(Setting::StatFilePath);
}

bool ResolveOutputFile(const std::string& value, std::string* path) {
  std::string name = value.empty() ? kDefaultOutputName : value;
  if (name[0] == '/' && !NameInLogDirectory(name, &name)) return Fail(EACCES);
  if (!AllowedName(name)) return Fail(EACCES);
  const std::string dir = LogDirectory();
  const std::string candidate = dir.empty() ? name : dir + "/" + name;
  struct stat st;
  if (lstat(candidate.c_str(), &st) == 0 ? !OwnFile(st) : errno != ENOENT) return Fail(EACCES);
  *path = candidate;
  return true;
}

bool AppendToOutputFile(const std::string& path, const std::string& text) {
  OwnedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
  // A link in the file's place fails the open with ELOOP: that is a refusal too.
  if (fd.get() < 0) return Fail(errno == ELOOP ? EACCES : errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return Fail(errno);
  if (!OwnFile(st)) return Fail(EACCES);
  std::string out = text;
  char last = '\n';
  if (st.st_size > 0 && pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n') {
    out.insert(out.begin(), '\n');
  }
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = write(fd.get(), out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  return fd.Close() || Fail(errno);
}

}  // namespace keldor
