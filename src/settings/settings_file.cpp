// servermanager.con and its partial forms: finding and parsing one setting's
// line (ReadSetting), writing one setting's line (WriteSettingLine) and writing
// whole pages of the table (SaveSettingsFile).
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "settings/settings.h"
#include "settings/settings_text.h"

namespace keldor {

namespace {

constexpr std::size_t kCredentialMax = 31;  // console user name and password carried by rows 67, 68
constexpr std::size_t kFirstMessageLineMax = 62;
constexpr std::size_t kMessageLineMax = 63;
constexpr int kMessageLines = 5;

SettingDef& TableRow(int row) {
  return SettingsTable()[static_cast<std::size_t>(row)];
}

// How one value is being read: the setting's name for messages, and what a
// value that fails validation gives way to.
struct ValueRead {
  const char* name;
  OnInvalid onInvalid;
};

// Whether a token begins a number at all ("abc" does not; "12abc" does, as 12).
bool StartsNumber(const std::string& token) {
  const char* start = token.c_str();
  char* end = nullptr;
  static_cast<void>(std::strtod(start, &end));
  return end != start;
}

std::string Formatted(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

std::string Formatted(int value) {
  return std::to_string(value);
}

// What an invalid value is shown as: the text given when it is no number (it
// would otherwise read as 0), else the number read.
std::string ShownValue(bool present, const std::string& token, const std::string& number) {
  if (present && !StartsNumber(token)) return CutToWidth(token, kSettingTextMax);
  return number;
}

// Logs a value that failed validation. True when the row is to take its
// default; false when it keeps the value it had (`kept`, as shown).
bool RefuseValue(const ValueRead& read, const std::string& given, const std::string& byDefault,
                 const std::string& kept) {
  if (read.onInvalid == OnInvalid::kKeep) {
    LogMessage(kLogInfo, "Invalid value of %s detected for setting %s, keeping %s.", given.c_str(),
               read.name, kept.c_str());
    return false;
  }
  LogMessage(kLogInfo, "Invalid value of %s detected for setting %s, using default %s.",
             given.c_str(), read.name, byDefault.c_str());
  return true;
}

bool ParseText(SettingDef& def, const ValueRead& read, TokenCursor& cursor) {
  std::string value;
  if (cursor.Next("\"", value)) {
    const auto width =
        std::min<std::size_t>(static_cast<std::size_t>(def.maximum), kSettingTextMax);
    def.text = CutToWidth(value, width);
    return true;
  }
  if (def.defaultValue == 0) {
    def.text.clear();
    return true;
  }
  // The default of a password is the password from now on: it is not logged.
  const bool secret = IsSecretSetting(static_cast<int>(&def - SettingsTable().data()));
  if (read.onInvalid == OnInvalid::kKeep) {
    LogMessage(kLogInfo, "Invalid value detected for setting %s, keeping [%s].", read.name,
               secret ? "*" : def.text.c_str());
    return false;
  }
  LogMessage(kLogInfo, "Invalid value detected for setting %s, using default %s.", read.name,
             secret ? "*" : def.defaultText);
  def.text = def.defaultText;
  return false;
}

// One numbered line of a message. The text never grows past kSettingTextMax: a
// piece, or the line break after it, that would not fit is left out.
void ParseMessageLine(SettingDef& def, TokenCursor& cursor) {
  std::string number;
  std::string piece;
  if (!cursor.Next(" ", number) || !cursor.Next("\"", piece)) return;
  const long n = ParseDecimal(number);
  if (n > kMessageLines - 1) return;
  for (char& c : piece) {
    if (c == '_') c = ' ';
  }
  if (n == 0) {
    def.text = CutToWidth(piece, kFirstMessageLineMax);
  } else {
    piece = CutToWidth(piece, kMessageLineMax);
    if (def.text.size() + piece.size() <= kSettingTextMax) def.text += piece;
  }
  if (n <= kMessageLines - 2 && def.text.size() + 2 <= kSettingTextMax) def.text += "\r\n";
}

// A whole number within [minimum, maximum]; what is refused is reported and,
// when the read says so, gives way to the default.
bool ParseIntegerIn(SettingDef& def, const ValueRead& read, TokenCursor& cursor, long minimum,
                    long maximum) {
  std::string token;
  const bool present = cursor.Next(" ", token);
  const long value = present ? ParseDecimal(token) : def.current;
  if (present && StartsNumber(token) && value >= minimum && value <= maximum) {
    def.current = static_cast<std::int32_t>(value);
    return true;
  }
  const std::string given = ShownValue(present, token, Formatted(static_cast<int>(value)));
  if (RefuseValue(read, given, Formatted(def.defaultValue), Formatted(def.current))) {
    def.current = def.defaultValue;
  }
  return false;
}

bool ParseInteger(SettingDef& def, const ValueRead& read, TokenCursor& cursor) {
  return ParseIntegerIn(def, read, cursor, def.minimum, def.maximum);
}

// A switch is a whole number that is 0 or 1, whatever range its row declares.
bool ParseBool(SettingDef& def, const ValueRead& read, TokenCursor& cursor) {
  return ParseIntegerIn(def, read, cursor, 0, 1);
}

bool ParseNegativeInteger(SettingDef& def, const ValueRead& read, TokenCursor& cursor) {
  std::string token;
  const bool present = cursor.Next(" ", token);
  const long magnitude = present ? std::labs(ParseDecimal(token)) : def.current;
  if (present && StartsNumber(token) && magnitude >= def.minimum && magnitude <= def.maximum) {
    def.current = static_cast<std::int32_t>(magnitude);
    return true;
  }
  const std::string given = ShownValue(present, token, Formatted(static_cast<int>(-magnitude)));
  if (RefuseValue(read, given, Formatted(-def.defaultValue), Formatted(-def.current))) {
    def.current = def.defaultValue;
  }
  return false;
}

bool ParseScaled(SettingDef& def, const ValueRead& read, TokenCursor& cursor, int factor) {
  std::string token;
  const bool present = cursor.Next(" ", token);
  const long value = present ? ParseScaledFraction(token, factor) : def.current;
  if (present && StartsNumber(token) && value >= def.minimum && value <= def.maximum) {
    def.current = static_cast<std::int32_t>(value);
    return true;
  }
  const char* format = factor == 100 ? "%.2f" : "%.1f";
  const auto shown = [&](long stored) {
    return Formatted(format, static_cast<double>(stored) / factor);
  };
  const std::string given = ShownValue(present, token, shown(value));
  if (RefuseValue(read, given, shown(def.defaultValue), shown(def.current))) {
    def.current = def.defaultValue;
  }
  return false;
}

bool ParseChoice(SettingDef& def, const ValueRead& read, TokenCursor& cursor) {
  std::string token;
  cursor.Next(" ", token);
  token = CutToWidth(token, kSettingTextMax);
  if (!token.empty() && ListLabelFor(def.defaultText, token.c_str()) != nullptr) {
    def.text = token;
    return true;
  }
  const char* option = ListKeyAt(def.defaultText, def.defaultValue);
  const std::string fallback = option != nullptr ? option : "";
  if (RefuseValue(read, token, fallback, def.text)) def.text = fallback;
  return false;
}

void ParseAddress(SettingDef& def, TokenCursor& cursor) {
  std::string token;
  def.current = cursor.Next(" ", token) ? static_cast<std::int32_t>(ParseIPv4(token.c_str())) : 0;
}

// The console credentials ride on the remote console and remote admin lines and
// override what rows 65, 66 and 5 read from their own lines. We write the line as
// exactly three single-space separated fields; an empty one (a user name or password
// not yet set) is taken as not given, so that the port is never read as a user
// name. Any other shape is read token by token.
void ParseRemoteConsole(SettingDef& def, TokenCursor& cursor) {
  def.current = 1;
  const std::string rest = cursor.Rest();
  std::vector<std::string> fields = Split(rest, ' ');
  if (fields.size() != 3) {
    fields.clear();
    std::string token;
    while (fields.size() < 3 && cursor.Next(" ", token)) fields.push_back(token);
  }
  if (fields.size() > 0 && !fields[0].empty()) {
    Row(Setting::ConsoleUsername).text = CutToWidth(fields[0], kCredentialMax);
  }
  if (fields.size() > 1 && !fields[1].empty()) {
    Row(Setting::ConsolePassword).text = CutToWidth(fields[1], kCredentialMax);
  }
  if (fields.size() > 2 && !fields[2].empty()) {
    Row(Setting::ConsolePort).current = static_cast<std::int32_t>(ParseDecimal(fields[2]));
  }
}

void ParseRemoteAdmin(SettingDef& def, TokenCursor& cursor) {
  def.current = 1;
  std::string token;
  if (cursor.Next(" ", token))
    Row(Setting::ConsolePassword).text = CutToWidth(token, kCredentialMax);
}

// False when the value was refused and replaced by the default.
bool ParseValue(SettingDef& def, const ValueRead& read, TokenCursor& cursor) {
  switch (def.type) {
    case SettingType::kPresence:
      def.current = 1;
      break;
    case SettingType::kBool:
      return ParseBool(def, read, cursor);
    case SettingType::kText:
      return ParseText(def, read, cursor);
    case SettingType::kMessage:
      ParseMessageLine(def, cursor);
      break;
    case SettingType::kInteger:
      return ParseInteger(def, read, cursor);
    case SettingType::kNegativeInteger:
      return ParseNegativeInteger(def, read, cursor);
    case SettingType::kHundredths:
      return ParseScaled(def, read, cursor, 100);
    case SettingType::kTenths:
      return ParseScaled(def, read, cursor, 10);
    case SettingType::kChoice:
      return ParseChoice(def, read, cursor);
    case SettingType::kAddress:
      ParseAddress(def, cursor);
      break;
    case SettingType::kRemoteConsole:
      ParseRemoteConsole(def, cursor);
      break;
    case SettingType::kRemoteAdmin:
      ParseRemoteAdmin(def, cursor);
      break;
  }
  return true;
}

// What an absent line means: switches that are written only when on are off,
// and a message without lines is empty; everything else keeps its value.
void ApplyAbsence(SettingDef& def) {
  switch (def.type) {
    case SettingType::kPresence:
    case SettingType::kRemoteConsole:
    case SettingType::kRemoteAdmin:
      def.current = 0;
      break;
    case SettingType::kMessage:
      def.text.clear();
      break;
    default:
      break;
  }
}

bool IsAdminKey(const char* key) {
  return strncasecmp(key, "admin", 5) == 0;
}

void WriteInteger(std::FILE* file, const char* key, int row, const SettingDef& def) {
  const long value = def.current;
  if (IsAdminKey(key)) {
    const Setting setting = static_cast<Setting>(row);
    if (setting == Setting::ServerGameTime) {
      std::fprintf(file, "%s %li\n", key, value * 60);
      return;
    }
    if (IsPercentRatioRow(setting)) {
      std::fprintf(file, "%s %.2f\n", key, static_cast<double>(value) / 100);
      return;
    }
    if (setting == Setting::ServerNumberOfRounds && value == 0) {
      std::fprintf(file, "%s %i\n", key, -1);
      return;
    }
  }
  std::fprintf(file, "%s %li\n", key, value);
}

void WriteMessage(std::FILE* file, const char* key, const SettingDef& def) {
  std::string copy = CutToWidth(def.text, kSettingTextMax + 1);
  for (char& c : copy) {
    if (c == ' ') c = '_';
  }
  TokenCursor cursor(copy);
  std::string piece;
  for (int n = 0; n < kMessageLines && cursor.Next("\r\n", piece); ++n) {
    std::fprintf(file, "%s %i \"%.*s\"\n", key, n, static_cast<int>(kMessageLineMax),
                 piece.c_str());
  }
}

}  // namespace

bool IsPercentRatioRow(Setting setting) {
  switch (setting) {
    case Setting::ServerTicketRatio:
    case Setting::ServerSoldierFriendlyFire:
    case Setting::ServerSoldierFriendlyFireOnSplash:
    case Setting::ServerVehicleFriendlyFire:
    case Setting::ServerVehicleFriendlyFireOnSplash:
      return true;
    default:
      return false;
  }
}

long ParseDecimal(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < -INT_MAX) return -INT_MAX;
  return value;
}

long ParseScaledFraction(const std::string& text, int factor) {
  // Rounded to the nearest step, not truncated: 0.29 is 0.28999999 in single
  // precision, and truncating it would lose a hundredth at every save and load.
  const float value = std::strtof(text.c_str(), nullptr);
  const double scaled = static_cast<double>(value) * factor;
  if (std::isnan(scaled)) return 0;
  if (scaled >= INT_MAX) return INT_MAX;
  if (scaled <= -INT_MAX) return -INT_MAX;
  return std::lround(scaled);
}

bool TokenCursor::Next(const char* delimiters, std::string& token) {
  const std::size_t start = text_.find_first_not_of(delimiters, pos_);
  if (start == std::string::npos) {
    pos_ = text_.size();
    return false;
  }
  std::size_t end = text_.find_first_of(delimiters, start);
  if (end == std::string::npos) end = text_.size();
  token = text_.substr(start, end - start);
  pos_ = end < text_.size() ? end + 1 : end;
  return true;
}

SettingFileLines ReadSettingFile(std::FILE* file) {
  SettingFileLines lines;
  if (file == nullptr) return lines;
  std::rewind(file);
  // A line is cut at kSettingsLineMax characters; the rest of a longer one is
  // never taken for a line of its own.
  const bool read = ForEachLine(file, kSettingsLineMax, false, [&](std::string& line, bool) {
    line.resize(std::strcspn(line.c_str(), "\r\n"));
    TokenCursor cursor(line);
    std::string key;
    if (cursor.Next(" ", key)) lines.push_back({std::move(key), line});
    return true;
  });
  if (!read) {
    LogMessage(kLogInfo, "Couldn't read settings file! %s", ErrorText(ErrorCode()));
    std::clearerr(file);
  }
  return lines;
}

bool ReadSetting(const SettingFileLines& lines, const char* name, int row, OnInvalid onInvalid) {
  if (name == nullptr || row < 0 || row >= kSettingCount) return true;
  SettingDef& def = TableRow(row);
  bool found = false;
  bool valid = true;
  for (const SettingFileLine& line : lines) {
    if (strcasecmp(line.key.c_str(), name) != 0) continue;
    TokenCursor cursor(line.text);
    std::string key;
    cursor.Next(" ", key);
    found = true;
    valid = ParseValue(def, {name, onInvalid}, cursor) && valid;
    if (def.type != SettingType::kMessage) break;
  }
  if (!found) ApplyAbsence(def);
  return valid;
}

SettingLines IndexSettingLines(const SettingFileLines& file) {
  SettingLines lines;
  for (const SettingFileLine& line : file) {
    TokenCursor cursor(line.text);
    std::string key;
    cursor.Next(" ", key);
    lines.emplace(LowerCaseInPlace(key), cursor.Rest());  // the first wins
  }
  return lines;
}

const std::string* FindSettingLine(const SettingLines& lines, int row) {
  std::string name = SettingName(row);
  const auto found = lines.find(LowerCaseInPlace(name));
  return found == lines.end() ? nullptr : &found->second;
}

std::string SettingValueText(int row) {
  if (row < 0 || row >= kSettingCount) return {};
  char* buffer = nullptr;
  std::size_t size = 0;
  FileHandle file(open_memstream(&buffer, &size));
  if (!file) return {};
  WriteSettingLine(file.get(), "k", row);
  file.reset();  // sets buffer and size
  std::string text(buffer, size);
  std::free(buffer);
  text.resize(std::strcspn(text.c_str(), "\n"));
  return text.size() > 2 ? text.substr(2) : std::string();
}

void WriteSettingLine(std::FILE* file, const char* key, int row) {
  if (file == nullptr || key == nullptr || row < 0 || row >= kSettingCount) return;
  const SettingDef& def = TableRow(row);
  switch (def.type) {
    case SettingType::kPresence:
      if (def.current != 0) std::fprintf(file, "%s\n", key);
      break;
    case SettingType::kBool:
      std::fprintf(file, "%s %li\n", key, static_cast<long>(def.current));
      break;
    case SettingType::kText:
      std::fprintf(file, "%s \"%s\"\n", key, def.text.c_str());
      break;
    case SettingType::kMessage:
      WriteMessage(file, key, def);
      break;
    case SettingType::kInteger:
      WriteInteger(file, key, row, def);
      break;
    case SettingType::kNegativeInteger:
      std::fprintf(file, "%s %li\n", key, -static_cast<long>(def.current));
      break;
    case SettingType::kHundredths:
      std::fprintf(file, "%s %.2f\n", key, static_cast<double>(def.current) / 100);
      break;
    case SettingType::kTenths:
      std::fprintf(file, "%s %.1f\n", key, static_cast<double>(def.current) / 10);
      break;
    case SettingType::kChoice:
      std::fprintf(file, "%s %s\n", key, def.text.c_str());
      break;
    case SettingType::kAddress:
      std::fprintf(file, "%s %s\n", key, FormatIPv4(static_cast<std::uint32_t>(def.current)));
      break;
    case SettingType::kRemoteConsole:
      if (def.current != 0) {
        std::fprintf(file, "%s %s %s %li\n", key, Row(Setting::ConsoleUsername).text.c_str(),
                     Row(Setting::ConsolePassword).text.c_str(),
                     static_cast<long>(Row(Setting::ConsolePort).current));
      }
      break;
    case SettingType::kRemoteAdmin:
      if (def.current != 0) {
        std::fprintf(file, "%s %s\n", key, Row(Setting::ConsolePassword).text.c_str());
      }
      break;
  }
}

bool SaveSettingsFile(const std::string& path, std::int32_t pageMask) {
  const auto mask = static_cast<std::uint32_t>(pageMask);
  // Written beside and renamed into place: a full disk or a crash half-way can
  // never leave servermanager.con empty or cut short.
  const bool saved = ReplaceFile(path, kSecretFileMode, [mask](std::FILE* file) {
    for (int page = 0; page < kSettingPages; ++page) {
      if ((mask & (1u << page)) == 0) continue;
      for (int row = 0; row < kSettingCount; ++row) {
        if (TableRow(row).page == page) WriteSettingLine(file, SettingName(row), row);
      }
    }
    return true;
  });
  if (!saved) {
    LogMessage(kLogInfo, "Couldn't open settings file! %s", ErrorText(ErrorCode()));
  }
  return saved;
}

}  // namespace keldor
