// Byte buffers shared by every subject of the core.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quovel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Big-endian (most significant byte first) unsigned fields, as the lock
// writes every multi-byte number. `bytes` holds at least sizeof(T) bytes.
template <std::unsigned_integral T>
constexpr T load_big_endian(ByteView bytes) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>(value << 8U | bytes[i]);
  return value;
}

template <std::unsigned_integral T>
constexpr void store_big_endian(std::span<std::uint8_t, sizeof(T)> out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
  }
}

}  // namespace quovel
