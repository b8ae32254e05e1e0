#include "quovel/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "quovel/bytes.hpp"

namespace quovel {
namespace {

Bytes bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64Test, DecodesRfc4648Vectors) {
  const struct {
    std::string_view encoded;
    std::string_view decoded;
  } cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {"+/+/", "\xfb\xff\xbf"},
  };
  for (const auto& c : cases) {
    const auto result = decode_base64(c.encoded);
    ASSERT_TRUE(result) << c.encoded << ": " << result.error().message();
    EXPECT_EQ(*result, bytes_of(c.decoded)) << c.encoded;
  }
}

TEST(Base64Test, RefusesEveryNonCanonicalText) {
  const struct {
    std::string_view text;
    std::string_view description;
  } cases[] = {
      {"Zm,v", "invalid symbol ',' at offset 2"},
      {"Zm9v Yg==", "invalid symbol ' ' at offset 4"},
      {"Zm9v\n", "invalid symbol byte 0x0a at offset 4"},
      {"Zm\xc3\xa9", "invalid symbol byte 0xc3 at offset 2"},
      {"Zm9-", "invalid symbol '-' at offset 3"},  // URL-safe alphabet
      {"Zg", "invalid length 2, not a multiple of 4"},
      {"Zg=", "invalid length 3, not a multiple of 4"},
      {"Zg===", "invalid length 5, not a multiple of 4"},
      {"Zg=A", "invalid padding: symbol after '=' at offset 3"},
      {"Zg==Zg==", "invalid padding: symbol after '=' at offset 4"},
      {"Z===", "invalid padding at offset 1"},
      {"====", "invalid padding at offset 0"},
      {"Zm9v====", "invalid padding at offset 4"},
      {"Zh==", "trailing bits of the last symbol are not zero at offset 1"},
      {"Zm9=", "trailing bits of the last symbol are not zero at offset 2"},
  };
  for (const auto& c : cases) {
    const auto result = decode_base64(c.text);
    ASSERT_FALSE(result) << c.text;
    EXPECT_EQ(result.error().message(), "base64 decode error: " + std::string(c.description));
  }
}

}  // namespace
}  // namespace quovel
