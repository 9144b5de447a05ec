// A user list uploaded by a client, merged into the accounts it may change.
#include "fuzz_support.h"
#include "remote/accounts.h"
#include "remote/sessions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  static const std::uint8_t kAccounts[] = "fuzz,fuzz,,4294967295,1\nother,other,,1,1\n";
  const std::string accounts = fuzz::SettingsPath("useraccess.con");
  fuzz::WriteBytes(accounts, kAccounts, sizeof kAccounts - 1);
  LoadUserAccounts(accounts);
  fuzz::SeatAdministrator(-1);
  const std::string upload = fuzz::WorkDir() + "/upload.tmp";
  fuzz::WriteBytes(upload, data, size);
  MergeUserList(upload, kFirstClientSlot);
  return 0;
}
