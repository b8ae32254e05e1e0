#include "quovel/credential.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quovel/crc.hpp"
#include "quovel/errors.hpp"

namespace quovel {
namespace {

std::string base64(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t block = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      block = block << 8 | (j < n ? static_cast<std::uint8_t>(data[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      out += j <= n ? kAlphabet[(block >> (18 - 6 * j)) & 0x3f] : '=';
    }
  }
  return out;
}

// The list that masks `text` with `mask`, its last byte carrying the mask
// under `seed`, as comma-separated decimal values.
std::string byte_list(std::string_view text, std::uint8_t mask, std::uint8_t seed) {
  std::string list;
  for (const char c : text) list += std::to_string(static_cast<std::uint8_t>(c) ^ mask) + ",";
  return list + std::to_string(mask ^ seed);
}

std::uint8_t table_seed(std::size_t last) { return CRC8_TABLE[last % 256]; }

std::string credential(std::string_view text, std::uint8_t mask = 0x5c) {
  return base64(byte_list(text, mask, table_seed(text.size())));
}

void expect_failure(std::string_view input, std::string_view message) {
  const auto value = decode_credential(input);
  ASSERT_FALSE(value) << input << " gave " << *value;
  EXPECT_EQ(value.error().message(), message) << input;
}

constexpr std::string_view kOutOfRange = "credential value does not fit in u32";

TEST(CredentialTest, DecodesNumbersAcrossTheWholeRange) {
  const struct {
    std::string_view text;
    std::uint32_t value;
  } cases[] = {
      {"0", 0}, {"123456", 123456}, {"+42", 42}, {"000000789", 789}, {"4294967295", 4294967295},
  };
  for (const auto& c : cases) {
    for (const std::uint8_t mask : {std::uint8_t{0x00}, std::uint8_t{0x5c}, std::uint8_t{0xff}}) {
      const auto value = decode_credential(credential(c.text, mask));
      ASSERT_TRUE(value) << c.text << ": " << value.error().message();
      EXPECT_EQ(*value, c.value);
    }
  }
}

TEST(CredentialTest, AcceptsSurroundingWhitespaceTrailingDotsAndEmptyPieces) {
  const std::string encoded = credential("1234");
  EXPECT_EQ(decode_credential(" \u3000" + encoded + "...\n"), 1234u);
  // Empty pieces, a trailing comma and whitespace around the list are ignored.
  const std::string list = byte_list("1234", 0x21, table_seed(4));
  EXPECT_EQ(decode_credential(base64(" ,," + list + ",, \n")), 1234u);
}

TEST(CredentialTest, SeedDependsOnTheLastPositionItself) {
  // Leading zeros stretch the text to the list length under test.
  const struct {
    std::size_t list_length;
    std::uint8_t seed;
  } cases[] = {
      {33, CRC8_TABLE[32]},    {34, kCrc8Replacement}, {35, CRC8_TABLE[34]},
      {290, CRC8_TABLE[0x21]}, {257, CRC8_TABLE[0]},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(c.list_length - 5, '0') + "9876";
    EXPECT_EQ(decode_credential(base64(byte_list(text, 0x33, c.seed))), 9876u) << c.list_length;
  }
  // The other seed of the pair unmasks into garbage.
  const std::string text33 = std::string(33 - 4, '0') + "9876";
  expect_failure(base64(byte_list(text33, 0x33, CRC8_TABLE[0x21])), kOutOfRange);
  const std::string text289 = std::string(289 - 4, '0') + "9876";
  expect_failure(base64(byte_list(text289, 0x33, kCrc8Replacement)), kOutOfRange);
}

TEST(CredentialTest, RefusesBadTextBase64AndUtf8) {
  const std::string encoded = credential("12345");
  ASSERT_EQ(encoded.back(), '=');
  const std::string unpadded = encoded.substr(0, encoded.find('='));
  EXPECT_EQ(decode_credential(unpadded).error().kind(), ErrorKind::Base64Decode);
  EXPECT_EQ(decode_credential(encoded.substr(0, 4) + " " + encoded.substr(4)).error().kind(),
            ErrorKind::Base64Decode);
  expect_failure("1,2,3", "base64 decode error: invalid symbol ',' at offset 1");
  expect_failure(base64("1,\xff"), "UTF-8 decode error: invalid byte 0xff at offset 2");
}

TEST(CredentialTest, RefusesListPiecesThatAreNotBytes) {
  const struct {
    std::string_view list;
    std::string_view message;
  } cases[] = {
      {"1, 7,2", "invalid credential byte  7: invalid digit found in string"},
      {"1,300,2", "invalid credential byte 300: number too large to fit in target type"},
      {"300x", "invalid credential byte 300x: number too large to fit in target type"},
      {"30x,999", "invalid credential byte 30x: invalid digit found in string"},
      {"+", "invalid credential byte +: invalid digit found in string"},
      {"-5", "invalid credential byte -5: invalid digit found in string"},
      {"1,+256", "invalid credential byte +256: number too large to fit in target type"},
      {"1,\u00e9", "invalid credential byte \u00e9: invalid digit found in string"},
      // Inner pieces are not trimmed, so a blank one is not skipped.
      {"1, ,2", "invalid credential byte  : invalid digit found in string"},
  };
  for (const auto& c : cases) expect_failure(base64(c.list), c.message);
}

TEST(CredentialTest, ValuesOutOfRange) {
  const std::string cases[] = {
      "",                  // no bytes at all
      base64(" ,,,\t\n"),  // only commas, whitespace at the ends
      base64("65"),        // one byte: the mask alone, no text
      credential("4294967296"),
      credential("99999999999"),
      credential("12a4"),
      credential("-1"),
      credential("+"),
      credential(" 12"),
      credential("\xc3\xa9"),                          // non-ASCII after unmasking
      base64(byte_list("\xff", 0x00, table_seed(1))),  // not UTF-8 after unmasking
  };
  for (const std::string& input : cases) expect_failure(input, kOutOfRange);
}

}  // namespace
}  // namespace quovel
