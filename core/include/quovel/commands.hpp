// Command bytes of the requests this module sends.
#pragma once

#include <cstdint>

namespace quovel::command {

inline constexpr std::uint8_t kStatus = 0x14;
inline constexpr std::uint8_t kCheckUserTime = 0x55;  // 'U'
inline constexpr std::uint8_t kLock = 0x58;           // 'X'
inline constexpr std::uint8_t kUnlock = 0x47;         // 'G'

}  // namespace quovel::command
