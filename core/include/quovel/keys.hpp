// The user's key material: the AES key and the unlock key, as typed or given.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/errors.hpp"
#include "quovel/secret.hpp"

namespace quovel {

// Hex text with any whitespace and ':' anywhere ("0A:1b ...", a trailing
// newline). An odd digit count or a non-hex character is HexDecode; a
// decoded length other than 16 is AesKeyLength.
Result<AesKey> aes_key_from_text(std::string_view utf8);

// The 16 bytes themselves; never read as hex text. Other lengths fail with
// AesKeyLength.
Result<AesKey> aes_key_from_bytes(ByteView bytes);

// Canonical form: 32 lower-case hex digits.
std::string aes_key_to_text(const AesKey& key);
// The same digits held inline, wiped when they go.
using AesKeyDigits = std::array<char, 2 * kAesKeySize>;
Secret<AesKeyDigits> aes_key_to_digits(const AesKey& key);

// 1 to 4294967295; 0 (what an empty field becomes) and larger values fail
// with InvalidUnlockKey.
Result<std::uint32_t> unlock_key_from_integer(std::uint64_t value);

// Decimal text, trimmed of whitespace, with an optional single leading '+'.
// Anything else, 0, or a value above 4294967295 fails with InvalidUnlockKey.
Result<std::uint32_t> unlock_key_from_text(std::string_view utf8);

}  // namespace quovel
