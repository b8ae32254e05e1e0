// Key material as the user types it: AES key text and bytes, unlock key
// text, credentials, and the strict Base64 and hex decoders below them.
// Never a crash; whatever is accepted must come back through the canonical
// form unchanged, and credentials built by the encoding rule must decode to
// the number they were built from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quovel/base64.hpp"
#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/crc.hpp"
#include "quovel/credential.hpp"
#include "quovel/errors.hpp"
#include "quovel/hex.hpp"
#include "quovel/keys.hpp"
#include "quovel/text.hpp"

namespace quovel::fuzz {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string encode_base64(ByteView bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t take = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j) group = group << 8 | (j < take ? bytes[i + j] : 0);
    for (std::size_t j = 0; j < 4; ++j) {
      out += j <= take ? kAlphabet[(group >> (18 - 6 * j)) & 0x3f] : '=';
    }
  }
  return out;
}

void check_aes_key_text(std::string_view text) {
  const Result<AesKey> key = aes_key_from_text(text);
  if (!key) {
    const ErrorKind kind = key.error().kind();
    FUZZ_REQUIRE(kind == ErrorKind::HexDecode || kind == ErrorKind::AesKeyLength);
    if (kind == ErrorKind::AesKeyLength) {
      FUZZ_REQUIRE(std::get<error::AesKeyLength>(key.error().payload()).got != kAesKeySize);
    }
    FUZZ_REQUIRE(!key.error().message().empty());
    return;
  }
  const std::string canonical = aes_key_to_text(*key);
  FUZZ_REQUIRE(canonical.size() == 32);
  // Only whitespace and colons are removed, and none of their bytes is an
  // ASCII hex digit: the digits of the input, in order, are the key.
  std::string digits;
  for (const char c : text) {
    if (is_hex_digit(c)) digits += lower(c);
  }
  FUZZ_REQUIRE(digits == canonical);
  const Result<AesKey> again = aes_key_from_text(canonical);
  FUZZ_REQUIRE(again && again->bytes() == key->bytes());
}

void check_aes_key_bytes(ByteView bytes) {
  const Result<AesKey> key = aes_key_from_bytes(bytes);
  FUZZ_REQUIRE(key.has_value() == (bytes.size() == kAesKeySize));
  if (key) {
    FUZZ_REQUIRE(std::ranges::equal(key->bytes(), bytes));
    FUZZ_REQUIRE(aes_key_to_text(*key) == encode_hex_lower(bytes));
  } else {
    FUZZ_REQUIRE(std::get<error::AesKeyLength>(key.error().payload()).got == bytes.size());
  }
}

void check_trim(std::string_view text) {
  const std::string_view trimmed = trim_whitespace(text);
  FUZZ_REQUIRE(trimmed.data() >= text.data() &&
               trimmed.data() + trimmed.size() <= text.data() + text.size());
  FUZZ_REQUIRE(trim_whitespace(trimmed) == trimmed);
  const std::string stripped = remove_whitespace_and_colons(text);
  FUZZ_REQUIRE(stripped.size() <= text.size());
  FUZZ_REQUIRE(stripped.find(':') == std::string::npos);
  // On malformed UTF-8, removing a character can join bytes into a new
  // whitespace character; text from the caller is always well-formed.
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (!utf8_error(bytes)) FUZZ_REQUIRE(remove_whitespace_and_colons(stripped) == stripped);
}

