// The map rotation: servermaplist.con, the current and next map combo.
#pragma once

namespace keldor {

// The combo ("map mode mod") the rotation designates, or the current map
// override while one is set; nullptr on a file error.
const char* CurrentLevelCombo();

}  // namespace keldor
