// The rights table for operators, written from the wire library's table so
// that help, refusals and the daemon's check never disagree.
#include "rights.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wire/protocol.h"
#include "wire/rights.h"

namespace keldorctl {

using namespace keldor;

namespace {

constexpr std::size_t kKeyWidth = 9;  // "0x10000" and two blanks
constexpr std::size_t kLineWidth = 79;

const char* const kRightsIntro =
    "An account's access text lists the letters SGFIATMPBUHC, upper case where the right is\n"
    "granted; the rights without a letter go by their number. The mask 0xFFFFFFFF\n"
    "(4294967295, shown as \"-- admin --\") is the administrator and may do everything.\n"
    "keldorctl user add and user rights take the letters or a number.\n";

// Text wrapped at blanks, every line under the indent.
std::string Wrapped(const std::string& text) {
  const std::string indent(kKeyWidth + 2, ' ');
  std::string wrapped = indent;
  std::size_t column = indent.size();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    const std::size_t length = end - pos;
    if (column > indent.size() && column + 1 + length > kLineWidth) {
      wrapped += "\n" + indent;
      column = indent.size();
    } else if (column > indent.size()) {
      wrapped += ' ';
      ++column;
    }
    wrapped.append(text, pos, length);
    column += length;
    pos = end + 1;
  }
  return wrapped + "\n";
}

// With `marked`, the rights in `rights` carry a *.
std::string RightsTable(bool marked, std::uint32_t rights) {
  std::string text = kRightsIntro;
  if (marked) text += "The rights this account holds are marked *.\n";
  text += "\n";
  for (const Right& right : AllRights()) {
    const bool held = marked && (rights & right.bit) != 0;
    char head[128];
    std::snprintf(head, sizeof head, "%c %-*s%s\n", held ? '*' : ' ', static_cast<int>(kKeyWidth),
                  RightKey(right).c_str(), right.name);
    text += head;
    if (std::strcmp(right.name, right.allows) != 0) {
      text += Wrapped(right.allows);
    }
    const std::string requests = RequestsCovered(right.bit);
    if (!requests.empty()) text += Wrapped("Requests: " + requests);
  }
  text += "\nAny account may send (its own settings pages only):\n";
  text += Wrapped(RequestsForAnyAccount());
  text += "Only the administrator may send:\n";
  text += Wrapped(RequestsForTheAdministrator());
  return text;
}

// The right whose key begins `text` at `at`: a letter standing alone, or a number.
const Right* KeyAt(const std::string& text, std::size_t at, std::size_t* length) {
  if (at >= text.size()) return nullptr;
  if (text.compare(at, 2, "0x") == 0) {
    char* end = nullptr;
    const unsigned long bit = std::strtoul(text.c_str() + at + 2, &end, 16);
    *length = static_cast<std::size_t>(end - (text.c_str() + at));
    return *length > 2 ? FindRight(static_cast<std::uint32_t>(bit)) : nullptr;
  }
  const bool alone =
      at + 1 == text.size() || std::isalnum(static_cast<unsigned char>(text[at + 1])) == 0;
  if (!alone) return nullptr;
  for (const Right& right : AllRights()) {
    if (right.letter != '\0' && right.letter == text[at]) {
      *length = 1;
      return &right;
    }
  }
  return nullptr;
}

// "the right M" becomes "the right M (maps)", "P or B" both named.
std::string NameRights(const std::string& text) {
  static const std::string kWord = "right ";
  static const std::string kOr = " or ";
  std::string named;
  std::size_t pos = 0;
  for (std::size_t found; (found = text.find(kWord, pos)) != std::string::npos;) {
    named.append(text, pos, found + kWord.size() - pos);
    pos = found + kWord.size();
    std::size_t length = 0;
    for (const Right* right; (right = KeyAt(text, pos, &length)) != nullptr;) {
      named.append(text, pos, length);
      named += std::string(" (") + right->name + ")";
      pos += length;
      if (text.compare(pos, kOr.size(), kOr) != 0 ||
          KeyAt(text, pos + kOr.size(), &length) == nullptr) {
        break;
      }
      named += kOr;
      pos += kOr.size();
    }
  }
  return named + text.substr(pos);
}

}  // namespace

int RunRights(Connection& c, const Options&) {
  std::fputs(RightsTable(true, c.Rights()).c_str(), stdout);
  return kExitOk;
}

std::string CommandDetails(const Command& command) {
  std::string details = NameRights(command.details);
  if (command.run == RunRights) details += "\n\n" + RightsTable(false, 0);
  return details;
}

std::string RefusalText(std::uint32_t rights, std::uint32_t request) {
  std::string text = keldorclient::RefusalText(rights, request);
  if (request == 0 || RightsAllow(rights, request) || NeededText(request).empty()) return text;
  text.pop_back();  // its full stop: the pointer to the table comes first
  return text + " (keldorctl help rights explains them).";
}

}  // namespace keldorctl
