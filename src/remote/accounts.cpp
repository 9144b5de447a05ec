// User accounts: the table, useraccess.con in both its forms, the login check,
// the user list exchange with clients, the password change and the random
// filler that pads every enciphered field.
#include "remote/accounts.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "remote/sessions.h"
#include "runtime/options.h"
#include "wire/cipher.h"

namespace keldor {

namespace {

constexpr int kFieldCount = 5;
constexpr const char* kAccessLetters = "SGFIATMPBUHC";

// The lagged generator behind RandomString; it is never reseeded, every call
// goes on from where the last one left it.
constexpr std::size_t kRandomWords = 533;

struct RandomState {
  std::array<std::uint32_t, kRandomWords> s{};
  std::size_t i = 0;
};

StateTable<AccountTable> g_accountTable;
StateTable<RandomState> g_randomState;
AccountTable& g_accounts = *g_accountTable;
RandomState& g_random = *g_randomState;
// Not state: set once by the process that wants it (see SetFillerSource).
FillerSource g_fillerSource = nullptr;

// The word `offset` places from the current index; offsets stay within one
// period, so a single wrap suffices.
std::uint32_t& Word(int offset) {
  const std::size_t base = g_random.i + kRandomWords;
  const std::size_t at = offset < 0 ? base - static_cast<std::size_t>(-offset)
                                    : base + static_cast<std::size_t>(offset);
  return g_random.s[at % kRandomWords];
}

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void Step() {
  std::uint32_t t = Word(0) + Word(-47);
  t = RotateLeft(t, 25) ^ Word(-173);
  t = RotateLeft(t, 3) - Word(17);
  t = RotateLeft(t, 31) + Word(-1);
  t ^= Word(211);
  Word(0) = t;
  g_random.i = (g_random.i + 1) % kRandomWords;
}

void Mix(std::uint32_t x) {
  Step();
  Word(0) ^= x;
}

void Churn(int n) {
  const long steps = static_cast<long>(n) * static_cast<long>(kRandomWords) + 570;
  for (long k = 0; k < steps; ++k) Step();
}

std::int32_t Next() {
  Churn(1);
  return static_cast<std::int32_t>(Word(0));
}

// One line of an account file split at its first four commas; the fifth field
// runs to the end.
using AccountFields = std::array<std::string, kFieldCount>;

bool SplitAccountLine(const std::string& line, AccountFields* fields) {
  std::size_t start = 0;
  for (int k = 0; k < kFieldCount - 1; ++k) {
    const std::size_t comma = line.find(',', start);
    if (comma == std::string::npos) return false;
    (*fields)[k] = line.substr(start, comma - start);
    start = comma + 1;
  }
  (*fields)[kFieldCount - 1] = line.substr(start);
  return true;
}

// Leading decimal digits as a rights mask; a value beyond 32 bits grants
// nothing rather than wrapping into some arbitrary mask.
std::uint32_t ParseRights(const std::string& field) {
  std::uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kAdminRights) return 0;
  }
  return static_cast<std::uint32_t>(value);
}

