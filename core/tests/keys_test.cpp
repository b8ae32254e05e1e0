#include "quovel/keys.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"

namespace quovel {
namespace {

constexpr std::string_view kCanonical = "00112233445566778899aabbccddeeff";

TEST(KeysTest, AesKeyTextInEveryAcceptedSpellingGivesTheCanonicalForm) {
  const std::string_view spellings[] = {
      "00112233445566778899aabbccddeeff",
      "00112233445566778899AABBCCDDEEFF",
      "00:11:22:33:44:55:66:77:88:99:AA:bb:CC:dd:EE:ff",
      "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff",
      "0011\t2233\t44556677\n8899aabbccddeeff\n",
      "\u30000011223344556677\u00a08899aabbccddeeff\u2003",
      "0:0112233445566778899aabbccddeef:f",  // colons are dropped, not pairs
  };
  for (const std::string_view text : spellings) {
    const auto key = aes_key_from_text(text);
    ASSERT_TRUE(key) << text << ": " << key.error().message();
    EXPECT_EQ(aes_key_to_text(*key), kCanonical) << text;
  }
}

TEST(KeysTest, AesKeyTextFaults) {
  const struct {
    std::string text;
    ErrorKind kind;
    std::string_view message;
  } cases[] = {
      // The odd count is reported before the non-hex character at index 0.
      {"g" + std::string(30, '0'), ErrorKind::HexDecode,
       "hex decode error: odd number of digits (31)"},
      {std::string(30, '0') + "0g", ErrorKind::HexDecode, ""},
      {"\u00e9" + std::string(30, '0'), ErrorKind::HexDecode, ""},  // 32 bytes, non-hex
      {std::string(30, 'a'), ErrorKind::AesKeyLength,
       "AES key must be exactly 16 bytes; got 15 bytes"},
      {std::string(34, 'a'), ErrorKind::AesKeyLength,
       "AES key must be exactly 16 bytes; got 17 bytes"},
      {"", ErrorKind::AesKeyLength, "AES key must be exactly 16 bytes; got 0 bytes"},
      {" : \n", ErrorKind::AesKeyLength, "AES key must be exactly 16 bytes; got 0 bytes"},
      // U+200B is not whitespace, so it stays and is not a hex digit.
      {std::string(16, 'a') + "\u200b" + std::string(13, 'a'), ErrorKind::HexDecode, ""},
  };
  for (const auto& c : cases) {
    const auto key = aes_key_from_text(c.text);
    ASSERT_FALSE(key) << c.text;
    EXPECT_EQ(key.error().kind(), c.kind) << c.text;
    if (!c.message.empty()) {
      EXPECT_EQ(key.error().message(), c.message);
    }
  }
}

TEST(KeysTest, AesKeyBytesAreTheKeyItselfNeverHexText) {
  Bytes raw(16);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 0x11);
  const auto key = aes_key_from_bytes(raw);
  ASSERT_TRUE(key);
  EXPECT_EQ(aes_key_to_text(*key), kCanonical);

  const Bytes hex_text(kCanonical.begin(), kCanonical.end());
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{15}, std::size_t{17}, hex_text.size()}) {
    const Bytes input(hex_text.begin(), hex_text.begin() + static_cast<std::ptrdiff_t>(size));
    const auto refused = aes_key_from_bytes(input);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(),
              "AES key must be exactly 16 bytes; got " + std::to_string(size) + " bytes");
  }
}

TEST(KeysTest, UnlockKeyFromInteger) {
  EXPECT_EQ(unlock_key_from_integer(1), 1u);
  EXPECT_EQ(unlock_key_from_integer(4294967295), 4294967295u);
  for (const std::uint64_t refused : {std::uint64_t{0}, std::uint64_t{4294967296},
                                      std::uint64_t{0x1'0000'0001}, ~std::uint64_t{0}}) {
    const auto key = unlock_key_from_integer(refused);
    ASSERT_FALSE(key) << refused;
    EXPECT_EQ(key.error().kind(), ErrorKind::InvalidUnlockKey);
  }
}

TEST(KeysTest, UnlockKeyFromText) {
  const struct {
    std::string_view text;
    std::uint32_t key;
  } accepted[] = {
      {"1", 1},        {" 123456 ", 123456},       {"\u3000\t42\n\u00a0", 42},     {"+7", 7},
      {"000123", 123}, {"4294967295", 4294967295}, {"+0004294967295", 4294967295},
  };
  for (const auto& c : accepted) {
    const auto key = unlock_key_from_text(c.text);
    ASSERT_TRUE(key) << c.text;
    EXPECT_EQ(*key, c.key) << c.text;
  }
  const std::string_view refused[] = {
      "",        "   ", "0",     "+0",  "000",  "4294967296", "18446744073709551617", "-1", "+",
      "++1",     "1 2", "1_000", "1.0", "0x10", "\u0661",  // Arabic-Indic one
      "\u200b1",
  };
  for (const std::string_view text : refused) {
    const auto key = unlock_key_from_text(text);
    ASSERT_FALSE(key) << text;
    EXPECT_EQ(key.error().message(),
              "invalid unlock key: expected a whole number from 1 to 4294967295 (0 is what an "
              "empty field becomes, and is never a valid key)");
  }
}

}  // namespace
}  // namespace quovel
