// announcements.con, read a line at a time as the announcements come due.
#include "fuzz_support.h"
#include "runtime/job_queue.h"
#include "schedule/announcements.h"
#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  fuzz::WriteBytes(fuzz::SettingsPath("announcements.con"), data, size);
  Row(Setting::AutoAnnouncePeriod).current = 0;
  for (int i = 0; i < 8; ++i) {
    AnnounceNext();
    ClearJobQueue();
  }
  return 0;
}
