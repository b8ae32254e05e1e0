// Byte buffers shared by every subject of the core.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quovel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace quovel