std::int32_t ParseActive(const std::string& field) {
  const long value = std::strtol(field.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

enum class ReadResult { kText, kTooLong, kEnd, kError };

// The next whitespace-delimited token, refused when longer than kAccountLineMax;
// an over-long token is consumed whole so that its tail is not taken for another.
ReadResult ReadToken(std::FILE* f, std::string* token) {
  token->clear();
  int c = std::fgetc(f);
  while (c != EOF && std::isspace(c)) c = std::fgetc(f);
  bool tooLong = false;
  for (; c != EOF && !std::isspace(c); c = std::fgetc(f)) {
    if (token->size() < kAccountLineMax) {
      token->push_back(static_cast<char>(c));
    } else {
      tooLong = true;
    }
  }
  if (std::ferror(f)) return ReadResult::kError;
  if (tooLong) return ReadResult::kTooLong;
  return token->empty() ? ReadResult::kEnd : ReadResult::kText;
}

// The next line without its line end and trailing blanks, refused when longer
// than kAccountLineMax; an over-long line is consumed whole.
ReadResult ReadLine(std::FILE* f, std::string* line) {
  switch (ReadTextLine(f, *line, kAccountLineMax)) {
    case LineRead::kEnd:
      return ReadResult::kEnd;
    case LineRead::kError:
      return ReadResult::kError;
    case LineRead::kTooLong:
      return ReadResult::kTooLong;
    case LineRead::kLine:
      break;
  }
  while (!line->empty() && std::isspace(static_cast<unsigned char>(line->back()))) line->pop_back();
  return ReadResult::kText;
}

using Reader = ReadResult (*)(std::FILE*, std::string*);

// Reads on to the next entry with five fields; false at the end or on a read
// error (then `*error` is set and ErrorCode holds errno). Over-long and short
// entries are passed over with a log line when `skipped` is given.
bool NextAccountLine(std::FILE* f, Reader read, const std::string& path, AccountFields* fields,
                     bool* error, int* skipped) {
  *error = false;
  std::string text;
  for (;;) {
    const ReadResult r = read(f, &text);
    if (r == ReadResult::kEnd) return false;
    if (r == ReadResult::kError) {
      *error = true;
      ErrorCode() = errno != 0 ? errno : EIO;
      return false;
    }
    if (r == ReadResult::kTooLong) {
      if (skipped != nullptr) {
        LogMessage(kLogInfo, "WARNING: Skipped a line of more than %zu characters in %s.",
                   kAccountLineMax, path.c_str());
        ++*skipped;
      }
      continue;
    }
    if (text.empty()) continue;
    if (SplitAccountLine(text, fields)) return true;
    if (skipped != nullptr) {
      LogMessage(kLogInfo, "WARNING: Skipped a line without five fields in %s.", path.c_str());
      ++*skipped;
    }
  }
}

FileHandle OpenAccountFile(const std::string& path, const char* mode) {
  FileHandle f =
      mode[0] == 'w' ? CreateSecretFile(path) : FileHandle(std::fopen(path.c_str(), mode));
  if (!f) {
    ErrorCode() = errno;
    LogMessage(kLogInfo, "Couldn't open user access file! %s", ErrorText(ErrorCode()));
  }
  return f;
}

void LogReadFailure() {
  LogMessage(kLogInfo, "Couldn't read user access file! %s", ErrorText(ErrorCode()));
}

std::string AccountsPath() {
  return Opts().settingsDir + "/useraccess.con";
}

bool SameText(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The number of entries in use: they end at the first empty name.
std::size_t UsedAccounts(const AccountTable& table) {
  std::size_t n = 0;
  while (n < kMaxAccounts && !table[n].name.empty()) ++n;
  return n;
}

UserAccount AccountFromFields(const AccountFields& fields, bool* plain) {
  bool p1 = false;
  bool p2 = false;
  bool p3 = false;
  UserAccount a;
  a.name = DecipherField(fields[0], kNameFieldSize, &p1);
  a.password = DecipherField(fields[1], kPasswordFieldSize, &p2);
  a.keyhash = DecipherField(fields[2], kKeyHashFieldSize, &p3);
  a.rights = ParseRights(fields[3]);
  a.active = ParseActive(fields[4]);
  if (plain != nullptr) *plain = p1 || p2 || p3;
  return a;
}

bool WriteAccountLine(std::FILE* f, const UserAccount& a) {
  const std::string name = EncipherField(a.name, kNameFieldSize);
  const std::string password = EncipherField(a.password, kPasswordFieldSize);
  const std::string keyhash = EncipherField(a.keyhash, kKeyHashFieldSize);
  return std::fprintf(f, "%s,%s,%s,%lu,%i\n", name.c_str(), password.c_str(), keyhash.c_str(),
                      static_cast<unsigned long>(a.rights), static_cast<int>(a.active)) > 0;
}

bool WriteStoredLine(std::FILE* f, const AccountFields& fields) {
  return std::fprintf(f, "%s,%s,%s,%s,%s\n", fields[0].c_str(), fields[1].c_str(),
                      fields[2].c_str(), fields[3].c_str(), fields[4].c_str()) > 0;
}

// Closes a file that was written; false with ErrorCode when anything was lost.
bool CloseWritten(FileHandle& f) {
  const bool failed = std::ferror(f.get()) != 0;
  const int savedErrno = errno;
  if (!CloseFile(f) || failed) return Fail(failed && savedErrno != 0 ? savedErrno : errno);
  return true;
}

// A merge works on a copy of the table: it replaces the table only when the
// result is one we may keep, and only then are its additions and deletions logged.
struct Merge {
  AccountTable table;
  std::string actor;
  std::string address;
  std::uint32_t actorRights = 0;
  std::vector<std::string> added;
  std::vector<std::string> deleted;
};

void RemoveAccount(AccountTable& table, std::size_t index) {
  for (std::size_t k = index; k + 1 < kMaxAccounts; ++k) table[k] = table[k + 1];
  table[kMaxAccounts - 1] = UserAccount{};
}

// Step 2 of a merge for one uploaded line.
void MergeOneAccount(Merge& merge, const UserAccount& line) {
  const char* actor = merge.actor.c_str();
  const char* address = merge.address.c_str();
  if (line.name.empty()) {
    LogMessage(kLogInfo, "WARNING: Skipped an account without a name in the user list from %s.",
               address);
    return;
  }
  if (!ValidAccountName(line.name)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! User %s at %s attempted to store user account %s, whose name "
               "holds a double quote, comma or control character!",
               actor, address, ShownAccountName(line.name).c_str());
    return;
  }
  if (!RightsWithin(merge.actorRights, line.rights)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! User %s at %s attempted to grant access they don't have to "
               "account %s!",
               actor, address, line.name.c_str());
    return;
  }
  AccountTable& table = merge.table;
  const std::size_t used = UsedAccounts(table);
  std::size_t index = 0;
  while (index < used && table[index].name != line.name) ++index;
  if (index < used && !RightsWithin(merge.actorRights, table[index].rights)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! User %s at %s attempted to update a user account %s that has "
               "greater access!",
               actor, address, line.name.c_str());
    return;
  }
  if (index == used) {
    if (used == kMaxAccounts) {
      LogMessage(kLogInfo,
                 "User %s at %s couldn't add user account %s! All %zu accounts are in use.", actor,
                 address, line.name.c_str(), kMaxAccounts);
      return;
    }
    merge.added.push_back(line.name);
  }
  table[index] = line;
}

