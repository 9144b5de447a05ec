// The login handshake as a client sends it, and whatever follows it.
#include "client_driver.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size > 65536) return -1;
  fuzz::FreshState();
  fuzz::LoadFuzzAccounts();
  fuzz::RunClientConnection(data, size);
  return 0;
}
