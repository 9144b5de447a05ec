// The request stream of a logged-in administrator: every request, the file
// messages included. The login itself is made by the harness, so that every
// input reaches the requests.
#include "client_driver.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size > 65536) return -1;
  fuzz::FreshState();
  fuzz::LoadFuzzAccounts();
  fuzz::RunLoggedInConnection(data, size);
  return 0;
}
