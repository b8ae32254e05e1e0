// The hot paths make no heap allocation per call. This binary replaces the
// global operator new and hands OpenSSL counting allocators, so every
// allocation of the core and of libcrypto is counted around each call.
#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/commands.hpp"
#include "quovel/frames.hpp"
#include "quovel/keys.hpp"
#include "quovel/operations.hpp"
#include "quovel/packet.hpp"
#include "quovel/selection.hpp"
#include "quovel/tracker.hpp"
#include "quovel/version.hpp"

namespace {

std::size_t allocations = 0;

void* counted_malloc(std::size_t size) {
  ++allocations;
  return std::malloc(size == 0 ? 1 : size);  // NOLINT(cppcoreguidelines-no-malloc)
}

void* openssl_malloc(std::size_t size, const char*, int) { return counted_malloc(size); }
void* openssl_realloc(void* pointer, std::size_t size, const char*, int) {
  ++allocations;
  return std::realloc(pointer, size);  // NOLINT(cppcoreguidelines-no-malloc)
}
void openssl_free(void* pointer, const char*, int) {
  std::free(pointer);  // NOLINT(cppcoreguidelines-no-malloc)
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* pointer = counted_malloc(size)) return pointer;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_malloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_malloc(size);
}
void operator delete(void* pointer) noexcept {
  std::free(pointer);  // NOLINT(cppcoreguidelines-no-malloc)
}
void operator delete[](void* pointer) noexcept { ::operator delete(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { ::operator delete(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { ::operator delete(pointer); }

namespace quovel {
namespace {

// Heap allocations made while `call` runs.
template <typename Call>
std::size_t allocations_in(Call&& call) {
  const std::size_t before = allocations;
  std::forward<Call>(call)();
  return allocations - before;
}

const AesKey kKey(AesKey::Array{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                0xbb, 0xcc, 0xdd, 0xee, 0xff});
const Bytes kStateful{0x02, 0x01, 0x55, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const Bytes kStateless{0x00, 0x00, 0x03, 0x01, 0x00, 0x02, 0x00,
                       0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
constexpr std::string_view kAddress = "ff:ee:dd:cc:bb:aa";

// A reply frame as the assembler hands it over: the packet without CR LF.
Bytes reply(std::uint8_t command, std::uint8_t status, Bytes data) {
  data.insert(data.begin(), {command, status});
  Bytes packet = build_packet(LockVersion{}, command, data, kKey).value();
  packet.resize(packet.size() - 2);
  return packet;
}

TEST(NoAllocationTest, Advertisements) {
  EXPECT_EQ(allocations_in([] { (void)parse_manufacturer_data(0x0102, kStateful); }), 0u);
  EXPECT_EQ(allocations_in([] { (void)parse_payload(kStateless); }), 0u);

  // Up to eight entries of up to 31 bytes, gathered as the binding does.
  const Bytes longest(31, 0x02);
  EXPECT_EQ(allocations_in([&] {
              ManufacturerEntries map;
              map.reserve(ManufacturerEntries::kInline);
              for (std::uint16_t id = 0; id < ManufacturerEntries::kInline; ++id) {
                map.put(id, id % 3 == 0 ? ByteView(kStateful) : ByteView(longest));
              }
              map.put(3, kStateless);  // a repeated identifier replaces, as in a dict
              (void)select_advertisement(map.entries(), kAddress);
            }),
            0u);
}

TEST(NoAllocationTest, LargeMapsAllocateOnceForTheirEntries) {
  EXPECT_EQ(allocations_in([] {
              ManufacturerEntries map;
              map.reserve(12);
              for (std::uint16_t id = 0; id < 12; ++id) map.put(id, kStateful);
              (void)select_advertisement(map.entries(), std::nullopt);
            }),
            1u);
}

TEST(NoAllocationTest, EveryTrackerMethod) {
  const Advertisement stateful = parse_manufacturer_data(0x0102, kStateful);
  tracker::LockTracker tracker;
  EXPECT_EQ(allocations_in([&] {
              (void)tracker.on_advertisement(1, stateful);
              (void)tracker.on_command_started(tracker::Actuation::Unlock);
              (void)tracker.on_command_failed();
              (void)tracker.on_command_acknowledged(2, tracker::Actuation::Unlock);
              (void)tracker.on_command_started(tracker::Actuation::Lock);
              (void)tracker.on_status_failed();
              (void)tracker.on_status(3, tracker::parse_status("LOCKED"));
              (void)tracker.on_status(4, tracker::parse_status("UNKNOWN:7"));
              tracker.credit_blind_time(5);
              (void)tracker.poll_availability(10, 3);
              (void)tracker.on_unavailable();
              (void)tracker::parse_actuation("unlock");
              (void)tracker.reported_state();
              (void)tracker.is_locked();
              (void)tracker.pending();
              (void)tracker.battery();
              (void)tracker.lock_version();
            }),
            0u);
}

TEST(NoAllocationTest, FrameAssemblerOnceWarm) {
  // A 64-byte frame (the largest of the hot path) and the 47-byte packet.
  const Bytes longest = reply(0x14, 1, Bytes(40, 0x07));
  Bytes longest_packet = longest;
  longest_packet.insert(longest_packet.end(), {0x0d, 0x0a});
  ASSERT_EQ(longest.size(), 61u);
  const Bytes handshake = reply(0x14, 1, Bytes(20, 0x07));
  Bytes packet = handshake;
  packet.insert(packet.end(), {0x0d, 0x0a});

  FrameAssembler assembler;
  assembler.push(longest_packet);
  assembler.push(packet);
  while (assembler.next_frame()) {
  }
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(allocations_in([&] {
                const ByteView all(packet);
                assembler.push(all.first(20));
                assembler.push(all.subspan(20, 20));
                EXPECT_FALSE(assembler.next_frame());
                assembler.push(all.subspan(40));
                EXPECT_TRUE(assembler.next_frame());
                EXPECT_FALSE(assembler.next_frame());
                assembler.push(longest_packet);
                EXPECT_TRUE(assembler.next_frame());
              }),
              0u);
  }
}

TEST(NoAllocationTest, KeyText) {
  for (const std::string_view text :
       {"00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF", "00112233445566778899aabbccddeeff\n",
        " 0011 2233 4455 6677 8899 aabb ccdd eeff\u3000"}) {
    EXPECT_EQ(allocations_in([&] {
                const auto key = aes_key_from_text(text);
                ASSERT_TRUE(key);
                (void)aes_key_to_digits(*key);
              }),
              0u)
        << text;
  }
  const Bytes raw(16, 0x5a);
  EXPECT_EQ(allocations_in([&] { (void)aes_key_from_bytes(raw).value(); }), 0u);
  EXPECT_EQ(allocations_in([] { (void)unlock_key_from_text(" +12345678\n").value(); }), 0u);
  EXPECT_EQ(allocations_in([] { (void)unlock_key_from_integer(4294967295).value(); }), 0u);
}

TEST(NoAllocationTest, OperationsOnceCreated) {
  // Creating one prepares libcrypto's contexts: the counter sees those.
  EXPECT_GT(allocations_in([] { EXPECT_TRUE(StatusOp::create(kKey, LockVersion{})); }), 0u);
  auto status = StatusOp::create(kKey, LockVersion{}).value();
  auto unlock = ActuationOp::create(kKey, LockVersion{}, 12345678, command::kUnlock).value();
  const Bytes status_reply = reply(command::kStatus, 1, {0x00, 0x01});
  const Bytes handshake_reply = reply(command::kCheckUserTime, 1, {0x12, 0x34, 0x56, 0x78});
  const Bytes unlock_reply = reply(command::kUnlock, 1, {});
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(allocations_in([&] {
                EXPECT_TRUE(status.start());
                EXPECT_TRUE(status.handle_frame(status_reply));
                EXPECT_TRUE(unlock.start());
                EXPECT_TRUE(unlock.handle_frame(handshake_reply));
                EXPECT_TRUE(unlock.handle_frame(unlock_reply));
              }),
              0u);
  }
}

}  // namespace
}  // namespace quovel

int main(int argc, char** argv) {
  // Before anything of OpenSSL runs, so that none of its allocations escapes.
  if (CRYPTO_set_mem_functions(openssl_malloc, openssl_realloc, openssl_free) != 1) return 2;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
