#include "quovel/backoff.hpp"

#include <algorithm>
#include <cstdint>

namespace quovel {
namespace {

constexpr std::uint64_t kBaseDelayNs = 750'000'000;
constexpr std::uint64_t kMaxDelayNs = 4'000'000'000;
constexpr std::uint32_t kMaxExponent = 3;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;

}  // namespace

double connect_backoff_seconds(std::uint32_t attempt) {
  // Capping the exponent first keeps the shift far from overflowing.
  const std::uint32_t exponent = attempt < 2 ? 0 : std::min(attempt - 1, kMaxExponent);
  const std::uint64_t delay_ns = std::min(kBaseDelayNs << exponent, kMaxDelayNs);
  // Whole seconds and the rest apart, so that no nanosecond count is rounded.
  return static_cast<double>(delay_ns / kNsPerSecond) +  // NOLINT(bugprone-integer-division)
         static_cast<double>(delay_ns % kNsPerSecond) / 1e9;
}

}  // namespace quovel
