#include "quovel/text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"
#include "quovel/hex.hpp"

namespace quovel {
namespace {

enum class Fault : std::uint8_t {
  None,
  UnexpectedContinuation,
  InvalidByte,
  Overlong,
  Surrogate,
  AboveMaximum,
  MissingContinuation,
  Truncated,
};

struct Decoded {
  char32_t value = 0;
  std::size_t length = 1;
  Fault fault = Fault::None;
  std::size_t fault_offset = 0;  // where the offending byte stands
};

std::uint8_t byte_at(std::string_view text, std::size_t index) {
  return static_cast<std::uint8_t>(text[index]);
}

Decoded faulty(Fault fault, std::size_t offset) { return {0, 1, fault, offset}; }

// Decodes the code point that starts at `pos` (pos < text.size()), accepting
// only the well-formed sequences of the Unicode standard.
Decoded decode_at(std::string_view text, std::size_t pos) {
  const std::uint8_t lead = byte_at(text, pos);
  if (lead < 0x80) return {lead, 1, Fault::None, pos};
  if (lead < 0xc0) return faulty(Fault::UnexpectedContinuation, pos);
  if (lead < 0xc2) return faulty(Fault::Overlong, pos);
  if (lead >= 0xf5) return faulty(Fault::InvalidByte, pos);

  std::size_t length = 2;
  char32_t value = lead & 0x1f;
  // Bounds of the second byte; narrower than 0x80-0xbf where the lead byte
  // alone cannot rule out an overlong form, a surrogate or a too-large value.
  std::uint8_t second_min = 0x80;
  std::uint8_t second_max = 0xbf;
  if (lead >= 0xf0) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xf0) second_min = 0x90;
    if (lead == 0xf4) second_max = 0x8f;
  } else if (lead >= 0xe0) {
    length = 3;
    value = lead & 0x0f;
    if (lead == 0xe0) second_min = 0xa0;
    if (lead == 0xed) second_max = 0x9f;
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (pos + i >= text.size()) return faulty(Fault::Truncated, pos);
    const std::uint8_t next = byte_at(text, pos + i);
    if ((next & 0xc0) != 0x80) return faulty(Fault::MissingContinuation, pos + i);
    if (i == 1 && next < second_min) return faulty(Fault::Overlong, pos);
    if (i == 1 && next > second_max) {
      return faulty(lead == 0xed ? Fault::Surrogate : Fault::AboveMaximum, pos);
    }
    value = (value << 6) | (next & 0x3f);
  }
  return {value, length, Fault::None, pos};
}

std::string describe(std::string_view text, const Decoded& decoded) {
  const std::string offset = std::to_string(decoded.fault_offset);
  std::string byte = "0x";
  append_hex_byte(byte, byte_at(text, decoded.fault_offset), HexCase::Lower);
  switch (decoded.fault) {
    case Fault::UnexpectedContinuation:
      return "unexpected continuation byte " + byte + " at offset " + offset;
    case Fault::InvalidByte: return "invalid byte " + byte + " at offset " + offset;
    case Fault::Overlong: return "overlong encoding at offset " + offset;
    case Fault::Surrogate: return "encoded surrogate at offset " + offset;
    case Fault::AboveMaximum: return "code point above U+10FFFF at offset " + offset;
    case Fault::MissingContinuation:
      return "expected a continuation byte at offset " + offset + ", found " + byte;
    case Fault::Truncated:
      return "incomplete sequence at offset " + offset + " cut off by the end of the text";
    case Fault::None: break;
  }
  return {};
}

// Byte length of the whitespace character starting at `pos`, or 0.
std::size_t whitespace_length_at(std::string_view text, std::size_t pos) {
  const Decoded decoded = decode_at(text, pos);
  return decoded.fault == Fault::None && is_unicode_whitespace(decoded.value) ? decoded.length : 0;
}

// Byte length of the whitespace character ending at `end` (end > 0), or 0.
std::size_t whitespace_length_before(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (byte_at(text, start) & 0xc0) == 0x80) --start;
  const Decoded decoded = decode_at(text, start);
  const bool ends_here = decoded.fault == Fault::None && start + decoded.length == end;
  return ends_here && is_unicode_whitespace(decoded.value) ? decoded.length : 0;
}

