#include "quovel/base64.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"
#include "quovel/hex.hpp"

namespace quovel {
namespace {

constexpr char kPad = '=';

constexpr std::uint8_t kNotASymbol = 0xff;

// Each byte's 6-bit value, looked up once per symbol instead of tested
// against each range of the alphabet.
constexpr std::array<std::uint8_t, 256> kSymbolValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotASymbol);
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return values;
}();

std::optional<std::uint8_t> symbol_value(char c) {
  const std::uint8_t value = kSymbolValues[static_cast<unsigned char>(c)];
  if (value == kNotASymbol) return std::nullopt;
  return value;
}

CoreError base64_error(std::string description) {
  return error::Base64Decode{std::move(description)};
}

CoreError invalid_symbol(char c, std::size_t offset) {
  const auto byte = static_cast<std::uint8_t>(c);
  std::string description = "invalid symbol ";
  append_byte_description(description, byte);
  return base64_error(std::move(description) + " at offset " + std::to_string(offset));
}

}  // namespace

Result<Bytes> decode_base64(std::string_view text) {
  // Data symbols run up to the first '='; only '=' may follow.
  const std::size_t data_end = std::min(text.find(kPad), text.size());
  for (std::size_t i = 0; i < data_end; ++i) {
    if (!symbol_value(text[i])) return fail(invalid_symbol(text[i], i));
  }
  for (std::size_t i = data_end; i < text.size(); ++i) {
    if (text[i] != kPad) {
      return fail(base64_error("invalid padding: symbol after '=' at offset " + std::to_string(i)));
    }
  }
  if (text.size() % 4 != 0) {
    return fail(
        base64_error("invalid length " + std::to_string(text.size()) + ", not a multiple of 4"));
  }
  // One symbol alone carries only 6 bits, so it can never end a block, and
  // padding beyond the block's end is never canonical.
  const std::size_t tail = data_end % 4;
  const std::size_t padding = text.size() - data_end;
  if (tail == 1 || padding != (4 - tail) % 4) {
    return fail(base64_error("invalid padding at offset " + std::to_string(data_end)));
  }

  Bytes out;
  out.reserve(data_end / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (std::size_t i = 0; i < data_end; ++i) {
    bits = (bits << 6) | kSymbolValues[static_cast<unsigned char>(text[i])];  // checked above
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> bit_count));
      bits &= (1u << bit_count) - 1;
    }
  }
  // What is left over are the unused low bits of the last symbol.
  if (bits != 0) {
    return fail(base64_error("trailing bits of the last symbol are not zero at offset " +
                             std::to_string(data_end - 1)));
  }
  return out;
}

}  // namespace quovel
