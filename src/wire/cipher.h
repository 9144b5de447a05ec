// The credential cipher (RC4 under CREDENTIAL_KEY) and the keyhash check shared
// by the client protocol, the account file and the ban synchronisation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

constexpr std::size_t kCredentialKeySize = 1024;
constexpr std::size_t kKeyHashLength = 32;
// Credential fields of a user list, with the terminating NUL; the texts are one shorter.
constexpr std::size_t kNameFieldSize = 32;
constexpr std::size_t kPasswordFieldSize = 32;
constexpr std::size_t kKeyHashFieldSize = 33;

// Identical in every client of the protocol; it must never change.
extern const std::array<std::uint8_t, kCredentialKeySize> CREDENTIAL_KEY;

// RC4 from a fresh key schedule: the same call enciphers and deciphers. Does
// nothing when any argument is null or zero.
void Rc4Transform(std::uint8_t* data, std::size_t length, const std::uint8_t* key,
                  std::size_t keyLength);

// The credential fields' cipher: Rc4Transform under CREDENTIAL_KEY.
void CredentialTransform(std::uint8_t* data, std::size_t length);

// One credential field as stored in a user list: `value` (cut to fieldSize - 1)
// with its NUL over `filler` (random characters; what follows the NUL carries no
// meaning), enciphered, in upper-case hexadecimal.
std::string EncipherField(const std::string& value, std::size_t fieldSize,
                          const std::string& filler);
// The stored form back to its text: exactly 2 * fieldSize hexadecimal digits
// are deciphered, anything else is plain text; `wasPlain` (may be null) tells
// which. The result is cut to fieldSize - 1 characters either way.
std::string DecipherField(const std::string& field, std::size_t fieldSize, bool* wasPlain);

// True for exactly 32 hexadecimal digits (either case); otherwise ErrorCode
// 30016 (wrong length) or 30017 (not hexadecimal).
bool CheckKeyHash(const char* text);

}  // namespace keldor
