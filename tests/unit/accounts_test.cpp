// User accounts: useraccess.con in both forms, logins, rights, the user list
// exchange with clients and the password change. The login refusals with their
// texts and log lines are shown end to end in client_test.
#include "remote/accounts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "core/error.h"
#include "remote/sessions.h"
#include "runtime/options.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kHash = "00112233445566778899aabbccddeeff";

class Accounts : public testing::StateTest {
 protected:
  // A logged-in client as the slot table holds it (the socket number only marks it in use).
  static void TakeSlot(int slot, const std::string& name, std::uint32_t rights) {
    Connections()[slot] = Connection{100 + slot, name, "10.1.1.1:5000", rights, {}};
  }
  std::string File() const { return Opts().settingsDir + "/useraccess.con"; }
  // Plain lines loaded into the table (and so rewritten enciphered).
  void LoadPlain(const std::string& lines) {
    WriteFile(File(), lines);
    ASSERT_TRUE(LoadUserAccounts(File()));
  }
  static std::string Plain(const std::string& name, std::uint32_t rights) {
    return name + ",pw," + kHash + "," + std::to_string(rights) + ",1\n";
  }
  static std::string Line(const std::string& name, const std::string& password,
                          std::uint32_t rights, int active = 1) {
    return EncipherField(name, kNameFieldSize) + "," + EncipherField(password, kPasswordFieldSize) +
           "," + EncipherField(kHash, kKeyHashFieldSize) + "," + std::to_string(rights) + "," +
           std::to_string(active) + "\n";
  }
  static int Login(const std::string& name, const std::string& password,
                   std::uint32_t* rights = nullptr) {
    std::uint32_t ignored = 0;
    return CheckLogin(name, password, rights != nullptr ? rights : &ignored);
  }
};

TEST_F(Accounts, PlainLinesAreCutLoadedAndTheFileRewrittenEnciphered) {
  EXPECT_FALSE(LoadUserAccounts(File()));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_TRUE(Logged("Couldn't open user access file! "));

  // Fields are cut to their width; a password of hex length that is not hex is plain.
  const std::string notHex = std::string(63, 'A') + "G";
  LoadPlain(std::string(40, 'n') + "," + notHex + "," + kHash + "ff,4294967295,1\n");
  const UserAccount& account = UserAccounts()[0];
  EXPECT_EQ(account.name, std::string(31, 'n'));
  EXPECT_EQ(account.password, notHex.substr(0, 31));
  EXPECT_EQ(account.keyhash, kHash);
  EXPECT_EQ(account.rights, kAdminRights);

  const std::string stored = ReadFile(File());
  EXPECT_TRUE(
      std::regex_match(stored, std::regex("[0-9A-F]{64},[0-9A-F]{64},[0-9A-F]{66},4294967295,1\n")))
      << stored;
  // An enciphered file loads the same and is left as it is.
  ASSERT_TRUE(LoadUserAccounts(File()));
  EXPECT_EQ(UserAccounts()[0].password, notHex.substr(0, 31));
  EXPECT_EQ(ReadFile(File()), stored);
}

TEST_F(Accounts, LinesThatCannotBeLoadedKeepTheFileFromBeingRewritten) {
  const std::string skipped = "short,line,only\n" + std::string(2000, 'x') + "\n" + ",nameless," +
                              kHash + ",1,1\nAnn,pw," + kHash + ",1,1\n";
  LoadPlain(skipped);
  EXPECT_EQ(UserAccounts()[0].name, "Ann");
  EXPECT_EQ(ReadFile(File()), skipped);
  EXPECT_TRUE(Logged("Skipped a line of more than 1023 characters"));
  EXPECT_TRUE(Logged("not rewritten enciphered"));

  std::string overfull;
  for (int k = 0; k < 105; ++k) overfull += Plain("user" + std::to_string(k), 1);
  LoadPlain(overfull);
  EXPECT_EQ(UserAccounts()[99].name, "user99");
  EXPECT_TRUE(Logged("more than 100 accounts"));
  EXPECT_EQ(ReadFile(File()), overfull);
}

// The refusals and the second-login rule are shown end to end in client_test.
TEST_F(Accounts, LoginsIgnoreCaseAndTakeTheFirstMatch) {
  WriteFile(File(), "not-an-account\n");
  EXPECT_EQ(Login("anyone", "pw"), kLoginNoAccounts);  // no complete line
  WriteFile(File(), Line("Carol", "First", 0x1) + Line("CAROL", "Second", 0x2));
  std::uint32_t rights = 0;
  EXPECT_EQ(Login("carol", "FIRST", &rights), kLoginAccepted);
  EXPECT_EQ(rights, 0x1U);
  EXPECT_EQ(Login("carol", "Second"), kLoginBadPassword);
}

TEST_F(Accounts, RightsTextAndRightsWithin) {
  EXPECT_EQ(RightsText(kAdminRights), "-- admin --");
  EXPECT_EQ(RightsText(0x881 | 0x1000), "SgfiatmPbuhC");
  // Bits 18 to 31 are never examined, on either side; but every right of a
  // letter is not the administrator, who alone may make or touch another.
  EXPECT_FALSE(RightsWithin(0x3FFFF, kAdminRights));
  EXPECT_TRUE(RightsWithin(kAdminRights, kAdminRights));
  EXPECT_TRUE(RightsWithin(0x3FFFF, 0xFFFC0001));
  EXPECT_FALSE(RightsWithin(0xFFFC0000 | 0x1FFFF, 0x20000));
  EXPECT_FALSE(RightsWithin(0x40, 0x41));
  EXPECT_EQ(RandomString(33).size(), 32U);
}

