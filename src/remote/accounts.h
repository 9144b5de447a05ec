// User accounts of remote administrators and their access rights: the account
// table, useraccess.con (enciphered or typed in plain), the login decision, the
// user list exchanged with clients and the password change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/cipher.h"
#include "wire/rights.h"  // kAdminRights

namespace keldor {

constexpr std::size_t kMaxAccounts = 100;
// Longest line or token taken from an account file; no valid line comes close.
constexpr std::size_t kAccountLineMax = 1023;
constexpr std::size_t kRandomStringMax = 32;

constexpr std::uint32_t kRightLoginTwice = 0x4000;
constexpr std::uint32_t kRightsExamined = 0x3FFFF;  // bits 0 to 17

struct UserAccount {
  std::string name;  // empty: this entry and every one after it are unused
  std::string password;
  std::string keyhash;
  std::uint32_t rights = 0;
  std::int32_t active = 0;  // 0 = disabled
};

using AccountTable = std::array<UserAccount, kMaxAccounts>;

// The accounts in file order, as last loaded or merged.
const AccountTable& UserAccounts();
// Empties the table and puts the random string generator back to its start.

// Results of CheckLogin; the handshake adds 7 (no free client slot).
enum LoginResult : int {
  kLoginAccepted = 0,
  kLoginUnknownName = 1,
  kLoginBadPassword = 2,
  kLoginDisabled = 3,
  kLoginNoRights = 4,
  kLoginNoAccounts = 5,
  kLoginAlreadyIn = 6,
};

// Replaces the table with the file's accounts; plain-text fields make it
// rewrite the file enciphered.
bool LoadUserAccounts(const std::string& path);
// Writes the table to the file, every field enciphered with fresh filler.
bool SaveUserAccounts(const std::string& path);
// Reads useraccess.con in the settings directory (not the table) and decides a
// login; `rights` receives the account's mask when the result is 0.
int CheckLogin(const std::string& name, const std::string& password, std::uint32_t* rights);

// The index of the first account that belongs to the player with this key hash
// (any case) and may act, with its rights; -1 when none. A disabled account or
// one without rights grants nothing in the game either, as it cannot log in.
int FindAccountByKeyhash(const std::string& keyhash, std::uint32_t* rights);

// An account name holds no double quote, comma or control character (line
// ends included): names are written into quoted, comma-separated lines (the
// client list) and into the log. An empty name is none of these.
bool ValidAccountName(const std::string& name);
// `name` with every character an account name may not hold replaced by '?',
// for a typed name that is kept or logged.
std::string ShownAccountName(const std::string& name);

// "SGFIATMPBUHC", upper case for granted letters, or "-- admin --".
std::string RightsText(std::uint32_t mask);
// True when every bit 0..17 of `candidate` is also in `owner`; the administrator
// mask is within the administrator alone.
bool RightsWithin(std::uint32_t owner, std::uint32_t candidate);

// Applies a user list uploaded by the client in `slot` and saves the table.
bool MergeUserList(const std::string& path, int slot);
// Writes the stored lines the client in `slot` may see to `path`.
bool WriteUserListFor(const std::string& path, int slot);
// Replaces the password of the account named exactly `user`, in the file and the table.
bool ChangeUserPass(const std::string& user, const std::string& password);

// min(length, 32) characters in '0'..'y' from the lagged generator.
std::string RandomString(std::size_t length);

// Fuzz runs: where EncipherField takes its filler instead (nullptr: the lagged
// generator). The generator churns some 40,000 steps for every field saved, which
// would be nearly all of a run that saves the accounts for each of its inputs.
using FillerSource = std::string (*)(std::size_t length);
void SetFillerSource(FillerSource source);

// One credential field as stored, with filler from the lagged generator (the
// field format and DecipherField are in wire/cipher.h).
std::string EncipherField(const std::string& value, std::size_t fieldSize);

}  // namespace keldor
