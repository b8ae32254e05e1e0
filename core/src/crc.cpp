#include "quovel/crc.hpp"
#include <cstdint>

#include "quovel/bytes.hpp"

namespace quovel {

static_assert(CRC8_TABLE[1] == 0x5e && CRC8_TABLE[0x21] == 0x7d);

std::uint8_t crc8(ByteView bytes) {
  std::uint8_t crc = 0;
  for (const std::uint8_t b : bytes) crc = crc8_step(crc, b);
  return crc;
}

}  // namespace quovel
