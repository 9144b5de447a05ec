// useraccess.con in either form (plain or enciphered), as read at start-up.
#include "fuzz_support.h"
#include "remote/accounts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  // Where a login reads it, so that the check below reads this file too.
  const std::string path = fuzz::SettingsPath("useraccess.con");
  fuzz::WriteBytes(path, data, size);
  if (LoadUserAccounts(path)) {
    std::uint32_t rights = 0;
    CheckLogin("admin", "admin", &rights);
    SaveUserAccounts(path);
  }
  return 0;
}
