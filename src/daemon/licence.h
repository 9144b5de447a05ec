// The licence agreement text.
#pragma once

namespace keldor {

const char* LicenceText();

}  // namespace keldor
