// RC4 for the credential fields and the keyhash format check.
#include "wire/cipher.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "core/error.h"
#include "core/log.h"

namespace keldor {

void Rc4Transform(std::uint8_t* data, std::size_t length, const std::uint8_t* key,
                  std::size_t keyLength) {
  if (data == nullptr || length == 0 || key == nullptr || keyLength == 0) return;
  std::array<std::uint8_t, 256> s;
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i);
  std::uint8_t j = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    j = static_cast<std::uint8_t>(j + s[i] + key[i % keyLength]);
    std::swap(s[i], s[j]);
  }
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  for (std::size_t n = 0; n < length; ++n) {
    a = static_cast<std::uint8_t>(a + 1);
    b = static_cast<std::uint8_t>(b + s[a]);
    std::swap(s[a], s[b]);
    data[n] ^= s[static_cast<std::uint8_t>(s[a] + s[b])];
  }
}

bool CheckKeyHash(const char* text) {
  if (text == nullptr || std::strlen(text) != kKeyHashLength) return Fail(kErrKeyHashLength);
  for (const char* p = text; *p; ++p) {
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return Fail(kErrKeyHashHex);
  }
  return true;
}

}  // namespace keldor
