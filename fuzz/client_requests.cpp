// The request stream of a logged-in administrator: every request, the file
// messages included. The login itself is made here, so that every input
// reaches the requests.
#include <vector>

#include "client_driver.h"
#include "fuzz_support.h"
#include "wire/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size > 65536) return -1;
  fuzz::FreshState();
  fuzz::LoadFuzzAccounts();
  std::vector<std::uint8_t> stream;
  for (const char* text : {"fuzz", "fuzz"}) {
    const CredentialField field = EncodeCredential(text);
    stream.insert(stream.end(), field.begin(), field.end());
  }
  stream.push_back(PROTOCOL_VERSION);
  stream.insert(stream.end(), data, data + size);
  fuzz::RunClientConnection(stream.data(), stream.size());
  return 0;
}
