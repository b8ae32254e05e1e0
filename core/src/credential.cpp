#include "quovel/credential.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "quovel/base64.hpp"
#include "quovel/bytes.hpp"
#include "quovel/crc.hpp"
#include "quovel/errors.hpp"
#include "quovel/text.hpp"

namespace quovel {
namespace {

constexpr std::size_t kReplacedSeedPosition = 33;

// Dots that some senders append are not part of the Base64 text.
std::string_view strip_trailing_dots(std::string_view text) {
  while (!text.empty() && text.back() == '.') text.remove_suffix(1);
  return text;
}

const char* reason_text(DecimalFault fault) {
  return fault == DecimalFault::TooLarge ? "number too large to fit in target type"
                                         : "invalid digit found in string";
}

// The comma-separated byte values, in text order; empty pieces are skipped.
Result<Bytes> parse_byte_list(std::string_view text) {
  Bytes values;
  values.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1);
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    if (!piece.empty()) {
      const auto value = parse_decimal(piece, std::numeric_limits<std::uint8_t>::max());
      if (!value) {
        return fail(error::Protocol{"invalid credential byte " + std::string(piece) + ": " +
                                    reason_text(value.error())});
      }
      values.push_back(static_cast<std::uint8_t>(*value));
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return values;
}

// The seed for the byte at `last`: the checksum's replaced step at exactly
// position 33 (not at 289, 545, ...), the CRC table's entry otherwise.
std::uint8_t seed_for(std::size_t last) {
  return last == kReplacedSeedPosition ? kCrc8Replacement : CRC8_TABLE[last % 256];
}

}  // namespace

Result<std::uint32_t> decode_credential(std::string_view utf8) {
  const auto decoded = decode_base64(strip_trailing_dots(trim_whitespace(utf8)));
  if (!decoded) return fail(decoded.error());
  const auto list_text = utf8_text(*decoded);
  if (!list_text) return fail(list_text.error());
  const auto values = parse_byte_list(trim_whitespace(*list_text));
  if (!values) return fail(values.error());
  if (values->empty()) return fail(error::CredentialOutOfRange{});

  const std::size_t last = values->size() - 1;
  const std::uint8_t mask = (*values)[last] ^ seed_for(last);
  std::string number;
  number.reserve(last);
  for (std::size_t i = 0; i < last; ++i) {
    number += static_cast<char>((*values)[i] ^ mask);
  }
  // Only '+' and ASCII digits pass, so non-UTF-8 bytes are refused here too.
  const auto value = parse_decimal(number, std::numeric_limits<std::uint32_t>::max());
  if (!value) return fail(error::CredentialOutOfRange{});
  return static_cast<std::uint32_t>(*value);
}

}  // namespace quovel
