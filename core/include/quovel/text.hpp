// UTF-8 text helpers: Unicode whitespace, trimming, and strict validation.
// Functions taking `utf8` expect UTF-8 but stay safe on malformed input:
// a malformed byte is never whitespace and is kept as it is.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"

namespace quovel {

// True for exactly the characters with the Unicode White_Space property.
bool is_unicode_whitespace(char32_t c);

// `utf8` without the whitespace at either end (a view into the same text).
std::string_view trim_whitespace(std::string_view utf8);

// `utf8` with every whitespace character and every ':' removed, wherever
// they stand. The result is built in one allocation so that a secret is
// never left behind in a discarded buffer.
std::string remove_whitespace_and_colons(std::string_view utf8);

// The same into `out`, without allocating: the length kept, or nothing
// when it would not fit (then `out` holds a part of it, to be wiped).
std::optional<std::size_t> remove_whitespace_and_colons_into(std::string_view utf8,
                                                             std::span<char> out);

enum class DecimalFault : std::uint8_t { InvalidDigit, TooLarge };

// Parses an optional single leading '+' followed by one or more digits 0-9
// (leading zeros allowed) whose value is at most `max`. Reading from the
// left, the first fault decides: "300x" is TooLarge under 255, "30x" is
// InvalidDigit. Empty text and a lone '+' are InvalidDigit.
std::expected<std::uint64_t, DecimalFault> parse_decimal(std::string_view text, std::uint64_t max);

// Appends `text` (UTF-8) in double quotes, escaped the way a debug string prints:
// quotes, backslashes and control characters (C0, DEL, C1) become escapes,
// so that they stay visible in a message; everything else is unchanged.
void append_debug_quoted(std::string& out, std::string_view text);

// Nothing when `bytes` is well-formed UTF-8; otherwise what is wrong and at
// which byte offset, for the first fault.
std::optional<std::string> utf8_error(ByteView bytes);

// `bytes` seen as text, or Utf8Decode naming the first fault.
Result<std::string_view> utf8_text(ByteView bytes);

}  // namespace quovel
