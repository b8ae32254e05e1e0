#include "quovel/keys.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <limits>

#include "quovel/hex.hpp"
#include "quovel/text.hpp"

namespace quovel {
namespace {

// Overwrites a temporary holding key material when it goes out of scope,
// on every return path.
template <typename Buffer>
class WipeOnExit {
 public:
  explicit WipeOnExit(Buffer& buffer) : buffer_(buffer) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() {
    if (!buffer_.empty()) OPENSSL_cleanse(buffer_.data(), buffer_.size());
  }

 private:
  Buffer& buffer_;
};

constexpr std::uint64_t kMaxUnlockKey = std::numeric_limits<std::uint32_t>::max();

}  // namespace

Result<AesKey> aes_key_from_text(std::string_view utf8) {
  std::string digits = remove_whitespace_and_colons(utf8);
  const WipeOnExit wipe_digits(digits);
  if (digits.size() == 2 * kAesKeySize) {
    // The usual case: decode straight into the key, with no buffer between.
    AesKey::Array array{};
    const WipeOnExit wipe_array(array);
    if (auto decoded = decode_hex_into(digits, array); !decoded) {
      return fail(std::move(decoded.error()));
    }
    return AesKey(array);
  }
  auto decoded = decode_hex(digits);
  if (!decoded) return fail(std::move(decoded.error()));
  const WipeOnExit wipe_decoded(*decoded);
  return aes_key_from_bytes(*decoded);
}

Result<AesKey> aes_key_from_bytes(ByteView bytes) {
  if (bytes.size() != kAesKeySize) return fail(error::AesKeyLength{bytes.size()});
  AesKey::Array array{};
  const WipeOnExit wipe_array(array);
  std::copy(bytes.begin(), bytes.end(), array.begin());
  return AesKey(array);
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
