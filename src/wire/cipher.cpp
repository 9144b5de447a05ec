// RC4 for the credential fields and the keyhash format check.
#include "wire/cipher.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"

namespace keldor {

namespace {

using Rc4State = std::array<std::uint8_t, 256>;

Rc4State KeySchedule(const std::uint8_t* key, std::size_t keyLength) {
  Rc4State s;
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i);
  std::uint8_t j = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    j = static_cast<std::uint8_t>(j + s[i] + key[i % keyLength]);
    std::swap(s[i], s[j]);
  }
  return s;
}

void Rc4Stream(Rc4State s, std::uint8_t* data, std::size_t length) {
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  for (std::size_t n = 0; n < length; ++n) {
    a = static_cast<std::uint8_t>(a + 1);
    b = static_cast<std::uint8_t>(b + s[a]);
    std::swap(s[a], s[b]);
    data[n] ^= s[static_cast<std::uint8_t>(s[a] + s[b])];
  }
}

}  // namespace

void Rc4Transform(std::uint8_t* data, std::size_t length, const std::uint8_t* key,
                  std::size_t keyLength) {
  if (data == nullptr || length == 0 || key == nullptr || keyLength == 0) return;
  Rc4Stream(KeySchedule(key, keyLength), data, length);
}

void CredentialTransform(std::uint8_t* data, std::size_t length) {
  // The key never changes, so neither does its schedule: worked out once. It is
  // most of the work for a field of 32 bytes.
  static const Rc4State schedule = KeySchedule(CREDENTIAL_KEY.data(), CREDENTIAL_KEY.size());
  if (data == nullptr || length == 0) return;
  Rc4Stream(schedule, data, length);
}

bool CheckKeyHash(const char* text) {
  if (text == nullptr || std::strlen(text) != kKeyHashLength) return Fail(kErrKeyHashLength);
  for (const char* p = text; *p; ++p) {
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return Fail(kErrKeyHashHex);
  }
  return true;
}

std::string EncipherField(const std::string& value, std::size_t fieldSize,
                          const std::string& filler) {
  std::vector<std::uint8_t> field(fieldSize, 0);
  std::memcpy(field.data(), filler.data(), std::min(filler.size(), fieldSize));
  const std::string text = CutToWidth(value, fieldSize - 1);
  std::memcpy(field.data(), text.c_str(), text.size() + 1);
  CredentialTransform(field.data(), field.size());
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(2 * field.size());
  for (std::uint8_t byte : field) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xF]);
  }
  return hex;
}

std::string DecipherField(const std::string& field, std::size_t fieldSize, bool* wasPlain) {
  const bool hex = field.size() == 2 * fieldSize && IsHexText(field.c_str());
  if (wasPlain != nullptr) *wasPlain = !hex;
  if (!hex) return CutToWidth(field, fieldSize - 1);
  std::vector<std::uint8_t> bytes(fieldSize);
  // Two digits a byte; a pair is read up to its first non-digit, which only a
  // field with a zero byte inside can hold.
  const auto digit = [](char c) {
    return std::isdigit(static_cast<unsigned char>(c))
               ? c - '0'
               : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
  };
  const auto isDigit = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t k = 0; k < fieldSize; ++k) {
    const char high = field[2 * k];
    const char low = field[2 * k + 1];
    const int value = !isDigit(high)  ? 0
                      : !isDigit(low) ? digit(high)
                                      : digit(high) * 16 + digit(low);
    bytes[k] = static_cast<std::uint8_t>(value);
  }
  CredentialTransform(bytes.data(), bytes.size());
  // The text ends at its NUL; a field without one (not written by us) is cut.
  std::size_t length = 0;
  while (length < fieldSize - 1 && bytes[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(bytes.data()), length);
}

}  // namespace keldor