class Merge : public Accounts {
 protected:
  void SetUp() override {
    Accounts::SetUp();
    LoadPlain(Plain("Root", kAdminRights) + Plain("Ops", 64) + Plain("Boss", 262143) + "Maps,old," +
              kHash + ",64,1\n");
    TakeSlot(2, "dave", 0xC0);  // M and P
    upload_ = dir_ / "upload.con";
  }
  std::string upload_;
};

TEST_F(Merge, AlertsForGrantingUpdatingAndDeletingBeyondOnesRights) {
  WriteFile(upload_, Line("Root", "stolen", 0x40) + Line("Greedy", "pw", 0x100) +
                         Line("Maps", "new", 0x80, 0) + Line("Newbie", "pw", 0x40));
  ASSERT_TRUE(MergeUserList(upload_, 2));

  const std::string who = "User dave at 10.1.1.1:5000 ";
  EXPECT_TRUE(Logged("SECURITY ALERT! " + who +
                     "attempted to update a user account Root that has greater access!"));
  EXPECT_TRUE(Logged("SECURITY ALERT! " + who +
                     "attempted to grant access they don't have to account "
                     "Greedy!"));
  EXPECT_TRUE(Logged("SECURITY ALERT! " + who +
                     "attempted to delete a user account Boss that has greater access!"));
  EXPECT_TRUE(Logged(who + "deleted user account Ops."));
  EXPECT_TRUE(Logged(who + "added user account Newbie."));

  // Saved as the table now stands: Ops gone, Root unchanged, Maps updated.
  ASSERT_TRUE(LoadUserAccounts(File()));
  const AccountTable& table = UserAccounts();
  EXPECT_EQ(table[0].name + "," + table[0].password, "Root,pw");
  EXPECT_EQ(table[1].name, "Boss");
  EXPECT_EQ(table[2].name + "," + table[2].password, "Maps,new");
  EXPECT_EQ(table[2].rights, 0x80U);
  EXPECT_EQ(table[3].name, "Newbie");
}

TEST_F(Merge, NamesMatchExactlyForUpdatesButInAnyCaseForKeeping) {
  // "maps" is a new account beside "Maps", and its presence keeps "Maps"; "OPS" keeps "Ops".
  WriteFile(upload_, Line("maps", "pw", 0x40) + Line("OPS", "pw", 0x40) +
                         Line("Root", "pw", kAdminRights) + Line("Boss", "pw", 0) + "garbage\n");
  TakeSlot(2, "dave", kAdminRights);
  ASSERT_TRUE(MergeUserList(upload_, 2));
  // Named by its sender: the temporary file is gone once merged.
  EXPECT_TRUE(
      Logged("Skipped a line without five fields in the user list uploaded by user dave at "
             "10.1.1.1:5000."));
  const AccountTable& table = UserAccounts();
  EXPECT_EQ(table[1].name, "Ops");
  EXPECT_EQ(table[3].name + "," + table[3].password, "Maps,old");
  EXPECT_EQ(table[4].name, "maps");
  EXPECT_EQ(table[5].name, "OPS");
}

TEST_F(Merge, AFullTableRefusesAnAdditionWithoutOverrunning) {
  std::string text;
  std::string upload;
  for (int k = 0; k < 100; ++k) {
    text += Plain("user" + std::to_string(k), 1);
    upload += Line("user" + std::to_string(k), "pw", 1);
  }
  LoadPlain(text);
  WriteFile(upload_, upload + Line("extra", "pw", 1));
  ASSERT_TRUE(MergeUserList(upload_, 0));  // slot 0 is Keldor itself, with every right
  EXPECT_TRUE(Logged(
      "User operator at console couldn't add user account extra! All 100 accounts are in use."));
  EXPECT_EQ(UserAccounts()[99].name, "user99");
}

TEST_F(Merge, UserListShowsOnlyAccountsWithinTheClientsRightsAndNeverOverwritesTheFile) {
  const std::string list = dir_ / "userlist.tmp";
  ASSERT_TRUE(WriteUserListFor(list, 2));
  const std::string shown = ReadFile(list);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2);
  EXPECT_EQ(shown.find(",4294967295,"), std::string::npos);
  // Lines go out as stored, so the client's upload of them changes nothing.
  const std::string stored = ReadFile(File());
  TakeSlot(3, "eve", kAdminRights);
  ASSERT_TRUE(WriteUserListFor(list, 3));
  EXPECT_EQ(ReadFile(list), stored);

  std::string upper = File();  // whatever the letter case
  upper.replace(upper.size() - 14, 14, "USERACCESS.CON");
  EXPECT_FALSE(WriteUserListFor(upper, 3));
  EXPECT_EQ(ReadFile(File()), stored);
}

TEST_F(Accounts, PasswordChangeReachesTheAccountOfTheLoginOnlyAndSurvivesALaterSave) {
  // "Low" logs in as "low" (the first match in any case); its change must not
  // reach the administrator stored later as "low".
  LoadPlain(std::string("Low,a,") + kHash + ",64,1\nlow,b," + kHash + ",4294967295,1\n");
  ASSERT_TRUE(ChangeUserPass("low", "mine"));
  EXPECT_EQ(Login("Low", "mine"), kLoginAccepted);
  // No account, or an empty name or password: a failure, not a silent success.
  EXPECT_FALSE(ChangeUserPass("nobody", "x"));
  EXPECT_FALSE(ChangeUserPass("", "x"));
  EXPECT_FALSE(ChangeUserPass("Low", ""));
  // A save from the table (as after an upload) keeps the new password.
  ASSERT_TRUE(SaveUserAccounts(File()));
  ASSERT_TRUE(LoadUserAccounts(File()));
  EXPECT_EQ(UserAccounts()[0].password, "mine");
  EXPECT_EQ(UserAccounts()[1].password, "b");
}

}  // namespace
}  // namespace keldor