void check_unlock_key_text(std::string_view text) {
  const Result<std::uint32_t> key = unlock_key_from_text(text);
  // The model: after trimming, an optional '+', then digits whose value is
  // from 1 to 2^32-1.
  std::string_view body = trim_whitespace(text);
  if (!body.empty() && body.front() == '+') body.remove_prefix(1);
  bool valid = !body.empty();
  std::uint64_t value = 0;
  for (const char c : body) {
    if (c < '0' || c > '9' || value > kMaxU32) {
      valid = false;
      break;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  valid = valid && value >= 1 && value <= kMaxU32;
  FUZZ_REQUIRE(key.has_value() == valid);
  if (!key) {
    FUZZ_REQUIRE(key.error().kind() == ErrorKind::InvalidUnlockKey);
    FUZZ_REQUIRE(!key.error().message().empty());
    return;
  }
  FUZZ_REQUIRE(*key == value);
  FUZZ_REQUIRE(unlock_key_from_text(std::to_string(*key)) == *key);
  FUZZ_REQUIRE(unlock_key_from_integer(*key) == *key);
}

void check_unlock_key_integer(std::uint64_t value) {
  const Result<std::uint32_t> key = unlock_key_from_integer(value);
  FUZZ_REQUIRE(key.has_value() == (value >= 1 && value <= kMaxU32));
  if (key) FUZZ_REQUIRE(*key == value);
}

void check_credential_text(std::string_view text) {
  const Result<std::uint32_t> value = decode_credential(text);
  if (value) return;
  const ErrorKind kind = value.error().kind();
  FUZZ_REQUIRE(kind == ErrorKind::Base64Decode || kind == ErrorKind::Utf8Decode ||
               kind == ErrorKind::Protocol || kind == ErrorKind::CredentialOutOfRange);
  const std::string message = value.error().message();
  if (kind == ErrorKind::Protocol) FUZZ_REQUIRE(message.starts_with("invalid credential byte "));
  FUZZ_REQUIRE(!message.empty());
}

void check_decoders(std::string_view text) {
  const Result<Bytes> base64 = decode_base64(text);
  if (base64) {
    // Only the canonical encoding is accepted, so it must be this text.
    FUZZ_REQUIRE(encode_base64(*base64) == text);
  } else {
    FUZZ_REQUIRE(base64.error().kind() == ErrorKind::Base64Decode);
  }
  const Result<Bytes> hex = decode_hex(text);
  if (hex) {
    std::string lowered(text);
    for (char& c : lowered) c = lower(c);
    FUZZ_REQUIRE(encode_hex_lower(*hex) == lowered);
  } else {
    FUZZ_REQUIRE(hex.error().kind() == ErrorKind::HexDecode);
  }
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  FUZZ_REQUIRE(utf8_text(bytes).has_value() == !utf8_error(bytes).has_value());
}

// Builds a credential the way a sender does, with the optional noise the
// decoder must put up with, and checks that it decodes to its number.
void check_credential_round_trip(Reader in) {
  const auto number = static_cast<std::uint32_t>(in.number(4));
  const std::uint8_t mask = in.byte();
  std::string text;
  if (in.flag()) text += '+';
  text.append(in.byte() % 40, '0');
  text += std::to_string(number);

  const std::size_t last = text.size();
  const std::uint8_t seed = last == 33 ? kCrc8Replacement : CRC8_TABLE[last % 256];
  std::string list = in.flag() ? " \t" : "";
  for (std::size_t i = 0; i <= last; ++i) {
    const auto value = i < last
                           ? static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ mask)
                           : static_cast<std::uint8_t>(mask ^ seed);
    const std::uint8_t style = in.byte();
    if (style & 1) list += ',';  // an empty piece
    if (style & 2) list += '+';
    if (style & 4) list += '0';
    list += std::to_string(value);
    if (i < last) list += ',';
  }
  if (in.flag()) list += ",\n";

  std::string encoded =
      encode_base64(ByteView(reinterpret_cast<const std::uint8_t*>(list.data()), list.size()));
  encoded.append(in.byte() % 3, '.');
  if (in.flag()) encoded = "\u3000 " + encoded + "\r\n";
  const Result<std::uint32_t> decoded = decode_credential(encoded);
  FUZZ_REQUIRE(decoded.has_value() && *decoded == number);
}

}  // namespace
}  // namespace quovel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quovel::fuzz;
  const quovel::ByteView input(data, size);
  const std::string_view text = as_text(input);
  check_aes_key_text(text);
  check_aes_key_bytes(input);
  check_trim(text);
  check_unlock_key_text(text);
  check_unlock_key_integer(Reader(input).number(8));
  check_credential_text(text);
  check_decoders(text);
  check_credential_round_trip(Reader(input));
  return 0;
}
