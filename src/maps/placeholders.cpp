// Stand-in for the map rotation until it is built: no combo is known.
#include "maps/rotation.h"

namespace keldor {

const char* CurrentLevelCombo() {
  return nullptr;
}

}  // namespace keldor
