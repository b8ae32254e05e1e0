#include "quovel/frames.hpp"

#include <algorithm>

#include "quovel/packet.hpp"

namespace quovel {
namespace {

constexpr std::size_t kFrameTrailerSize = 2;  // the closing CR LF, never checked

// How many leading bytes cannot begin a packet. A lone 0x7F at the very
// end is kept: its 0x5A may still be on the way.
std::size_t bytes_before_start(const Bytes& buffer) {
  const auto end = buffer.end();
  for (auto it = std::find(buffer.begin(), end, kPacketStart1); it != end;
       it = std::find(it + 1, end, kPacketStart1)) {
    if (it + 1 == end) return buffer.size() - 1;
    if (*(it + 1) == kPacketStart2) return static_cast<std::size_t>(it - buffer.begin());
  }
  return buffer.size();
}

}  // namespace

void FrameAssembler::push(ByteView chunk) {
  buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

std::optional<Bytes> FrameAssembler::next_frame() {
  const std::size_t skip = bytes_before_start(buffer_);
  const std::size_t available = buffer_.size() - skip;
  const auto start = buffer_.begin() + static_cast<std::ptrdiff_t>(skip);

  // The length byte decides the boundary; an incomplete packet waits whole.
  const bool has_length = available >= kPacketHeaderSize;
  const std::size_t n = has_length ? start[kPacketLengthOffset] : 0;
  if (!has_length || available < n + kPacketOverhead) {
    buffer_.erase(buffer_.begin(), start);
    return std::nullopt;
  }

  const std::size_t frame_size = n + kPacketOverhead - kFrameTrailerSize;
  Bytes frame(start, start + static_cast<std::ptrdiff_t>(frame_size));
  // Dropped bytes, the frame and its trailer go in one move of the rest.
  const auto consumed_end = start + static_cast<std::ptrdiff_t>(frame_size + kFrameTrailerSize);
  buffer_.erase(buffer_.begin(), consumed_end);
  return frame;
}

}  // namespace quovel
