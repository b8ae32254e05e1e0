// How long the caller waits before a connect attempt.
#pragma once

#include <cstdint>

namespace quovel {

// Seconds before attempt `attempt` (counted from 1): 0.75, 1.5, 3.0, then
// 4.0 for every later attempt. Attempt 0 is treated like attempt 1.
double connect_backoff_seconds(std::uint32_t attempt);

}  // namespace quovel
