// Account management. Every change fetches the user list this account may
// see, changes it and sends the whole list back, so that Keldor applies its
// own rules about the uploader's rights to it; the list is then fetched again
// to confirm that the change took effect. Lines that are not changed go back
// exactly as they came.
//
// A line of the list: name, password and keyhash fields (each enciphered as
// upper-case hexadecimal of 32, 32 and 33 bytes, or plain text), the rights
// mask in decimal and the active flag, separated by commas.
#include "users.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "wire/cipher.h"
#include "wire/protocol.h"

namespace keldorctl {

using namespace keldor;

namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
constexpr std::uint32_t kRightsExamined = 0x3FFFF;  // the bits Keldor compares between accounts
constexpr const char* kLetters = "SGFIATMPBUHC";
constexpr std::size_t kGeneratedLength = 12;

struct Account {
  std::array<std::string, 5> fields;  // as Keldor sent them
  std::string name;
  std::string keyhash;
  std::uint32_t rights = 0;
  bool active = false;
};

char RandomCharacter(std::random_device& random, const char* alphabet) {
  const std::size_t n = std::strlen(alphabet);
  return alphabet[std::uniform_int_distribution<std::size_t>(0, n - 1)(random)];
}

// A credential field over random filler in Keldor's own filler alphabet.
std::string Encipher(const std::string& value, std::size_t size) {
  std::random_device random;
  std::string filler(size, '\0');
  for (char& c : filler) {
    c = RandomCharacter(
        random, "0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxy");
  }
  return EncipherField(value, size, filler);
}

// Leading decimal digits, as Keldor reads the rights field.
std::uint32_t RightsField(const std::string& field) {
  std::uint64_t value = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kAdmin) return 0;
  }
  return static_cast<std::uint32_t>(value);
}

void Decode(Account* a) {
  a->name = DecipherField(a->fields[0], kNameFieldSize, nullptr);
  a->keyhash = DecipherField(a->fields[2], kKeyHashFieldSize, nullptr);
  a->rights = RightsField(a->fields[3]);
  a->active = !a->fields[4].starts_with('0');  // what the login looks at
}

// The lines with five fields; others are not accounts to Keldor either.
std::vector<Account> ParseList(const std::string& content) {
  std::vector<Account> accounts;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    Account a;
    std::size_t start = 0;
    bool complete = true;
    for (std::size_t k = 0; k < 4 && complete; ++k) {
      const std::size_t comma = line.find(',', start);
      complete = comma != std::string::npos;
      if (complete) a.fields[k] = line.substr(start, comma - start);
      start = comma + 1;
    }
    if (!complete) continue;
    a.fields[4] = line.substr(start);
    Decode(&a);
    accounts.push_back(a);
  }
  return accounts;
}

std::string ListText(const std::vector<Account>& accounts) {
  std::string text;
  for (const Account& a : accounts) {
    text += a.fields[0] + "," + a.fields[1] + "," + a.fields[2] + "," + a.fields[3] + "," +
            a.fields[4] + "\n";
  }
  return text;
}

// "sgfiatMPbuhc (0x000000C0)": upper case for the rights granted.
std::string RightsText(std::uint32_t mask) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(mask));
  if (mask == kAdmin) return std::string("-- admin -- (") + hex + ")";
  std::string text = kLetters;
  for (std::size_t bit = 0; bit < text.size(); ++bit) {
    if ((mask & (1U << bit)) == 0) text[bit] = static_cast<char>(std::tolower(text[bit]));
  }
  return text + " (" + hex + ")";
}

