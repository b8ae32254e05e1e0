#include "quovel/keys.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/errors.hpp"
#include "quovel/hex.hpp"
#include "quovel/secret.hpp"
#include "quovel/text.hpp"

namespace quovel {
namespace {

constexpr std::uint64_t kMaxUnlockKey = std::numeric_limits<std::uint32_t>::max();

}  // namespace

Result<AesKey> aes_key_from_text(std::string_view utf8) {
  // The usual case: the digits fit a key, and go from the stack straight
  // into it, with no heap buffer to leave behind.
  Secret<AesKeyDigits> inline_digits;
  const auto kept = remove_whitespace_and_colons_into(utf8, inline_digits.value());
  if (kept == inline_digits.value().size()) {
    Secret<AesKey::Array> array;
    const std::string_view text(inline_digits.value().data(), *kept);
    if (auto decoded = decode_hex_into(text, array.value()); !decoded) {
      return fail(std::move(decoded.error()));
    }
    return Result<AesKey>(std::in_place, std::move(array));
  }
  // Any other length fails; the whole text is kept for the message.
  const Secret<std::string> digits(remove_whitespace_and_colons(utf8));
  auto decoded = decode_hex(digits.value());
  if (!decoded) return fail(std::move(decoded.error()));
  const Secret<Bytes> bytes(std::move(*decoded));
  return aes_key_from_bytes(bytes.value());
}

Result<AesKey> aes_key_from_bytes(ByteView bytes) {
  if (bytes.size() != kAesKeySize) return fail(error::AesKeyLength{bytes.size()});
  Secret<AesKey::Array> array;
  std::copy(bytes.begin(), bytes.end(), array.value().begin());
  return Result<AesKey>(std::in_place, std::move(array));
}

std::string aes_key_to_text(const AesKey& key) { return encode_hex_lower(key.bytes()); }

Secret<AesKeyDigits> aes_key_to_digits(const AesKey& key) {
  Secret<AesKeyDigits> digits;
  encode_hex_lower_into(key.bytes(), digits.value());
  return digits;
}

Result<std::uint32_t> unlock_key_from_integer(std::uint64_t value) {
  if (value == 0 || value > kMaxUnlockKey) return fail(error::InvalidUnlockKey{});
  return static_cast<std::uint32_t>(value);
}

Result<std::uint32_t> unlock_key_from_text(std::string_view utf8) {
  const auto value = parse_decimal(trim_whitespace(utf8), kMaxUnlockKey);
  if (!value) return fail(error::InvalidUnlockKey{});
  return unlock_key_from_integer(*value);
}

}  // namespace quovel
