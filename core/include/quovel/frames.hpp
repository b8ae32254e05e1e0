// Cuts the notification byte stream into frames: one packet each, without
// its closing two bytes. Knows only the start bytes and the length byte.
#pragma once

#include <optional>

#include "quovel/bytes.hpp"

namespace quovel {

class FrameAssembler {
 public:
  // Appends unchanged; nothing is parsed here.
  void push(ByteView chunk);

  // At most one frame per call. Drops bytes that cannot begin a packet,
  // waits (returns nothing) while a packet is incomplete.
  std::optional<Bytes> next_frame();

  std::size_t buffered_size() const { return buffer_.size(); }

 private:
  Bytes buffer_;
};

}  // namespace quovel
