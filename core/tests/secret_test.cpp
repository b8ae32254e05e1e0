#include "quovel/secret.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "quovel/bytes.hpp"

namespace quovel {
namespace {

using Block = std::array<std::uint8_t, 4>;

TEST(Secret, MovingAFixedValueLeavesZerosBehind) {
  Secret<Block> source(Block{1, 2, 3, 4});
  Secret<Block> moved(std::move(source));
  EXPECT_EQ(moved.value(), (Block{1, 2, 3, 4}));
  EXPECT_EQ(source.value(), Block{});  // NOLINT(bugprone-use-after-move): the point of the test

  Secret<std::uint32_t> key(0xdeadbeef);
  Secret<std::uint32_t> assigned(7);
  assigned = std::move(key);
  EXPECT_EQ(assigned.value(), 0xdeadbeefU);
  EXPECT_EQ(key.value(), 0U);  // NOLINT(bugprone-use-after-move)
}

// Short strings sit inside the object, long ones on the heap: both kinds
// must arrive whole and leave an empty source.
class SecretText : public ::testing::TestWithParam<std::string> {};

TEST_P(SecretText, MovesLeaveNothingBehind) {
  Secret<std::string> source(GetParam());
  Secret<std::string> moved(std::move(source));
  EXPECT_EQ(moved.value(), GetParam());
  EXPECT_TRUE(source.value().empty());  // NOLINT(bugprone-use-after-move)

  Secret<std::string> assigned(std::string(40, 'x'));
  assigned = std::move(moved);
  EXPECT_EQ(assigned.value(), GetParam());
  EXPECT_TRUE(moved.value().empty());  // NOLINT(bugprone-use-after-move)
}

INSTANTIATE_TEST_SUITE_P(ShortAndLong, SecretText,
                         ::testing::Values("", "0a1b", std::string(32, 'f'),
                                           std::string(100, '7')));

TEST(Secret, CopiesAreIndependent) {
  Secret<Bytes> original(Bytes{9, 8, 7});
  Secret<Bytes> copy(original);
  copy.value()[0] = 0;
  EXPECT_EQ(original.value(), (Bytes{9, 8, 7}));
  Secret<Bytes> moved(std::move(original));
  EXPECT_EQ(moved.value(), (Bytes{9, 8, 7}));
  EXPECT_TRUE(original.value().empty());  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace quovel
