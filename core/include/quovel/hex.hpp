// Hexadecimal text: writing bytes as digits, and strict decoding of digits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"

namespace quovel {

enum class HexCase : std::uint8_t { Lower, Upper };

// The digit for the low four bits of `value`. Inline: address text is
// written for every advertisement heard.
constexpr char hex_digit(unsigned value, HexCase letter_case) {
  constexpr std::string_view kLower = "0123456789abcdef";
  constexpr std::string_view kUpper = "0123456789ABCDEF";
  return (letter_case == HexCase::Lower ? kLower : kUpper)[value & 0x0fU];
}

// Appends exactly two digits for `value`.
void append_hex_byte(std::string& out, std::uint8_t value, HexCase letter_case);

// Names a byte that a decoder refused: the character in single quotes when
// it is printable ASCII, otherwise "byte 0x" and two lower-case digits.
void append_byte_description(std::string& out, std::uint8_t byte);

// Decodes pairs of digits (0-9, a-f, A-F), high nibble first. An odd length
// fails at once; otherwise the first non-digit fails, named with its offset.
Result<Bytes> decode_hex(std::string_view text);

// The same decoding into `out`, for callers that know the size: `text` must
// hold exactly two digits per byte of `out`, or it fails as decode_hex would
// for a length it cannot use.
Result<void> decode_hex_into(std::string_view text, std::span<std::uint8_t> out);

// Every byte as two lower-case digits, no separators.
std::string encode_hex_lower(ByteView bytes);
// The same into `out`, which holds exactly two characters per byte.
void encode_hex_lower_into(ByteView bytes, std::span<char> out);

}  // namespace quovel
