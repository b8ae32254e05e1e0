// The five protocol header numbers that frame every command sent to a lock.
#pragma once

#include <cstdint>

namespace quovel {

struct LockVersion {
  std::uint8_t protocol_type = 5;
  std::uint8_t protocol_version = 3;
  std::uint8_t scene = 2;
  std::uint16_t group_id = 1;
  std::uint16_t org_id = 1;

  friend constexpr bool operator==(const LockVersion&, const LockVersion&) = default;
};

// The "V3" header used when an advertisement has not told us better.
constexpr LockVersion default_version() { return LockVersion{}; }

}  // namespace quovel
