// The fleet's records: see records.h.
#include "fleet/records.h"

#include <sys/random.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "bans/game_lists.h"
#include "core/helpers.h"
#include "fleet/schema.h"

namespace keldor {

namespace {

constexpr std::size_t kFleetNameMax = 64;
constexpr std::size_t kNumberDigits = 19;

bool IsFleetId(const std::string& text) {
  if (text.size() != 32) return false;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) return false;
  }
  return true;
}

// A whole non-negative decimal number that fits a long long.
bool ReadNumber(const std::string& text, long long& value) {
  if (text.empty() || text.size() > kNumberDigits) return false;
  value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  return value >= 0;
}

bool IsNumber(const std::string& text) {
  long long ignored = 0;
  return ReadNumber(text, ignored);
}

std::string Escaped(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (const char c : field) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::size_t from, std::size_t to, std::string& out) {
  out.clear();
  for (std::size_t k = from; k < to; ++k) {
    if (text[k] != '\\') {
      out += text[k];
      continue;
    }
    if (++k >= to) return false;
    switch (text[k]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

// The positions of a kind's ids, numbers and identifiers among its fields.
bool FieldsCheckOut(const FleetChange& change) {
  const std::vector<std::string>& f = change.fields;
  for (const std::string& field : f) {
    if (field.size() > 2 * kFleetTextMax) return false;
  }
  const std::string& server = f[change.kind == ChangeKind::kLift ? 0 : 1];
  if (FleetName(server) != server) return false;
  switch (change.kind) {
    case ChangeKind::kBan:
      return IsFleetId(f[0]) && IsNumber(f[7]) && IsNumber(f[8]) &&
             !(Identifier(f[4]).empty() && Identifier(f[5]).empty() && Identifier(f[6]).empty());
    case ChangeKind::kLift:
      return IsNumber(f[5]) &&
             !(Identifier(f[2]).empty() && Identifier(f[3]).empty() && Identifier(f[4]).empty());
    case ChangeKind::kAction:
      return IsFleetId(f[0]) && IsNumber(f[2]) && IsNumber(f[10]);
  }
  return false;
}

}  // namespace

std::string FleetText(const std::string& text) {
  const std::string line = CutToWidth(FlattenLine(text), kFleetTextMax);
  std::string out;
  out.reserve(line.size());
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t length = Utf8SequenceLength(std::string_view(line).substr(at));
    if (length != 0) {
      out.append(line, at, length);
      at += length;
      continue;
    }
    // A byte of another encoding (the game's names are Latin-1) as its letter.
    AppendLatin1AsUtf8(out, static_cast<unsigned char>(line[at++]));
  }
  return out;
}

std::size_t ChangeFieldCount(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kBan:
      return 10;
    case ChangeKind::kLift:
      return 6;
    case ChangeKind::kAction:
      return 12;
  }
  return 0;
}

const char* ChangeQuery(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kBan:
      return "SELECT keldor.ban($1, $2, $3, $4, $5, $6, $7, $8::bigint, $9::bigint, $10)";
    case ChangeKind::kLift:
      return "SELECT keldor.lift($1, $2, $3, $4, $5, $6::bigint)";
    case ChangeKind::kAction:
      return "SELECT keldor.admin_action($1, $2, $3::bigint, $4, $5, $6, $7, $8, $9, $10, "
             "$11::bigint, $12)";
  }
  return "";
}

std::string NewFleetId() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  std::string id;
  char hex[3];
  for (const unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    id += hex;
  }
  return id;
}

std::string EncodeChange(const FleetChange& change) {
  std::string line(1, static_cast<char>(change.kind));
  for (const std::string& field : change.fields) {
    line += '\t';
    line += Escaped(field);
  }
  return line;
}

bool DecodeChange(const std::string& text, FleetChange& change) {
  std::string line = text;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() < 2 || line.size() > kFleetLineMax || line[1] != '\t') return false;
  const char kind = line[0];
  if (kind != 'B' && kind != 'L' && kind != 'A') return false;
  change.kind = static_cast<ChangeKind>(kind);
  change.fields.clear();
  std::size_t at = 2;
  while (true) {
    const std::size_t tab = std::min(line.find('\t', at), line.size());
    std::string field;
    if (change.fields.size() >= ChangeFieldCount(change.kind) || !Unescape(line, at, tab, field)) {
      return false;
    }
    change.fields.push_back(std::move(field));
    if (tab == line.size()) break;
    at = tab + 1;
  }
  return change.fields.size() == ChangeFieldCount(change.kind) && FieldsCheckOut(change);
}

bool ParseFleetBanRow(const std::vector<std::string>& c, FleetBanRow& row) {
  if (c.size() != kFleetBanColumns) return false;
  if (!ReadNumber(c[0], row.seq) || !IsFleetId(c[1]) || !ReadNumber(c[8], row.start) ||
      !ReadNumber(c[9], row.end)) {
    return false;
  }
  row.id = c[1];
  row.server = FleetName(c[2]);
  row.admin = FleetText(c[3]);
  row.name = FleetText(c[4]);
  row.address = Identifier(c[5]);
  row.keyhash = Identifier(c[6]);
  row.guid = Identifier(c[7]);
  row.reason = FleetText(c[10]);
  row.lifted = !c[11].empty();
  row.liftedOn = FleetName(c[12]);
  if (row.name.empty()) row.name = "[unknown]";
  if (row.admin.empty()) row.admin = "[unknown]";
  return !row.server.empty() && !(row.address.empty() && row.keyhash.empty() && row.guid.empty());
}

bool NotificationWanted(const char* channel, const char* payload, const std::string& self) {
  if (channel == nullptr || std::strcmp(channel, kFleetChannel) != 0) return false;
  return payload == nullptr || FleetName(payload) != self;
}

std::string FleetName(const std::string& text) {
  std::string name;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) continue;
    name += c;
  }
  const std::size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  return FleetText(CutToWidth(name, kFleetNameMax));
}

}  // namespace keldor
