#include "quovel/hex.hpp"

#include <optional>

namespace quovel {
namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";

std::optional<std::uint8_t> nibble(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

CoreError invalid_character(std::string_view text, std::size_t index) {
  const auto byte = static_cast<unsigned char>(text[index]);
  std::string description = "invalid character ";
  if (byte >= 0x20 && byte < 0x7f) {
    description += '\'';
    description += static_cast<char>(byte);
    description += '\'';
  } else {
    description += "byte 0x";
    append_hex_byte(description, byte, HexCase::Lower);
  }
  description += " at index " + std::to_string(index);
  return error::HexDecode{std::move(description)};
}

}  // namespace

void append_hex_byte(std::string& out, std::uint8_t value, HexCase letter_case) {
  const char* digits = letter_case == HexCase::Lower ? kLowerDigits : kUpperDigits;
  out += digits[value >> 4];
  out += digits[value & 0x0f];
}

Result<Bytes> decode_hex(std::string_view text) {
  if (text.size() % 2 != 0) {
    return fail(error::HexDecode{"odd number of digits (" + std::to_string(text.size()) + ")"});
  }
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto high = nibble(text[i]);
    if (!high) return fail(invalid_character(text, i));
    const auto low = nibble(text[i + 1]);
    if (!low) return fail(invalid_character(text, i + 1));
    out.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
  }
  return out;
}

std::string encode_hex_lower(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) append_hex_byte(out, b, HexCase::Lower);
  return out;
}

}  // namespace quovel
