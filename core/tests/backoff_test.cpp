#include "quovel/backoff.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace quovel {
namespace {

TEST(BackoffTest, DoublesFromThreeQuartersOfASecondUpToFour) {
  const std::pair<std::uint32_t, double> schedule[] = {
      {0, 0.75}, {1, 0.75}, {2, 1.5},  {3, 3.0},           {4, 4.0},
      {5, 4.0},  {64, 4.0}, {65, 4.0}, {2147483648u, 4.0}, {4294967295u, 4.0},
  };
  for (const auto& [attempt, seconds] : schedule) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(connect_backoff_seconds(attempt), seconds);  // exact: every value is representable
  }
}

}  // namespace
}  // namespace quovel
