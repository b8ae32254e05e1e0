#include "quovel/crc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "quovel/bytes.hpp"

namespace quovel {
namespace {

ByteView view(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc8Test, MatchesStandardCheckValueWhenIndex0x21IsNeverReached) {
  EXPECT_EQ(crc8(view("123456789")), 0xa1);
  EXPECT_EQ(crc8(ByteView{}), 0x00);
}

TEST(Crc8Test, ReplacesTableEntry0x21) {
  const std::uint8_t single[] = {0x21};
  EXPECT_EQ(crc8(single), 0x07);
  EXPECT_EQ(CRC8_TABLE[0x21], 0x7d);
  // A running index of 0x21 in the middle of a message: CRC after 0x01 is 0x5e.
  const std::uint8_t middle[] = {0x01, 0x5e ^ 0x21};
  EXPECT_EQ(crc8(middle), 0x07);
}

TEST(Crc8Test, EmptyStatusAndCommand0x36Packets) {
  const std::uint8_t status[] = {0x7f, 0x5a, 0x05, 0x03, 0x02, 0x00,
                                 0x01, 0x00, 0x01, 0x14, 0xaa, 0x00};
  EXPECT_EQ(crc8(status), 0xa6);
  const std::uint8_t other[] = {0x7f, 0x5a, 0x05, 0x03, 0x02, 0x00,
                                0x01, 0x00, 0x01, 0x36, 0xaa, 0x00};
  EXPECT_EQ(crc8(other), 0x07);
}

}  // namespace
}  // namespace quovel
