// The credential cipher and the keyhash check.
#include "wire/cipher.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/error.h"
#include "core/log.h"
#include "daemon/startup.h"

namespace keldor {
namespace {

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string hex;
  char pair[3];
  for (std::size_t k = 0; k < size; ++k) {
    std::snprintf(pair, sizeof pair, "%02X", data[k]);
    hex += pair;
  }
  return hex;
}

TEST(Cipher, CredentialFieldMatchesTheKnownAnswerAndDeciphersBack) {
  std::uint8_t field[32] = {'a', 'd', 'm', 'i', 'n'};
  CredentialTransform(field, sizeof field);
  EXPECT_EQ(Hex(field, 16), "9369A64C4D3BD12D9CB19FE5F719156D");
  // Each call starts afresh, so the same call deciphers.
  CredentialTransform(field, sizeof field);
  EXPECT_STREQ(reinterpret_cast<const char*>(field), "admin");
  for (std::size_t k = 5; k < sizeof field; ++k) EXPECT_EQ(field[k], 0) << k;
}

TEST(Cipher, KeyHashMustBe32HexDigitsInEitherCase) {
  ResetAllState();
  EXPECT_TRUE(CheckKeyHash("0123456789abcdefABCDEF0123456789"));
  EXPECT_FALSE(CheckKeyHash("0123456789abcdefABCDEF012345678"));
  EXPECT_EQ(ErrorCode(), kErrKeyHashLength);
  ErrorCode() = 0;
  EXPECT_FALSE(CheckKeyHash("0123456789abcdefABCDEF01234567890"));
  EXPECT_EQ(ErrorCode(), kErrKeyHashLength);
  EXPECT_FALSE(CheckKeyHash("0123456789abcdefABCDEF012345678g"));
  EXPECT_EQ(ErrorCode(), kErrKeyHashHex);
  EXPECT_FALSE(CheckKeyHash(nullptr));
}

}  // namespace
}  // namespace keldor
