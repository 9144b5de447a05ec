// TEMPORARY: until the game configuration files land from the settings branch.
#include "core/helpers.h"
#include "settings/game_config.h"

namespace keldor {
bool WriteServerSettings(const std::string& path) { return EnsureFile(path, EnsureMode::kTruncate); }
bool WriteServerAutoexec(const std::string& path) { return EnsureFile(path, EnsureMode::kTruncate); }
bool ReadServerSettings() { return true; }
bool PushServerSettings() { return true; }
}  // namespace keldor
