// The packet checksum: table-driven CRC-8/MAXIM with one replaced step.
#pragma once

#include <array>
#include <cstdint>

#include "quovel/bytes.hpp"

namespace quovel {

namespace detail {
constexpr std::array<std::uint8_t, 256> make_crc8_maxim_table() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    auto crc = static_cast<std::uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8c)
                      : static_cast<std::uint8_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}
}  // namespace detail

// Entry i is the standard CRC-8/MAXIM of the single byte i.
inline constexpr std::array<std::uint8_t, 256> CRC8_TABLE = detail::make_crc8_maxim_table();

// The lock's CRC takes this value instead of the table's entry at index 0x21.
inline constexpr std::uint8_t kCrc8ReplacedIndex = 0x21;
inline constexpr std::uint8_t kCrc8Replacement = 0x07;

constexpr std::uint8_t crc8_step(std::uint8_t crc, std::uint8_t byte) {
  const std::uint8_t index = crc ^ byte;
  return index == kCrc8ReplacedIndex ? kCrc8Replacement : CRC8_TABLE[index];
}

std::uint8_t crc8(ByteView bytes);

}  // namespace quovel