// Whether a name of the uploaded list equals `name` in any case.
bool Listed(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& listed : names) {
    if (SameText(listed, name)) return true;
  }
  return false;
}

// Step 3 of a merge: accounts missing from the upload (`names`, every entry's
// name, taken or not) are deleted when the actor holds every right they have.
void DeleteMissingAccounts(Merge& merge, const std::vector<std::string>& names) {
  AccountTable& table = merge.table;
  std::size_t index = 0;
  while (index < kMaxAccounts && !table[index].name.empty()) {
    if (Listed(names, table[index].name)) {
      ++index;
      continue;
    }
    if (!RightsWithin(merge.actorRights, table[index].rights)) {
      LogMessage(kLogInfo,
                 "SECURITY ALERT! User %s at %s attempted to delete a user account %s that has "
                 "greater access!",
                 merge.actor.c_str(), merge.address.c_str(), table[index].name.c_str());
      ++index;
      continue;
    }
    merge.deleted.push_back(table[index].name);
    RemoveAccount(table, index);  // the entry behind moves into this place and is examined next
  }
}

// The account a login under `name` reaches: the first in any letter case.
const UserAccount* AccountNamed(const AccountTable& table, const std::string& name) {
  for (std::size_t k = 0; k < kMaxAccounts && !table[k].name.empty(); ++k) {
    if (SameText(table[k].name, name)) return &table[k];
  }
  return nullptr;
}

bool HasAdministrator(const AccountTable& table) {
  for (std::size_t k = 0; k < kMaxAccounts && !table[k].name.empty(); ++k) {
    if (table[k].rights == kAdminRights && table[k].active != 0) return true;
  }
  return false;
}

