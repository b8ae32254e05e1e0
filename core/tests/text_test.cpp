#include "quovel/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quovel/bytes.hpp"

namespace quovel {
namespace {

using namespace std::string_literals;

ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(TextTest, WhitespaceIsExactlyTheWhiteSpaceProperty) {
  const char32_t whitespace[] = {0x09,   0x0a,   0x0b,   0x0c,   0x0d,   0x20,
                                 0x85,   0xa0,   0x1680, 0x2000, 0x2005, 0x200a,
                                 0x2028, 0x2029, 0x202f, 0x205f, 0x3000};
  for (const char32_t c : whitespace) EXPECT_TRUE(is_unicode_whitespace(c)) << unsigned(c);
  // Neighbours and look-alikes that are not White_Space.
  const char32_t other[] = {0x08,   0x0e,   0x1f,   0x21,   0x84,   0x86,   0x9f,   0xa1,  0x180e,
                            0x1fff, 0x200b, 0x2027, 0x202a, 0x205e, 0x2060, 0x3001, 0xfeff};
  for (const char32_t c : other) EXPECT_FALSE(is_unicode_whitespace(c)) << unsigned(c);
}

TEST(TextTest, TrimRemovesUnicodeWhitespaceAtBothEndsOnly) {
  const struct {
    std::string_view input;
    std::string_view trimmed;
  } cases[] = {
      {"", ""},
      {" \t\r\n", ""},
      {"\u3000\u00a0 a b \u2029\u0085", "a b"},
      {"\u200ba\u200b", "\u200ba\u200b"},  // zero-width space is not whitespace
      {"\xe3\x80", "\xe3\x80"},            // truncated U+3000 stays
      {"\x80 x \x80", "\x80 x \x80"},      // stray continuation bytes stay
      {" \xff", "\xff"},
  };
  for (const auto& c : cases) EXPECT_EQ(trim_whitespace(c.input), c.trimmed) << c.input;
}

TEST(TextTest, RemovesWhitespaceAndColonsEverywhere) {
  EXPECT_EQ(remove_whitespace_and_colons(" 0a:1B\t2c\u3000\u00a03d\n"), "0a1B2c3d");
  EXPECT_EQ(remove_whitespace_and_colons("\xe3\x80:\xff"), "\xe3\x80\xff");
}

TEST(TextTest, ParseDecimalFirstFaultFromTheLeftDecides) {
  const struct {
    std::string_view text;
    std::uint64_t max;
    std::expected<std::uint64_t, DecimalFault> result;
  } cases[] = {
      {"0", 255, 0},
      {"+255", 255, 255},
      {"000255", 255, 255},
      {"256", 255, std::unexpected(DecimalFault::TooLarge)},
      {"300x", 255, std::unexpected(DecimalFault::TooLarge)},
      {"30x", 255, std::unexpected(DecimalFault::InvalidDigit)},
      {"", 255, std::unexpected(DecimalFault::InvalidDigit)},
      {"+", 255, std::unexpected(DecimalFault::InvalidDigit)},
      {"++1", 255, std::unexpected(DecimalFault::InvalidDigit)},
      {"-1", 255, std::unexpected(DecimalFault::InvalidDigit)},
      {" 7", 255, std::unexpected(DecimalFault::InvalidDigit)},
      {"4294967295", 4294967295, 4294967295},
      {"4294967296", 4294967295, std::unexpected(DecimalFault::TooLarge)},
      {"99999999999999999999999", 4294967295, std::unexpected(DecimalFault::TooLarge)},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text, c.max), c.result) << c.text;
}

TEST(TextTest, Utf8ValidationNamesTheFaultAndItsOffset) {
  EXPECT_EQ(utf8_error(bytes_of("")), std::nullopt);
  EXPECT_EQ(utf8_error(bytes_of("a\u00e9\u3000\U0010ffff")), std::nullopt);
  const struct {
    std::string_view bytes;
    std::string_view description;
  } cases[] = {
      {"abc\x80", "unexpected continuation byte 0x80 at offset 3"},
      {"ab\xff", "invalid byte 0xff at offset 2"},
      {"\xc0\xaf", "overlong encoding at offset 0"},
      {"x\xe0\x80\xaf", "overlong encoding at offset 1"},
      {"\xf0\x8f\xbf\xbf", "overlong encoding at offset 0"},
      {"\xed\xa0\x80", "encoded surrogate at offset 0"},
      {"\xf4\x90\x80\x80", "code point above U+10FFFF at offset 0"},
      {"a\xe3\x41\x80", "expected a continuation byte at offset 2, found 0x41"},
      {"ab\xe3\x80", "incomplete sequence at offset 2 cut off by the end of the text"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_error(bytes_of(c.bytes)), std::string(c.description)) << c.description;
    const auto text = utf8_text(bytes_of(c.bytes));
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().message(), "UTF-8 decode error: " + std::string(c.description));
  }
}

TEST(TextTest, DebugQuotingKeepsControlCharactersVisible) {
  const std::pair<std::string, std::string> cases[] = {
      {"open", R"("open")"},
      {"Lock", R"("Lock")"},
      {" lock", R"(" lock")"},
      {R"(a"b\c)", R"("a\"b\\c")"},
      {"it's", R"("it's")"},
      {"a\nb\tc\r", R"("a\nb\tc\r")"},
      {"\0x"s, R"("\0x")"},
      {"\x01", R"("\u{1}")"},
      {"\x1f\x7f", R"("\u{1f}\u{7f}")"},
      {"\u0085", R"("\u{85}")"},
      {"\u0080\u009f", R"("\u{80}\u{9f}")"},
      {"\u00a0\u00e9\u2014\U0001F512", "\"\u00a0\u00e9\u2014\U0001F512\""},
      {"", R"("")"},
  };
  for (const auto& [text, quoted] : cases) {
    SCOPED_TRACE(quoted);
    std::string out = "prefix ";
    append_debug_quoted(out, text);
    EXPECT_EQ(out, "prefix " + quoted);
  }
}

}  // namespace
}  // namespace quovel