// ':' and the ASCII characters with the White_Space property.
constexpr std::array<bool, 0x80> kAsciiSeparators = [] {
  std::array<bool, 0x80> separators{};
  for (std::size_t c = 0x09; c <= 0x0d; ++c) separators[c] = true;
  separators[' '] = true;
  separators[':'] = true;
  return separators;
}();

std::string_view as_chars(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void append_unicode_escape(std::string& out, unsigned code_point) {
  out += "\\u{";
  if (code_point >= 0x10) out += hex_digit(code_point >> 4U, HexCase::Lower);
  out += hex_digit(code_point, HexCase::Lower);
  out += '}';
}

// Copies what is not a separator into `out` as far as it fits, and gives
// the length the whole result has.
std::size_t strip_separators(std::string_view utf8, std::span<char> out) {
  std::size_t length = 0;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    // Key texts are ASCII: decide those bytes without decoding.
    const std::uint8_t byte = byte_at(utf8, pos);
    if (byte < 0x80) {
      // Written always and kept by moving on: separators alternate with
      // digits too irregularly for a branch.
      if (length < out.size()) out[length] = static_cast<char>(byte);
      length += kAsciiSeparators[byte] ? 0 : 1;
      ++pos;
      continue;
    }
    const Decoded decoded = decode_at(utf8, pos);
    if (decoded.fault != Fault::None || !is_unicode_whitespace(decoded.value)) {
      if (length < out.size()) {
        utf8.copy(out.data() + length, std::min(decoded.length, out.size() - length), pos);
      }
      length += decoded.length;
    }
    pos += decoded.length;
  }
  return length;
}

// Quoted and escaped the way a debug string prints: control characters
// (C0, DEL, C1) become escapes, everything else is copied unchanged.
}  // namespace

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

std::string_view trim_whitespace(std::string_view utf8) {
  std::size_t begin = 0;
  while (begin < utf8.size()) {
    const std::size_t length = whitespace_length_at(utf8, begin);
    if (length == 0) break;
    begin += length;
  }
  std::size_t end = utf8.size();
  while (end > begin) {
    const std::size_t length = whitespace_length_before(utf8, end);
    if (length == 0) break;
    end -= length;
  }
  return utf8.substr(begin, end - begin);
}

std::string remove_whitespace_and_colons(std::string_view utf8) {
  // Sized once and cut back at the end: the one allocation never moves.
  std::string kept(utf8.size(), '\0');
  kept.resize(strip_separators(utf8, kept));  // shrinks in place
  return kept;
}

std::optional<std::size_t> remove_whitespace_and_colons_into(std::string_view utf8,
                                                             std::span<char> out) {
  const std::size_t length = strip_separators(utf8, out);
  if (length > out.size()) return std::nullopt;
  return length;
}

std::expected<std::uint64_t, DecimalFault> parse_decimal(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::unexpected(DecimalFault::InvalidDigit);
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::unexpected(DecimalFault::InvalidDigit);
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // value * 10 + digit > max, written so that it cannot overflow.
    if (value > max / 10 || value * 10 > max - digit) {
      return std::unexpected(DecimalFault::TooLarge);
    }
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::string> utf8_error(ByteView bytes) {
  const std::string_view text = as_chars(bytes);
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (byte_at(text, pos) < 0x80) {  // ASCII needs no decoding
      ++pos;
      continue;
    }
    const Decoded decoded = decode_at(text, pos);
    if (decoded.fault != Fault::None) return describe(text, decoded);
    pos += decoded.length;
  }
  return std::nullopt;
}

Result<std::string_view> utf8_text(ByteView bytes) {
  if (auto problem = utf8_error(bytes)) return fail(error::Utf8Decode{std::move(*problem)});
  return as_chars(bytes);
}

void append_debug_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      append_unicode_escape(out, byte);
      continue;
    }
    // U+0080..U+009F are encoded as C2 80..C2 9F; 0xC2 is only ever a lead byte.
    if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        append_unicode_escape(out, next);
        ++i;
        continue;
      }
    }
    out += static_cast<char>(byte);
  }
  out += '"';
}

}  // namespace quovel
