// Cuts the notification byte stream into frames: one packet each, without
// its closing two bytes. Knows only the start bytes and the length byte.
#pragma once

#include <optional>

#include "quovel/bytes.hpp"

namespace quovel {

class FrameAssembler {
 public:
  // Appends unchanged; nothing is parsed here. Once the buffer has grown to
  // the longest packet seen, pushing never allocates.
  void push(ByteView chunk);

  // At most one frame per call. Drops bytes that cannot begin a packet,
  // waits (returns nothing) while a packet is incomplete. The frame is a
  // view into the assembler, valid until its next push or next_frame.
  std::optional<ByteView> next_frame();

  std::size_t buffered_size() const { return buffer_.size() - read_; }

 private:
  // Consumed bytes stay in front of `read_` until they outweigh the rest, so
  // draining a long buffer frame by frame moves each byte at most once.
  // Run at the start of each call, as the frame last handed out is read
  // in place.
  void compact();

  Bytes buffer_;
  std::size_t read_ = 0;
};

}  // namespace quovel
