// Stand-ins for what the status text needs from subsystems not built yet
// (rotation files, player table).
#include <string>

#include "remote/status_standins.h"

namespace keldor {

std::string CurrentMapText() {
  return "??";
}
std::string CurrentLevelText() {
  return "??";
}
std::string TeamScoresText() {
  return "??";
}
std::string TeamSizesText() {
  return "??";
}

}  // namespace keldor
