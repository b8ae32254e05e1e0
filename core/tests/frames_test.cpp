#include "quovel/frames.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "quovel/bytes.hpp"
#include "quovel/hex.hpp"

namespace quovel {
namespace {

Bytes hex(std::string_view text) { return decode_hex(text).value(); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes without_trailer(const Bytes& packet) { return Bytes(packet.begin(), packet.end() - 2); }

const Bytes kEmptyPacket = hex("7f5a0503020001000114aa00a60d0a");
// n = 16; the payload holds a CR LF and a start pair that must not cut it.
const Bytes kLongPacket =
    hex("7f5a0503020001000147aa10"
        "00010d0a7f5a060708090a0b0c0d0e0f"
        "5e0d0a");

// Takes every frame that is ready, as a caller does after each push.
std::vector<Bytes> drain(FrameAssembler& assembler) {
  std::vector<Bytes> frames;
  while (auto frame = assembler.next_frame()) frames.emplace_back(frame->begin(), frame->end());
  return frames;
}

TEST(FrameAssemblerTest, TwoPacketsAtEveryPairOfSplitPoints) {
  const Bytes stream = concat({kEmptyPacket, kLongPacket});
  const std::vector<Bytes> expected = {without_trailer(kEmptyPacket), without_trailer(kLongPacket)};
  const ByteView all(stream);
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    for (std::size_t second = first; second <= stream.size(); ++second) {
      FrameAssembler assembler;
      std::vector<Bytes> frames;
      for (const ByteView chunk :
           {all.first(first), all.subspan(first, second - first), all.subspan(second)}) {
        assembler.push(chunk);
        for (Bytes& frame : drain(assembler)) frames.push_back(std::move(frame));
      }
      ASSERT_EQ(frames, expected) << "split at " << first << " and " << second;
      EXPECT_EQ(assembler.buffered_size(), 0u);
    }
  }
}

TEST(FrameAssemblerTest, DropsWaitsAndCutsByTheLengthByteAlone) {
  struct Step {
    Bytes chunk;
    std::vector<Bytes> frames;  // ready after this chunk
    std::size_t buffered;       // left after draining
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Bytes false_start = hex("7f5a05030200010001ffaaff");  // length 0xFF: 270 bytes in all
  const Bytes false_start_frame = concat({false_start, kEmptyPacket, Bytes(241, 0x33)});
  const Bytes bad_trailer = concat({without_trailer(kEmptyPacket), hex("ffff")});

  const std::vector<Case> cases = {
      {"nothing pushed", {{{}, {}, 0}}},
      {"empty chunk", {{{}, {}, 0}, {kEmptyPacket, {without_trailer(kEmptyPacket)}, 0}}},
      {"garbage before a packet",
       {{concat({hex("aabb"), kEmptyPacket}), {without_trailer(kEmptyPacket)}, 0}}},
      {"garbage without a start is dropped", {{hex("01027f035a0d0a"), {}, 0}}},
      {"lone trailing 7f is kept",
       {{hex("01027f"), {}, 1},
        {Bytes(kEmptyPacket.begin() + 1, kEmptyPacket.end()), {without_trailer(kEmptyPacket)}, 0}}},
      {"a start without its length byte waits", {{hex("aa7f5a0503020001"), {}, 7}}},
      {"closing bytes are not checked",
       {{concat({bad_trailer, kEmptyPacket}),
         {without_trailer(kEmptyPacket), without_trailer(kEmptyPacket)},
         0}}},
      {"a false start holds everything up to its length",
       {{false_start, {}, 12},
        {kEmptyPacket, {}, 27},
        {Bytes(241, 0x33), {}, 268},
        {hex("0d"), {}, 269},
        {concat({hex("0a"), kEmptyPacket}),
         {false_start_frame, without_trailer(kEmptyPacket)},
         0}}},
  };
  for (const auto& [name, steps] : cases) {
    FrameAssembler assembler;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      assembler.push(steps[i].chunk);
      EXPECT_EQ(drain(assembler), steps[i].frames) << name << ", step " << i;
      EXPECT_EQ(assembler.buffered_size(), steps[i].buffered) << name << ", step " << i;
    }
  }
}

}  // namespace
}  // namespace quovel
