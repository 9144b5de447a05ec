// What Keldor reads of the fleet: the outbox file it wrote before a crash, the
// rows of keldor.bans others wrote (split into columns at 0x1F, rows at 0x1E)
// and put into effect here, and the notifications' channel and payload.
#include <cstdlib>
#include <string>
#include <vector>

#include "fleet/fleet.h"
#include "fleet/outbox.h"
#include "fleet/records.h"
#include "fuzz_support.h"

namespace {

// No identifier may end a list line or a console command early.
void CheckIdentifier(const std::string& id) {
  if (id.find_first_of(" ,\"\r\n\t") != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  const std::string input(reinterpret_cast<const char*>(data), size);

  fuzz::WriteBytes(OutboxPath(), data, size);
  std::deque<FleetChange> changes;
  LoadOutbox(changes);
  for (const FleetChange& change : changes) {
    FleetChange again;
    if (!DecodeChange(EncodeChange(change), again) || again.fields != change.fields) std::abort();
  }

  std::vector<FleetBanRow> rows;
  std::size_t start = 0;
  while (start <= input.size() && rows.size() < 64) {
    const std::size_t end = std::min(input.find('\x1e', start), input.size());
    std::vector<std::string> columns;
    std::size_t at = start;
    while (at <= end) {
      const std::size_t cut = std::min(input.find('\x1f', at), end);
      columns.push_back(input.substr(at, cut - at));
      at = cut + 1;
    }
    FleetBanRow row;
    if (ParseFleetBanRow(columns, row)) {
      for (const std::string* id : {&row.address, &row.keyhash, &row.guid}) CheckIdentifier(*id);
      rows.push_back(row);
    }
    NotificationWanted(columns[0].c_str(), input.c_str() + start, "a");
    start = end + 1;
  }
  ApplyFleetRows(rows, "a", !input.empty() && input[0] == 'r');
  return 0;
}
