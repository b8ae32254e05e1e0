// Shared by the harnesses: a reader that takes fuzz input from the front,
// and an invariant check that aborts so libFuzzer records the input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "quovel/bytes.hpp"

namespace quovel::fuzz {

inline void require(bool holds, const char* what, const char* file, int line) {
  if (holds) return;
  // NOLINTNEXTLINE(modernize-use-std-print): stderr, unbuffered, before abort
  std::fprintf(stderr, "\ninvariant violated at %s:%d: %s\n", file, line, what);
  std::abort();
}

// A macro only to name the condition and its place in the report.
#define FUZZ_REQUIRE(condition) ::quovel::fuzz::require((condition), #condition, __FILE__, __LINE__)

// Reads the input front to back; an exhausted reader yields zeros and empty
// views, so every input drives a complete, if short, scenario.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}
  explicit Reader(ByteView data) : rest_(data) {}

  bool empty() const { return rest_.empty(); }
  std::size_t remaining() const { return rest_.size(); }

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const std::uint8_t value = rest_.front();
    rest_ = rest_.subspan(1);
    return value;
  }

  bool flag() { return (byte() & 1) != 0; }

  // Big-endian, `width` bytes, missing bytes read as zero.
  std::uint64_t number(std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | byte();
    return value;
  }

  ByteView bytes(std::size_t count) {
    const ByteView taken = rest_.first(std::min(count, rest_.size()));
    rest_ = rest_.subspan(taken.size());
    return taken;
  }

  // A length byte followed by that many bytes.
  ByteView sized_bytes() { return bytes(byte()); }

  ByteView rest() { return bytes(rest_.size()); }

 private:
  ByteView rest_;
};

inline std::string_view as_text(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace quovel::fuzz
