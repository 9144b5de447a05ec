// Noticing that servermanager.con was changed by hand while Keldor runs: the
// file is compared with what it was when Keldor last read or wrote it.
#include <sys/stat.h>

#include <string>

#include "settings/settings.h"

namespace keldor {

namespace {

// What identifies one version of the file: a rewrite through a rename gives a
// new inode, an edit in place a new time or size.
struct FileStamp {
  bool known = false;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t seconds = 0;
  long nanoseconds = 0;
};

FileStamp g_stamp;

bool StampOf(const std::string& path, FileStamp* stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *stamp = {true,
            path,
            st.st_dev,
            st.st_ino,
            st.st_size,
            static_cast<std::int64_t>(st.st_mtim.tv_sec),
            st.st_mtim.tv_nsec};
  return true;
}

bool SameVersion(const FileStamp& a, const FileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.seconds == b.seconds &&
         a.nanoseconds == b.nanoseconds;
}

}  // namespace

void RememberSettingsFile(const std::string& path) {
  if (!StampOf(path, &g_stamp)) g_stamp = {};
}

bool SettingsFileEdited(const std::string& path) {
  FileStamp now;
  // A file that is gone has nothing to read; the next save writes it again.
  if (!StampOf(path, &now)) return false;
  if (!g_stamp.known || g_stamp.path != path) {
    g_stamp = now;
    return false;
  }
  if (SameVersion(now, g_stamp)) return false;
  g_stamp = now;
  return true;
}

}  // namespace keldor