// "admin", a mask (0x3F or decimal), or letters: an upper-case letter grants
// its right, a lower-case one is allowed and grants nothing, so that the text
// `user list` shows can be given back.
bool ParseRights(const std::string& text, std::uint32_t* mask) {
  if (text == "admin") {
    *mask = kAdmin;
    return true;
  }
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const std::string digits = hex ? text.substr(2) : text;
  if (!digits.empty() && digits.size() <= 10 &&
      std::all_of(digits.begin(), digits.end(), [&](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value > kAdmin) return false;
    *mask = static_cast<std::uint32_t>(value);
    return true;
  }
  if (hex || text.empty()) return false;
  *mask = 0;
  for (const char c : text) {
    const char* at = std::strchr(kLetters, std::toupper(static_cast<unsigned char>(c)));
    if (c == '\0' || at == nullptr) return false;
    if (std::isupper(static_cast<unsigned char>(c))) *mask |= 1U << (at - kLetters);
  }
  return true;
}

struct UserRequest {
  std::string action;
  std::string name;
  std::uint32_t rights = 0;
  std::string keyhash;
  bool generate = false;
};

constexpr const char* kActions[] = {"list", "add", "remove", "rights", "enable", "disable"};

bool ParseUserRequest(const Options& o, UserRequest* r) {
  std::vector<std::string> plain;
  for (std::size_t k = 0; k < o.args.size(); ++k) {
    if (o.args[k] == "--generate") {
      r->generate = true;
    } else if (o.args[k] == "--keyhash" && k + 1 < o.args.size()) {
      r->keyhash = o.args[++k];
    } else {
      plain.push_back(o.args[k]);
    }
  }
  if (plain.empty() ||
      std::find(std::begin(kActions), std::end(kActions), plain[0]) == std::end(kActions)) {
    std::fprintf(stderr, "keldorctl: user needs list, add, remove, rights, enable or disable.\n");
    return false;
  }
  r->action = plain[0];
  const bool isAdd = r->action == "add";
  const std::size_t wanted = r->action == "list" ? 1 : isAdd || r->action == "rights" ? 3 : 2;
  if (plain.size() != wanted || ((r->generate || !r->keyhash.empty()) && !isAdd)) {
    std::fprintf(stderr, "keldorctl: wrong arguments for user %s.\n", r->action.c_str());
    return false;
  }
  if (wanted == 1) return true;
  r->name = plain[1];
  if (r->name.empty() || r->name.size() > kCredentialTextMax ||
      std::any_of(r->name.begin(), r->name.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    std::fprintf(stderr, "keldorctl: an account name has 1 to %zu printable characters.\n",
                 kCredentialTextMax);
    return false;
  }
  if (wanted == 3) {
    if (!ParseRights(plain[2], &r->rights)) {
      std::fprintf(stderr,
                   "keldorctl: %s is not a set of rights: give letters of %s, a mask such as "
                   "0x3F, or admin.\n",
                   plain[2].c_str(), kLetters);
      return false;
    }
    if (r->rights == 0) {
      std::fprintf(stderr,
                   "keldorctl: those rights grant nothing, and such an account cannot log in "
                   "(user disable locks an account).\n");
      return false;
    }
  }
  if (!r->keyhash.empty() && !CheckKeyHash(r->keyhash.c_str())) {
    std::fprintf(stderr, "keldorctl: a keyhash is 32 hexadecimal digits.\n");
    return false;
  }
  return true;
}

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The account a name designates: the one of exactly that name, else the only
// one that differs in letter case; -1 with the reason printed.
int FindAccount(const std::vector<Account>& accounts, const std::string& name, bool admin) {
  int found = -1;
  int matches = 0;
  for (std::size_t k = 0; k < accounts.size(); ++k) {
    if (accounts[k].name == name) return static_cast<int>(k);
    if (SameName(accounts[k].name, name)) {
      found = static_cast<int>(k);
      ++matches;
    }
  }
  if (matches == 1) return found;
  if (matches > 1) {
    std::fprintf(stderr, "keldorctl: several accounts are named %s in other letter case.\n",
                 name.c_str());
  } else {
    std::fprintf(stderr, "keldorctl: no such account: %s%s.\n", name.c_str(),
                 admin ? "" : " (or it has rights this account lacks)");
  }
  return -1;
}

int CountAdmins(const std::vector<Account>& accounts) {
  return static_cast<int>(std::count_if(accounts.begin(), accounts.end(), [](const Account& a) {
    return a.active && a.rights == kAdmin;
  }));
}

void PrintList(const std::vector<Account>& accounts) {
  std::printf("%-20s  %-25s  %-8s  %s\n", "Name", "Rights", "State", "Keyhash");
  for (const Account& a : accounts) {
    std::printf("%-20s  %-25s  %-8s  %s\n", a.name.c_str(), RightsText(a.rights).c_str(),
                a.active ? "enabled" : "disabled", a.keyhash.empty() ? "-" : a.keyhash.c_str());
  }
}

// Whether the list fetched after the upload shows the change.
bool Applied(const UserRequest& r, const std::vector<Account>& after, const std::string& name) {
  const auto it =
      std::find_if(after.begin(), after.end(), [&](const Account& a) { return a.name == name; });
  if (r.action == "remove") return it == after.end();
  if (it == after.end()) return false;
  if (r.action == "add" || r.action == "rights") return it->rights == r.rights;
  return it->active == (r.action == "enable");
}

std::string GeneratePassword() {
  std::random_device random;
  std::string password;
  for (std::size_t k = 0; k < kGeneratedLength; ++k) {
    password +=
        RandomCharacter(random, "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789");
  }
  return password;
}

}  // namespace

bool CheckUser(const Options& o) {
  UserRequest r;
  return ParseUserRequest(o, &r);
}

int RunUser(Connection& c, const Options& o) {
  UserRequest r;
  ParseUserRequest(o, &r);
  std::string content;
  if (const int status = Fetch(c, REQ_GET_USERS, &content); status != kExitOk) return status;
  std::vector<Account> accounts = ParseList(content);
  if (r.action == "list") {
    if (o.json) {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (const Account& a : accounts) {
        list.push_back({{"name", a.name},
                        {"rights", RightsText(a.rights)},
                        {"mask", a.rights},
                        {"enabled", a.active},
                        {"keyhash", a.keyhash.empty() ? nlohmann::ordered_json()
                                                      : nlohmann::ordered_json(a.keyhash)}});
      }
      PrintJson(list);
    } else {
      PrintList(accounts);
    }
    return kExitOk;
  }

  if ((r.action == "add" || r.action == "rights") &&
      (r.rights & kRightsExamined & ~c.Rights()) != 0) {
    std::fprintf(stderr, "keldorctl: this account may not grant rights it lacks itself (%s).\n",
                 RightsText(r.rights & kRightsExamined & ~c.Rights()).c_str());
    return kExitRefused;
  }
  const bool admin = c.Rights() == kAdmin;
  const int adminsBefore = CountAdmins(accounts);
  std::string password;
  std::string name = r.name;
  if (r.action == "add") {
    if (std::any_of(accounts.begin(), accounts.end(),
                    [&](const Account& a) { return SameName(a.name, r.name); })) {
      std::fprintf(stderr, "keldorctl: an account named %s exists already.\n", r.name.c_str());
      return kExitFailed;
    }
    if (r.generate) {
      password = GeneratePassword();
    } else if (!PromptNewPassword(&password)) {
      return kExitUsage;
    }
    Account a;
    a.fields = {Encipher(r.name, kNameFieldSize), Encipher(password, kPasswordFieldSize),
                Encipher(r.keyhash, kKeyHashFieldSize), std::to_string(r.rights), "1"};
    Decode(&a);
    accounts.push_back(a);
  } else {
    const int index = FindAccount(accounts, r.name, admin);
    if (index < 0) return kExitFailed;
    Account& a = accounts[static_cast<std::size_t>(index)];
    name = a.name;
    if ((r.action == "remove" || r.action == "disable") && SameName(name, o.user)) {
      std::fprintf(stderr, "keldorctl: an account may not %s itself.\n", r.action.c_str());
      return kExitRefused;
    }
    if (r.action == "remove") {
      accounts.erase(accounts.begin() + index);
    } else if (r.action == "rights") {
      a.fields[3] = std::to_string(r.rights);
    } else {
      a.fields[4] = r.action == "enable" ? "1" : "0";
    }
    if (index < static_cast<int>(accounts.size()))
      Decode(&accounts[static_cast<std::size_t>(index)]);
  }
  if (adminsBefore > 0 && CountAdmins(accounts) == 0) {
    std::fprintf(stderr,
                 "keldorctl: that would leave no enabled account with every right (admin).\n");
    return kExitRefused;
  }

  if (const int status = Upload(c, REQ_PUT_USERS, ListText(accounts)); status != kExitOk) {
    return status;
  }
  if (const int status = Fetch(c, REQ_GET_USERS, &content); status != kExitOk) return status;
  if (!Applied(r, ParseList(content), name)) {
    std::fprintf(stderr,
                 "keldorctl: Keldor did not make the change to the account %s (its log tells "
                 "why).\n",
                 name.c_str());
    return kExitRefused;
  }
  if (r.action == "add") {
    std::printf("Added the account %s with the rights %s.\n", name.c_str(),
                RightsText(r.rights).c_str());
    if (r.generate) std::printf("Its password: %s\n", password.c_str());
  } else if (r.action == "remove") {
    std::printf("Removed the account %s.\n", name.c_str());
  } else if (r.action == "rights") {
    std::printf("The account %s now has the rights %s.\n", name.c_str(),
                RightsText(r.rights).c_str());
  } else {
    std::printf("The account %s is %sd.\n", name.c_str(), r.action.c_str());
  }
  return kExitOk;
}

}  // namespace keldorctl
