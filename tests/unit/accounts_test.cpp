// User accounts: useraccess.con in both forms, logins, rights, the user list
// exchange with clients and the password change.
#include "remote/accounts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "core/error.h"
#include "core/helpers.h"
#include "daemon/startup.h"
#include "remote/sessions.h"
#include "runtime/options.h"
#include "state_fixture.h"

namespace keldor {
namespace {

constexpr const char* kHash = "00112233445566778899aabbccddeeff";

class Accounts : public testing::StateTest {
 protected:
  // A logged-in client as the slot table holds it (the socket number only marks it in use).
  static void TakeSlot(int slot, const std::string& name, const std::string& address,
                       std::uint32_t rights) {
    ClientSlots()[slot] = ClientSlot{100 + slot, name, address, rights, ""};
  }
  std::string AccountsFile() const { return Opts().settingsDir + "/useraccess.con"; }
  static void Write(const std::string& path, const std::string& text) {
    testing::WriteFile(path, text);
  }
  static std::string Read(const std::string& path) { return testing::ReadFile(path); }
  // Plain lines loaded into the table (and so rewritten enciphered).
  void LoadPlain(const std::string& lines) {
    Write(AccountsFile(), lines);
    ASSERT_TRUE(LoadUserAccounts(AccountsFile()));
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

TEST_F(Accounts, PlainLineIsAcceptedAndTheFileRewrittenEnciphered) {
  LoadPlain(std::string("Bob,Secret,") + kHash + ",4294967295,1\n");
  const AccountTable& table = UserAccounts();
  EXPECT_EQ(table[0].name, "Bob");
  EXPECT_EQ(table[0].password, "Secret");
  EXPECT_EQ(table[0].keyhash, kHash);
  EXPECT_EQ(table[0].rights, kAdminRights);
  EXPECT_EQ(table[0].active, 1);
  EXPECT_TRUE(table[1].name.empty());

  const std::string stored = Read(AccountsFile());
  EXPECT_TRUE(
      std::regex_match(stored, std::regex("[0-9A-F]{64},[0-9A-F]{64},[0-9A-F]{66},4294967295,1\n")))
      << stored;
  std::uint32_t rights = 0;
  EXPECT_EQ(Login("bob", "Secret", &rights), kLoginAccepted);
  EXPECT_EQ(rights, kAdminRights);

  // An enciphered file loads the same and is left as it is.
  ASSERT_TRUE(LoadUserAccounts(AccountsFile()));
  EXPECT_EQ(UserAccounts()[0].password, "Secret");
  EXPECT_EQ(Read(AccountsFile()), stored);
}

TEST_F(Accounts, PlainFieldsAreCutAndBadHexIsTakenAsPlain) {
  const std::string longName(40, 'n');
  const std::string notHex = std::string(63, 'A') + "G";  // hex length, not hex
  LoadPlain(longName + "," + notHex + "," + kHash + "ff,64,1\n");
  EXPECT_EQ(UserAccounts()[0].name, std::string(31, 'n'));
  EXPECT_EQ(UserAccounts()[0].password, notHex.substr(0, 31));
  EXPECT_EQ(UserAccounts()[0].keyhash, kHash);
}

TEST_F(Accounts, UnloadableLinesAreSkippedAndKeepTheFileFromBeingRewritten) {
  const std::string text = "short,line,only\n" + std::string(2000, 'x') + "\n" + ",nameless," +
                           kHash + ",1,1\nAnn,pw," + kHash + ",1,1\n";
  LoadPlain(text);
  EXPECT_EQ(UserAccounts()[0].name, "Ann");
  EXPECT_TRUE(UserAccounts()[1].name.empty());
  // Rewriting would have lost the lines that could not be loaded.
  EXPECT_EQ(Read(AccountsFile()), text);
  EXPECT_NE(Log().find("Skipped a line of more than 1023 characters"), std::string::npos);
  EXPECT_NE(Log().find("not rewritten enciphered"), std::string::npos);
}

TEST_F(Accounts, TableHoldsAtMostOneHundredAccounts) {
  std::string text;
  for (int k = 0; k < 105; ++k) text += "user" + std::to_string(k) + ",pw," + kHash + ",1,1\n";
  LoadPlain(text);
  EXPECT_EQ(UserAccounts()[99].name, "user99");
  EXPECT_NE(Log().find("more than 100 accounts"), std::string::npos);
  EXPECT_EQ(Read(AccountsFile()), text);
}

TEST_F(Accounts, MissingFileFailsTheLoad) {
  EXPECT_FALSE(LoadUserAccounts(AccountsFile()));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_NE(Log().find("Couldn't open user access file! "), std::string::npos);
}

TEST_F(Accounts, LoginResultsOneToSix) {
  EXPECT_EQ(Login("anyone", "pw"), kLoginNoAccounts);  // no file
  Write(AccountsFile(), "not-an-account\n");
  EXPECT_EQ(Login("anyone", "pw"), kLoginNoAccounts);  // no complete line

  Write(AccountsFile(), Line("Alice", "Wonder", 0x40) + Line("Off", "pw", 0x40, 0) +
                            Line("Nobody", "pw", 0) + Line("Root", "pw", kAdminRights) +
                            Line("Twice", "pw", 0x4040));
  std::uint32_t rights = 0;
  EXPECT_EQ(Login("Alice", "Wonder", &rights), kLoginAccepted);
  EXPECT_EQ(rights, 0x40U);
  EXPECT_EQ(Login("Mallory", "Wonder"), kLoginUnknownName);
  EXPECT_EQ(Login("Alice", "Wonderland"), kLoginBadPassword);
  EXPECT_EQ(Login("Off", "pw"), kLoginDisabled);
  EXPECT_EQ(Login("Nobody", "pw"), kLoginNoRights);

  TakeSlot(5, "ALICE", "10.0.0.1:4000", 0x40);
  TakeSlot(6, "root", "10.0.0.2:4000", kAdminRights);
  TakeSlot(7, "twice", "10.0.0.3:4000", 0x4040);
  EXPECT_EQ(Login("alice", "Wonder"), kLoginAlreadyIn);
  EXPECT_EQ(Login("Root", "pw"), kLoginAccepted);  // the administrator has bit 14
  EXPECT_EQ(Login("Twice", "pw"), kLoginAccepted);
}

TEST_F(Accounts, NamesAndPasswordsIgnoreCaseAndTheFirstMatchDecides) {
  Write(AccountsFile(), Line("Carol", "First", 0x1) + Line("CAROL", "Second", 0x2));
  std::uint32_t rights = 0;
  EXPECT_EQ(Login("carol", "FIRST", &rights), kLoginAccepted);
  EXPECT_EQ(rights, 0x1U);
  EXPECT_EQ(Login("carol", "Second"), kLoginBadPassword);
}

TEST_F(Accounts, RightsTextAndRightsWithin) {
  EXPECT_EQ(RightsText(kAdminRights), "-- admin --");
  EXPECT_EQ(RightsText(0), "sgfiatmpbuhc");
  EXPECT_EQ(RightsText(0xFFF), "SGFIATMPBUHC");
  EXPECT_EQ(RightsText(0x881 | 0x1000), "SgfiatmPbuhC");

  // Bits 18 to 31 are never examined, on either side.
  EXPECT_TRUE(RightsWithin(0x3FFFF, kAdminRights));
  EXPECT_TRUE(RightsWithin(0, 0xFFFC0000));
  EXPECT_FALSE(RightsWithin(0xFFFC0000 | 0x1FFFF, 0x20000));
  EXPECT_TRUE(RightsWithin(0x41, 0x40));
  EXPECT_FALSE(RightsWithin(0x40, 0x41));
}

TEST_F(Accounts, RandomStringGivesAtMost32CharactersFromZeroToY) {
  const std::string text = RandomString(33);
  ASSERT_EQ(text.size(), 32U);
  for (char c : text) {
    EXPECT_GE(c, '0');
    EXPECT_LE(c, 'y');
  }
  EXPECT_EQ(RandomString(5).size(), 5U);
  EXPECT_EQ(RandomString(0), "");
  // The generator goes on from its last state, so calls in the same second differ.
  EXPECT_NE(RandomString(32), RandomString(32));
}

TEST_F(Accounts, EncipheredFieldsCarryRandomFillerAndDecipherToTheValue) {
  const std::string a = EncipherField("name", kNameFieldSize);
  const std::string b = EncipherField("name", kNameFieldSize);
  EXPECT_EQ(a.size(), 64U);
  EXPECT_EQ(a.substr(0, 10), b.substr(0, 10));  // "name" and its NUL
  EXPECT_NE(a, b);
  bool plain = true;
  EXPECT_EQ(DecipherField(a, kNameFieldSize, &plain), "name");
  EXPECT_FALSE(plain);
  EXPECT_EQ(DecipherField(EncipherField(kHash, kKeyHashFieldSize), kKeyHashFieldSize, &plain),
            kHash);
}

class Merge : public Accounts {
 protected:
  void SetUp() override {
    Accounts::SetUp();
    LoadPlain(std::string("Root,pw,") + kHash + ",4294967295,1\nOps,pw," + kHash +
              ",64,1\nBoss,pw," + kHash + ",262143,1\nMaps,old," + kHash + ",64,1\n");
    TakeSlot(2, "dave", "10.1.1.1:5000", 0xC0);  // M and P
    upload_ = dir_ / "upload.con";
  }
  std::string upload_;
};

TEST_F(Merge, AlertsForGrantingUpdatingAndDeletingBeyondOnesRights) {
  Write(upload_, Line("Root", "stolen", 0x40) + Line("Greedy", "pw", 0x100) +
                     Line("Maps", "new", 0x80, 0) + Line("Newbie", "pw", 0x40));
  ASSERT_TRUE(MergeUserList(upload_, 2));

  const std::string log = Log();
  EXPECT_NE(log.find("SECURITY ALERT! User dave at 10.1.1.1:5000 attempted to update a user "
                     "account Root that has greater access!"),
            std::string::npos);
  EXPECT_NE(log.find("SECURITY ALERT! User dave at 10.1.1.1:5000 attempted to grant access they "
                     "don't have to account Greedy!"),
            std::string::npos);
  EXPECT_NE(log.find("SECURITY ALERT! User dave at 10.1.1.1:5000 attempted to delete a user "
                     "account Boss that has greater access!"),
            std::string::npos);
  EXPECT_NE(log.find("User dave at 10.1.1.1:5000 deleted user account Ops."), std::string::npos);
  EXPECT_NE(log.find("User dave at 10.1.1.1:5000 added user account Newbie."), std::string::npos);
  EXPECT_EQ(log.find("account Maps."), std::string::npos);  // updates are not logged

  // Saved as the table now stands: Ops gone, Root unchanged, Maps updated.
  ASSERT_TRUE(LoadUserAccounts(AccountsFile()));
  const AccountTable& table = UserAccounts();
  EXPECT_EQ(table[0].name, "Root");
  EXPECT_EQ(table[0].password, "pw");
  EXPECT_EQ(table[1].name, "Boss");
  EXPECT_EQ(table[2].name, "Maps");
  EXPECT_EQ(table[2].password, "new");
  EXPECT_EQ(table[2].rights, 0x80U);
  EXPECT_EQ(table[2].active, 0);
  EXPECT_EQ(table[3].name, "Newbie");
  EXPECT_TRUE(table[4].name.empty());
}

TEST_F(Merge, NamesMatchExactlyForUpdatesButInAnyCaseForKeeping) {
  // "maps" is a new account beside "Maps", and its presence keeps "Maps" and "OPS" keeps "Ops".
  Write(upload_, Line("maps", "pw", 0x40) + Line("OPS", "pw", 0x40) + Line("Root", "pw", 0) +
                     Line("Boss", "pw", 0) + "garbage\n" + std::string(1500, 'x') + "\n");
  TakeSlot(2, "dave", "10.1.1.1:5000", kAdminRights);
  ASSERT_TRUE(MergeUserList(upload_, 2));
  EXPECT_NE(Log().find("Skipped a line without five fields in " + upload_), std::string::npos);
  EXPECT_NE(Log().find("Skipped a line of more than 1023 characters in " + upload_),
            std::string::npos);
  const AccountTable& table = UserAccounts();
  EXPECT_EQ(table[3].name, "Maps");
  EXPECT_EQ(table[3].password, "old");
  EXPECT_EQ(table[4].name, "maps");
  EXPECT_EQ(table[5].name, "OPS");
  EXPECT_EQ(table[1].name, "Ops");
}

TEST_F(Merge, AFullTableRefusesAnAdditionWithoutOverrunning) {
  std::string text;
  std::string upload;
  for (int k = 0; k < 100; ++k) {
    text += "user" + std::to_string(k) + ",pw," + kHash + ",1,1\n";
    upload += Line("user" + std::to_string(k), "pw", 1);
  }
  LoadPlain(text);
  Write(upload_, upload + Line("extra", "pw", 1));
  ASSERT_TRUE(MergeUserList(upload_, 0));  // slot 0 is Keldor itself, with every right
  EXPECT_NE(Log().find("User operator at console couldn't add user account extra! All 100 "
                       "accounts are in use."),
            std::string::npos);
  EXPECT_EQ(UserAccounts()[99].name, "user99");
}

TEST_F(Merge, UnreadableUploadChangesNothing) {
  const std::string before = Read(AccountsFile());
  EXPECT_FALSE(MergeUserList(dir_ / "missing.con", 2));
  EXPECT_EQ(Read(AccountsFile()), before);
  EXPECT_EQ(UserAccounts()[1].name, "Ops");
}

TEST_F(Merge, UserListShowsOnlyAccountsWithinTheClientsRights) {
  const std::string list = dir_ / "userlist.tmp";
  ASSERT_TRUE(WriteUserListFor(list, 2));
  const std::string shown = Read(list);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2);
  EXPECT_NE(shown.find(",64,1\n"), std::string::npos);
  EXPECT_EQ(shown.find(",4294967295,"), std::string::npos);
  // Lines go out as stored, so the client's upload of them changes nothing.
  const std::string stored = Read(AccountsFile());
  std::istringstream lines(shown);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(stored.find(line + "\n"), std::string::npos);
  }

