// The notification stream: any chunking of any bytes. The assembler is run
// beside a literal, slow model of the cutting rules, and every frame and
// every buffered size must match it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_support.hpp"
#include "quovel/bytes.hpp"
#include "quovel/frames.hpp"

namespace quovel::fuzz {
namespace {

class ModelAssembler {
 public:
  void push(ByteView chunk) { buffer_.insert(buffer_.end(), chunk.begin(), chunk.end()); }

  std::optional<Bytes> next_frame() {
    const std::size_t length = buffer_.size();
    std::optional<std::size_t> start;
    for (std::size_t i = 0; i + 1 < length; ++i) {
      if (buffer_[i] == 0x7f && buffer_[i + 1] == 0x5a) {
        start = i;
        break;
      }
    }
    std::size_t drop = 0;
    if (start) {
      drop = *start;
    } else if (length > 0) {
      drop = buffer_.back() == 0x7f ? length - 1 : length;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
    if (buffer_.size() < 12) return std::nullopt;
    const std::size_t n = buffer_[11];
    if (buffer_.size() < n + 15) return std::nullopt;
    Bytes frame(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n + 13));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n + 15));
    return frame;
  }

  std::size_t size() const { return buffer_.size(); }

 private:
  Bytes buffer_;
};

struct Run {
  FrameAssembler assembler;
  ModelAssembler model;
  std::size_t pushed = 0;

  void push(ByteView chunk) {
    assembler.push(chunk);
    model.push(chunk);
    pushed += chunk.size();
    FUZZ_REQUIRE(assembler.buffered_size() == model.size());
  }

  bool next() {
    const std::optional<ByteView> frame = assembler.next_frame();
    const std::optional<Bytes> expected = model.next_frame();
    FUZZ_REQUIRE(frame.has_value() == expected.has_value());
    FUZZ_REQUIRE(!frame || std::ranges::equal(*frame, *expected));
    FUZZ_REQUIRE(assembler.buffered_size() == model.size());
    FUZZ_REQUIRE(assembler.buffered_size() <= pushed);
    if (!frame) return false;
    FUZZ_REQUIRE(frame->size() >= 13 && frame->size() == (*frame)[11] + 13u);
    FUZZ_REQUIRE((*frame)[0] == 0x7f && (*frame)[1] == 0x5a);
    return true;
  }
};

}  // namespace
}  // namespace quovel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quovel::fuzz;
  static constexpr std::uint8_t kStart[] = {0x7f, 0x5a};
  Reader in(data, size);
  Run run;
  while (!in.empty()) {
    switch (in.byte() % 4) {
      case 0:  // a chunk of whatever
        run.push(in.sized_bytes());
        break;
      case 1:  // a chunk that opens with a packet start
        run.push(kStart);
        run.push(in.sized_bytes());
        break;
      case 2: run.next(); break;
      default:
        while (run.next()) {
        }
        break;
    }
  }
  while (run.next()) {
  }
  return 0;
}
