// Identifiers and tuning values that the module exports for the caller that
// owns the connection. No function of the module consults them.
#pragma once

#include <cstdint>

namespace quovel::caller {

inline constexpr const char* kServiceUuid = "00001910-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kWriteCharacteristic = "0000fff2-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kNotifyCharacteristic = "0000fff4-0000-1000-8000-00805f9b34fb";

inline constexpr int kWriteChunk = 20;            // bytes per write
inline constexpr int kCrcRetries = 2;             // repeats after a CRC mismatch
inline constexpr int kMaxStrayFrames = 4;         // frames let go while waiting for a reply
inline constexpr double kCrcRetryDelay = 0.2;     // seconds before each repeat
inline constexpr double kWriteChunkDelay = 0.02;  // seconds between writes

}  // namespace quovel::caller
