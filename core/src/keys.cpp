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
  const Secret<std::string> digits(remove_whitespace_and_colons(utf8));
  if (digits.value().size() == 2 * kAesKeySize) {
    // The usual case: decode straight into the key, with no buffer between.
    Secret<AesKey::Array> array;
    if (auto decoded = decode_hex_into(digits.value(), array.value()); !decoded) {
      return fail(std::move(decoded.error()));
    }
    return Result<AesKey>(std::in_place, std::move(array));
  }
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
