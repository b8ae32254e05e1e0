#include "quovel/hex.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"

namespace quovel {
namespace {

constexpr std::uint8_t kNotADigit = 0xff;

// Each byte's value as a hex digit, one lookup per digit.
constexpr std::array<std::uint8_t, 256> kNibbles = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotADigit);
  for (std::uint8_t i = 0; i < 16; ++i) {
    values[static_cast<unsigned char>(hex_digit(i, HexCase::Lower))] = i;
    values[static_cast<unsigned char>(hex_digit(i, HexCase::Upper))] = i;
  }
  return values;
}();

std::uint8_t nibble(char c) { return kNibbles[static_cast<unsigned char>(c)]; }

CoreError invalid_character(std::string_view text, std::size_t index) {
  const auto byte = static_cast<unsigned char>(text[index]);
  std::string description = "invalid character ";
  append_byte_description(description, byte);
  description += " at index " + std::to_string(index);
  return error::HexDecode{std::move(description)};
}

CoreError odd_length(std::string_view text) {
  return error::HexDecode{"odd number of digits (" + std::to_string(text.size()) + ")"};
}

}  // namespace

void append_hex_byte(std::string& out, std::uint8_t value, HexCase letter_case) {
  out += hex_digit(value >> 4U, letter_case);
  out += hex_digit(value, letter_case);
}

void append_byte_description(std::string& out, std::uint8_t byte) {
  if (byte >= 0x20 && byte < 0x7f) {
    out += '\'';
    out += static_cast<char>(byte);
    out += '\'';
  } else {
    out += "byte 0x";
    append_hex_byte(out, byte, HexCase::Lower);
  }
}

Result<Bytes> decode_hex(std::string_view text) {
  if (text.size() % 2 != 0) return fail(odd_length(text));
  Bytes out(text.size() / 2);
  if (auto decoded = decode_hex_into(text, out); !decoded) return fail(std::move(decoded.error()));
  return out;
}

Result<void> decode_hex_into(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() % 2 != 0) return fail(odd_length(text));
  if (text.size() != out.size() * 2) {
    return fail(error::HexDecode{"expected " + std::to_string(out.size() * 2) + " digits, got " +
                                 std::to_string(text.size())});
  }
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::uint8_t high = nibble(text[i]);
    if (high == kNotADigit) return fail(invalid_character(text, i));
    const std::uint8_t low = nibble(text[i + 1]);
    if (low == kNotADigit) return fail(invalid_character(text, i + 1));
    out[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return {};
}

std::string encode_hex_lower(ByteView bytes) {
  std::string out(bytes.size() * 2, '\0');
  encode_hex_lower_into(bytes, out);
  return out;
}

void encode_hex_lower_into(ByteView bytes, std::span<char> out) {
  for (std::size_t i = 0; i < bytes.size() && 2 * i + 1 < out.size(); ++i) {
    out[2 * i] = hex_digit(bytes[i] >> 4U, HexCase::Lower);
    out[2 * i + 1] = hex_digit(bytes[i], HexCase::Lower);
  }
}

}  // namespace quovel