// A merged table must not lock anyone out for good: the uploader keeps a
// usable account, and an enabled administrator that existed still exists.
bool MergeMayStand(const Merge& merge) {
  const UserAccount* before = AccountNamed(g_accounts, merge.actor);
  if (before != nullptr) {
    const UserAccount* after = AccountNamed(merge.table, merge.actor);
    if (after == nullptr || after->active == 0 || after->rights == 0) {
      return Fail(kErrUserListLocksOut);
    }
  }
  if (HasAdministrator(g_accounts) && !HasAdministrator(merge.table)) {
    return Fail(kErrUserListNoAdmin);
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (SameText(a, b)) return true;
  struct stat sa;
  struct stat sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

const AccountTable& UserAccounts() {
  return g_accounts;
}

std::string RandomString(std::size_t length) {
  const std::time_t now = Now();
  Mix(static_cast<std::uint32_t>(now));
  Mix(static_cast<std::uint32_t>(getpid()));
  std::srand(static_cast<unsigned>(now));
  const int r = std::rand();
  Mix(static_cast<std::uint32_t>(std::trunc(r * 65535.0 / 2147483648.0)) + 1);
  Churn(10);
  std::string result;
  const std::size_t count = length < kRandomStringMax ? length : kRandomStringMax;
  for (std::size_t k = 0; k < count; ++k) {
    // Widened first: the most negative word has no 32-bit negation.
    const std::int64_t v = Next();
    const std::int64_t magnitude = v < 0 ? -v : v;
    result.push_back(static_cast<char>('0' + magnitude % 74));
  }
  return result;
}

void SetFillerSource(FillerSource source) {
  g_fillerSource = source;
}

std::string EncipherField(const std::string& value, std::size_t fieldSize) {
  const FillerSource source = g_fillerSource != nullptr ? g_fillerSource : RandomString;
  return EncipherField(value, fieldSize, source(kRandomStringMax));
}

bool LoadUserAccounts(const std::string& path) {
  FileHandle f = OpenAccountFile(path, "r");
  if (!f) return false;
  g_accounts = AccountTable{};

  std::size_t count = 0;
  int skipped = 0;
  bool rewrite = false;
  bool error = false;
  AccountFields fields;
  while (NextAccountLine(f.get(), ReadToken, path, &fields, &error, &skipped)) {
    if (count == kMaxAccounts) {
      LogMessage(kLogInfo, "WARNING: %s holds more than %zu accounts; the rest are not loaded.",
                 path.c_str(), kMaxAccounts);
      ++skipped;
      break;
    }
    bool plain = false;
    UserAccount account = AccountFromFields(fields, &plain);
    if (account.name.empty()) {
      // An empty name would end the table and hide every account behind it.
      LogMessage(kLogInfo, "WARNING: Skipped an account without a name in %s.", path.c_str());
      ++skipped;
      continue;
    }
    if (!ValidAccountName(account.name)) {
      LogMessage(kLogInfo,
                 "WARNING: Skipped account %s in %s: its name holds a double quote, comma or "
                 "control character.",
                 ShownAccountName(account.name).c_str(), path.c_str());
      ++skipped;
      continue;
    }
    rewrite = rewrite || plain;
    g_accounts[count++] = std::move(account);
  }
  f.reset();
  if (error) {
    LogReadFailure();
    return false;
  }
  if (!rewrite) return true;
  if (skipped > 0) {
    // Rewriting from the table would drop the lines it could not take.
    LogMessage(kLogInfo,
               "WARNING: %s holds plain-text accounts but is not rewritten enciphered, as %i of "
               "its lines could not be loaded.",
               path.c_str(), skipped);
    return true;
  }
  return SaveUserAccounts(path);
}

bool SaveUserAccounts(const std::string& path) {
  // Replaced in one step: a crash while saving must not leave the accounts cut short.
  const bool saved = ReplaceFile(path, kSecretFileMode, [](std::FILE* f) {
    for (std::size_t k = 0; k < kMaxAccounts && !g_accounts[k].name.empty(); ++k) {
      WriteAccountLine(f, g_accounts[k]);
    }
    return std::ferror(f) == 0;
  });
  if (!saved) {
    LogMessage(kLogInfo, "Couldn't write user access file! %s", ErrorText(ErrorCode()));
    return false;
  }
  return true;
}

int CheckLogin(const std::string& name, const std::string& password, std::uint32_t* rights) {
  if (rights != nullptr) *rights = 0;
  const std::string path = AccountsPath();
  const FileHandle f = OpenAccountFile(path, "r");
  if (!f) return kLoginNoAccounts;

  int counted = 0;
  int result = kLoginUnknownName;
  std::uint32_t found = 0;
  bool error = false;
  AccountFields fields;
  while (result == kLoginUnknownName &&
         NextAccountLine(f.get(), ReadToken, path, &fields, &error, nullptr)) {
    ++counted;
    bool plain = false;
    if (!SameText(DecipherField(fields[0], kNameFieldSize, &plain), name)) continue;
    if (!SameText(DecipherField(fields[1], kPasswordFieldSize, &plain), password)) {
      result = kLoginBadPassword;
    } else if (fields[4].starts_with('0')) {
      result = kLoginDisabled;
    } else if ((found = ParseRights(fields[3])) == 0) {
      result = kLoginNoRights;
    } else {
      result = kLoginAccepted;
    }
  }
  if (error) {
    LogReadFailure();
    return kLoginNoAccounts;
  }
  if (result == kLoginUnknownName) return counted == 0 ? kLoginNoAccounts : kLoginUnknownName;
  if (result != kLoginAccepted) return result;
  if ((found & kRightLoginTwice) == 0) {
    for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
      const std::string inUse = ActorName(slot);
      if (!inUse.empty() && SameText(inUse, name)) return kLoginAlreadyIn;
    }
  }
  if (rights != nullptr) *rights = found;
  return kLoginAccepted;
}

bool ValidAccountName(const std::string& name) {
  return !name.empty() && ShownAccountName(name) == name;
}

std::string ShownAccountName(const std::string& name) {
  std::string shown = name;
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '"' || c == ',') c = '?';
  }
  return shown;
}

