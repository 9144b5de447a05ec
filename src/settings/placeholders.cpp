// Stand-ins for the settings file operations until they are built: a missing or
// empty servermanager.con reads as "no file", anything else as loaded unchanged.
#include <sys/stat.h>

#include <cerrno>

#include "core/helpers.h"
#include "core/state.h"
#include "settings/settings.h"

namespace keldor {

bool ApplySettingsFile(const std::string& path, std::int32_t, int) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || st.st_size == 0) return Fail(ENOENT);
  return true;
}

bool SaveSettingsFile(const std::string& path, std::int32_t) {
  return EnsureFile(path, EnsureMode::kTruncate);
}

}  // namespace keldor
