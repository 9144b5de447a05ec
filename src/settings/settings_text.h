// Text and number parsing shared by the settings file readers, the console
// read-back and the game configuration writers (internal to the settings code).
#pragma once

#include <strings.h>

#include <cstdio>
#include <string>

#include "settings/settings.h"

namespace keldor {

// Walks a text token by token like strtok: each call skips leading delimiters,
// takes the token up to the next delimiter and steps over that one delimiter.
class TokenCursor {
 public:
  explicit TokenCursor(std::string text) : text_(std::move(text)) {}
  bool Next(const char* delimiters, std::string& token);
  std::string Rest() const { return text_.substr(pos_); }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

// A decimal integer as atoi reads it (non-numeric text is 0), held within int range.
long ParseDecimal(const std::string& text);

// A decimal fraction read in single precision, times `factor`, rounded to the
// nearest integer and held within int range; non-numeric text is 0.
long ParseScaledFraction(const std::string& text, int factor);

// Keys of our own, which never reach the game server.
inline bool IsManagerKey(const char* key) {
  return strncasecmp(key, "manager", 7) == 0;
}

// The ticket ratio and the four friendly-fire ratios: percentages here, ratios on the console.
bool IsPercentRatioRow(Setting setting);

}  // namespace keldor