std::string RightsText(std::uint32_t mask) {
  if (mask == kAdminRights) return "-- admin --";
  std::string text = kAccessLetters;
  for (std::size_t bit = 0; bit < text.size(); ++bit) {
    if ((mask & (1U << bit)) == 0) {
      text[bit] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[bit])));
    }
  }
  return text;
}

int FindAccountByKeyhash(const std::string& keyhash, std::uint32_t* rights) {
  // A player the game lists without a hash must not match an account stored without one.
  if (keyhash.empty() || SameText(keyhash, "[unknown]")) return -1;
  const AccountTable& table = UserAccounts();
  for (std::size_t i = 0; i < table.size() && !table[i].name.empty(); ++i) {
    const UserAccount& account = table[i];
    if (account.active == 0 || account.rights == 0 || !SameText(account.keyhash, keyhash)) {
      continue;
    }
    *rights = account.rights;
    return static_cast<int>(i);
  }
  return -1;
}

bool RightsWithin(std::uint32_t owner, std::uint32_t candidate) {
  // The administrator holds more than bits 0..17 (the ban list synchronisation)
  // and sees every account: only an administrator may grant, change, list or
  // delete one.
  if (candidate == kAdminRights) return owner == kAdminRights;
  return (candidate & kRightsExamined & ~owner) == 0;
}

