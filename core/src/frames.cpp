#include "quovel/frames.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "quovel/bytes.hpp"
#include "quovel/packet.hpp"

namespace quovel {
namespace {

constexpr std::size_t kFrameTrailerSize = 2;  // the closing CR LF, never checked

// How many leading bytes cannot begin a packet. A lone 0x7F at the very
// end is kept: its 0x5A may still be on the way.
std::size_t bytes_before_start(ByteView buffer) {
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
  compact();
  buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

std::optional<ByteView> FrameAssembler::next_frame() {
  compact();
  const ByteView unread = ByteView(buffer_).subspan(read_);
  const std::size_t skip = bytes_before_start(unread);
  read_ += skip;
  const ByteView packet = unread.subspan(skip);

  // The length byte decides the boundary; an incomplete packet waits whole.
  const bool has_length = packet.size() >= kPacketHeaderSize;
  const std::size_t n = has_length ? packet[kPacketLengthOffset] : 0;
  if (!has_length || packet.size() < n + kPacketOverhead) return std::nullopt;

  const std::size_t frame_size = n + kPacketOverhead - kFrameTrailerSize;
  read_ += frame_size + kFrameTrailerSize;
  return packet.first(frame_size);
}

void FrameAssembler::compact() {
  const std::size_t left = buffer_.size() - read_;
  if (left == 0) {
    buffer_.clear();
    read_ = 0;
  } else if (read_ >= left) {
    // Moving `left` bytes is paid for by the `read_` bytes consumed since
    // the last move.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(read_));
    read_ = 0;
  }
}

}  // namespace quovel