  TakeSlot(3, "eve", "10.1.1.2:5000", kAdminRights);
  ASSERT_TRUE(WriteUserListFor(list, 3));
  EXPECT_EQ(Read(list), stored);

  // Never over the real file, whatever the letter case.
  std::string upper = AccountsFile();
  upper.replace(upper.size() - 14, 14, "USERACCESS.CON");
  EXPECT_FALSE(WriteUserListFor(upper, 3));
  EXPECT_EQ(Read(AccountsFile()), stored);
}

TEST_F(Merge, PasswordChangeReachesTheAccountOfTheLoginAndSurvivesALaterSave) {
  ASSERT_TRUE(ChangeUserPass("Maps", "fresh"));
  EXPECT_EQ(Login("maps", "fresh"), kLoginAccepted);
  EXPECT_EQ(Login("maps", "old"), kLoginBadPassword);
  EXPECT_FALSE(std::filesystem::exists(Opts().settingsDir + "/UserAccess.tmp"));

  // A login in another letter case reaches the stored account, so does the change.
  ASSERT_TRUE(ChangeUserPass("ops", "renewed"));
  EXPECT_EQ(Login("Ops", "renewed"), kLoginAccepted);
  EXPECT_FALSE(ChangeUserPass("nobody", "x"));  // no account: a failure, not a silent success

  // A save from the table (as after an upload) keeps the new password.
  ASSERT_TRUE(SaveUserAccounts(AccountsFile()));
  EXPECT_EQ(Login("Maps", "fresh"), kLoginAccepted);

  EXPECT_FALSE(ChangeUserPass("", "x"));
  EXPECT_FALSE(ChangeUserPass("Maps", ""));
}

TEST_F(Accounts, PasswordChangeNeverReachesALaterAccountOfTheSameName) {
  // "Low" logs in as "low" (the first match in any case); its change must not
  // reach the administrator stored later as "low".
  LoadPlain(std::string("Low,a,") + kHash + ",64,1\nlow,b," + kHash + ",4294967295,1\n");
  ASSERT_TRUE(ChangeUserPass("low", "mine"));
  EXPECT_EQ(Login("Low", "mine"), kLoginAccepted);
  LoadUserAccounts(AccountsFile());
  EXPECT_EQ(UserAccounts()[1].password, "b");
}

}  // namespace
}  // namespace keldor
