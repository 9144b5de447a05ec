// serverschedule.con: read at start-up and uploaded by clients.
#include "core/clock.h"
#include "fuzz_support.h"
#include "schedule/scheduler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  const std::string path = fuzz::SettingsPath("serverschedule.con");
  fuzz::WriteBytes(path, data, size);
  if (LoadSchedule(path)) SaveSchedule(path);
  return 0;
}
