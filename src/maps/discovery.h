// Discovery of the installed mods and maps: mods.con and maps.con.
#pragma once

#include <string>

namespace keldor {

bool WriteModsFile(const std::string& path);
bool WriteMapsFile(const std::string& path);

}  // namespace keldor