bool MergeUserList(const std::string& path, int slot) {
  FileHandle list = OpenAccountFile(path, "r");
  if (!list) return false;
  Merge merge;
  merge.table = g_accounts;
  merge.actor = ActorName(slot);
  merge.address = ActorAddress(slot);
  merge.actorRights = ActorRights(slot);

  bool error = false;
  int skipped = 0;
  AccountFields fields;
  // The names as read, for step 3: one pass over the upload rather than one
  // for every account in the table.
  std::vector<std::string> names;
  // The upload is read from a temporary file, gone once merged: its warnings
  // name the upload instead.
  const std::string upload =
      "the user list uploaded by user " + merge.actor + " at " + merge.address;
  while (NextAccountLine(list.get(), ReadLine, upload, &fields, &error, &skipped)) {
    const UserAccount line = AccountFromFields(fields, nullptr);
    names.push_back(line.name);
    MergeOneAccount(merge, line);
  }
  // Nothing readable is a damaged upload, not an order to delete every account.
  if (!error && names.empty()) return Fail(kErrUserListDamaged);
  if (!error) DeleteMissingAccounts(merge, names);
  list.reset();
  if (error) {
    LogReadFailure();
    return false;
  }
  if (!MergeMayStand(merge)) return false;

  for (const std::string& name : merge.added) {
    LogMessage(kLogInfo, "User %s at %s added user account %s.", merge.actor.c_str(),
               merge.address.c_str(), name.c_str());
  }
  for (const std::string& name : merge.deleted) {
    LogMessage(kLogInfo, "User %s at %s deleted user account %s.", merge.actor.c_str(),
               merge.address.c_str(), name.c_str());
  }
  g_accounts = merge.table;
  return SaveUserAccounts(AccountsPath());
}

bool WriteUserListFor(const std::string& path, int slot) {
  const std::string real = AccountsPath();
  if (SameFile(path, real)) return Fail(0);
  FileHandle in = OpenAccountFile(real, "r");
  if (!in) return false;
  FileHandle out = OpenAccountFile(path, "w");
  if (!out) return false;
  const std::uint32_t clientRights = ActorRights(slot);
  bool error = false;
  AccountFields fields;
  while (NextAccountLine(in.get(), ReadToken, real, &fields, &error, nullptr)) {
    if (clientRights != kAdminRights && !RightsWithin(clientRights, ParseRights(fields[3]))) {
      continue;
    }
    WriteStoredLine(out.get(), fields);
  }
  in.reset();
  const bool written = CloseWritten(out);
  if (error) {
    LogReadFailure();
    return false;
  }
  if (!written) {
    LogMessage(kLogInfo, "Couldn't write user list %s! %s", path.c_str(), ErrorText(ErrorCode()));
  }
  return written;
}

bool ChangeUserPass(const std::string& user, const std::string& password) {
  if (user.empty() || password.empty()) return Fail(0);
  const std::string real = AccountsPath();
  const FileHandle in = OpenAccountFile(real, "r");
  if (!in) return false;
  bool scanned = false;  // false when the copy could not even be begun
  bool error = false;
  int readError = 0;
  bool changed = false;
  // The stored file is replaced only by a whole copy with the new password in it.
  const bool written = ReplaceFile(real, kSecretFileMode, [&](std::FILE* out) {
    scanned = true;
    AccountFields fields;
    while (NextAccountLine(in.get(), ReadToken, real, &fields, &error, nullptr)) {
      bool plain = false;
      // The account a login under this name reaches: the first one, in any case.
      if (!changed && SameText(DecipherField(fields[0], kNameFieldSize, &plain), user)) {
        fields[1] = EncipherField(password, kPasswordFieldSize);
        changed = true;
      }
      WriteStoredLine(out, fields);
    }
    readError = ErrorCode();
    return !error && changed;
  });
  if (error) {
    ErrorCode() = readError;
    LogReadFailure();
    return false;
  }
  if (scanned && !changed) return Fail(0);
  if (!written) {
    LogMessage(kLogInfo, "Couldn't write %s! %s", real.c_str(), ErrorText(ErrorCode()));
    return false;
  }
  // The table follows, so that a later save does not write the old password back.
  for (std::size_t k = 0; k < kMaxAccounts && !g_accounts[k].name.empty(); ++k) {
    if (SameText(g_accounts[k].name, user)) {
      g_accounts[k].password = CutToWidth(password, kNameMax);
      break;
    }
  }
  return true;
}

}  // namespace keldor
