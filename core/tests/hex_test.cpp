#include "quovel/hex.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace quovel {
namespace {

// Both decoders must accept and refuse alike, naming the same offending byte.
TEST(HexTest, DecodingIntoAFixedBufferMatchesDecodingToBytes) {
  const std::string_view texts[] = {
      "00ff7Fa0", "00ff7Fa", "00fg7fa0", "0x0f7fa0", "00ff7f\xc3\xa9", "zzzzzzzz",
  };
  for (const std::string_view text : texts) {
    std::array<std::uint8_t, 4> fixed{};
    const auto into = decode_hex_into(text, fixed);
    const auto bytes = decode_hex(text);
    ASSERT_EQ(into.has_value(), bytes.has_value()) << text;
    if (bytes) {
      EXPECT_EQ(Bytes(fixed.begin(), fixed.end()), *bytes) << text;
    } else {
      EXPECT_EQ(into.error().message(), bytes.error().message()) << text;
    }
  }
  EXPECT_EQ(decode_hex("0g").error().message(),
            "hex decode error: invalid character 'g' at index 1");
}

TEST(HexTest, DecodingIntoABufferOfAnotherSizeFails) {
  std::array<std::uint8_t, 2> fixed{};
  const auto decoded = decode_hex_into("00112233", fixed);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().message(), "hex decode error: expected 4 digits, got 8");
}

TEST(HexTest, EncodingIsLowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(encode_hex_lower(Bytes{0x00, 0x0a, 0xf5, 0xff}), "000af5ff");
  EXPECT_EQ(encode_hex_lower(Bytes{}), "");
}

}  // namespace
}  // namespace quovel
