// useraccess.con in either form (plain or enciphered), as read at start-up.
#include "fuzz_support.h"
#include "remote/accounts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  const std::string path = fuzz::WorkDir() + "/useraccess.con";
  fuzz::WriteBytes(path, data, size);
  if (LoadUserAccounts(path)) {
    std::uint32_t rights = 0;
    CheckLogin("admin", "admin", &rights);
    SaveUserAccounts(path);
  }
  return 0;
}
