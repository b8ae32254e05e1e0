// Where the time goes below the binding: the core's hot functions on their
// own, with the C++ heap allocations each iteration makes.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/types.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/commands.hpp"
#include "quovel/crc.hpp"
#include "quovel/credential.hpp"
#include "quovel/frames.hpp"
#include "quovel/keys.hpp"
#include "quovel/operations.hpp"
#include "quovel/packet.hpp"
#include "quovel/selection.hpp"
#include "quovel/version.hpp"

// Counts every allocation through operator new, the core's only allocator
// (OpenSSL's own allocations are not counted).
namespace {
std::size_t allocations = 0;
}

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quovel {
namespace {

const AesKey kKey(AesKey::Array{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                0xbb, 0xcc, 0xdd, 0xee, 0xff});

// Reports the allocations made since `before` as a per-iteration average.
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State& state) : state_(state), before_(allocations) {}
  ~AllocationCounter() {
    state_.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations - before_),
                                                   benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  std::size_t before_;
};

Bytes plaintext_of(std::size_t size) {
  Bytes plain(size);
  for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return plain;
}

Bytes frame_of(const Bytes& packet) { return Bytes(packet.begin(), packet.end() - 2); }

Bytes reply(std::uint8_t command, Bytes data) {
  data.insert(data.begin(), {command, 0x01});
  return frame_of(build_packet(default_version(), command, data, kKey).value());
}

// ---- CRC ---------------------------------------------------------------------------

void BM_Crc8_255(benchmark::State& state) {
  const Bytes data = plaintext_of(255);
  for (auto _ : state) benchmark::DoNotOptimize(crc8(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 255);
}
BENCHMARK(BM_Crc8_255);

// ---- AES: prepared contexts against a fresh context per message ------------------------
// The argument is the plaintext size: 7 and 17 bytes give the 16- and 32-byte
// ciphertexts of the status query and the check-user-time request.

void BM_EncryptPrepared(benchmark::State& state) {
  auto cipher = PayloadCipher::create(kKey).value();
  const Bytes plain = plaintext_of(static_cast<std::size_t>(state.range(0)));
  Bytes out(ciphertext_size(plain.size()));
  AllocationCounter counter(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cipher.encrypt_into(plain, out));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EncryptPrepared)->Arg(7)->Arg(17);

void BM_DecryptPrepared(benchmark::State& state) {
  auto cipher = PayloadCipher::create(kKey).value();
  const Bytes ciphertext =
      cipher.encrypt(plaintext_of(static_cast<std::size_t>(state.range(0)))).value();
  AllocationCounter counter(state);
  for (auto _ : state) benchmark::DoNotOptimize(cipher.decrypt(ciphertext));
}
BENCHMARK(BM_DecryptPrepared)->Arg(7)->Arg(17);

// One-shot: a new pair of contexts and key schedules per message (the
// cipher itself is still fetched once per process).
void BM_EncryptFreshContext(benchmark::State& state) {
  const Bytes plain = plaintext_of(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(encrypt_payload(plain, kKey));
}
BENCHMARK(BM_EncryptFreshContext)->Arg(7)->Arg(17);

void BM_DecryptFreshContext(benchmark::State& state) {
  const Bytes ciphertext =
      encrypt_payload(plaintext_of(static_cast<std::size_t>(state.range(0))), kKey).value();
  for (auto _ : state) benchmark::DoNotOptimize(decrypt_payload(ciphertext, kKey));
}
BENCHMARK(BM_DecryptFreshContext)->Arg(7)->Arg(17);

// What the core avoids: OpenSSL's classic one-message path, a new context
// with the cipher looked up implicitly on every call.
void BM_EncryptOpenSslImplicitFetch(benchmark::State& state) {
  const Bytes plain = plaintext_of(static_cast<std::size_t>(state.range(0)));
  std::array<std::uint8_t, 64> out{};
  const std::uint8_t* key = kKey.bytes().data();
  for (auto _ : state) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int written = 0;
    int tail = 0;
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, key);
    EVP_EncryptUpdate(context, out.data(), &written, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(context, out.data() + written, &tail);
    EVP_CIPHER_CTX_free(context);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_EncryptOpenSslImplicitFetch)->Arg(7)->Arg(17);

// ---- packets and operations ----------------------------------------------------------------

void BM_BuildPacket(benchmark::State& state) {
  auto cipher = PayloadCipher::create(kKey).value();
  const Bytes plain = plaintext_of(static_cast<std::size_t>(state.range(0)));
  AllocationCounter counter(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(build_packet(default_version(), command::kStatus, plain, cipher));
  }
}
BENCHMARK(BM_BuildPacket)->Arg(7)->Arg(17);

void BM_DecodeResponse(benchmark::State& state) {
  auto cipher = PayloadCipher::create(kKey).value();
  const Bytes frame = reply(command::kStatus, {0x64, 0x00});
  AllocationCounter counter(state);
  for (auto _ : state) benchmark::DoNotOptimize(decode_response(frame, cipher));
}
BENCHMARK(BM_DecodeResponse);

void BM_StatusOpRound(benchmark::State& state) {
  auto op = StatusOp::create(kKey, default_version()).value();
  const Bytes frame = reply(command::kStatus, {0x64, 0x00});
  AllocationCounter counter(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(op.start());
    benchmark::DoNotOptimize(op.handle_frame(frame));
  }
}
BENCHMARK(BM_StatusOpRound);

void BM_UnlockHandshakeRound(benchmark::State& state) {
  auto op = ActuationOp::create(kKey, default_version(), 12345678, command::kUnlock).value();
  const Bytes frame = reply(command::kCheckUserTime, {0x12, 0x34, 0x56, 0x78});
  AllocationCounter counter(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(op.start());
    benchmark::DoNotOptimize(op.handle_frame(frame));
  }
}
BENCHMARK(BM_UnlockHandshakeRound);

// ---- advertisements -----------------------------------------------------------------------

const Bytes kLive = {0x02, 0x01, 0x55, 0x00, 0x00, 0x00, 0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const Bytes kStale = {0x00, 0x00, 0x03, 0x01, 0x00, 0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01};
const Bytes kDfu(13, 0x00);

void BM_ParsePayload(benchmark::State& state) {
  Bytes full = {0x05, 0x03};
  full.insert(full.end(), kLive.begin(), kLive.end());
  AllocationCounter counter(state);
  for (auto _ : state) benchmark::DoNotOptimize(parse_payload(full));
}
BENCHMARK(BM_ParsePayload);

void BM_SelectAdvertisement3(benchmark::State& state) {
  const std::array<ManufacturerEntry, 3> entries = {
      ManufacturerEntry{0x1234, kStale}, {0x1912, kDfu}, {0x0305, kLive}};
  const std::string_view expected = "ff:ee:dd:cc:bb:aa";
  AllocationCounter counter(state);
  for (auto _ : state) benchmark::DoNotOptimize(select_advertisement(entries, expected));
}
BENCHMARK(BM_SelectAdvertisement3);

// ---- frame assembly -------------------------------------------------------------------------

Bytes handshake_request() {
  auto op = ActuationOp::create(kKey, default_version(), 12345678, command::kUnlock).value();
  const auto step = op.start().value();
  const PacketBytes& packet = std::get<Write>(step).packet;
  return Bytes(packet.begin(), packet.end());
}

// One 47-byte packet in 20-byte chunks, drained as a caller does.
void BM_FrameAssemblyRound(benchmark::State& state) {
  const Bytes packet = handshake_request();
  const ByteView all(packet);
  FrameAssembler assembler;
  AllocationCounter counter(state);
  for (auto _ : state) {
    assembler.push(all.first(20));
    assembler.push(all.subspan(20, 20));
    assembler.push(all.subspan(40));
    benchmark::DoNotOptimize(assembler.next_frame());
    benchmark::DoNotOptimize(assembler.next_frame());
  }
}
BENCHMARK(BM_FrameAssemblyRound);

Bytes stream_of(std::size_t size) {
  const Bytes packet = handshake_request();
  Bytes stream;
  while (stream.size() < size) stream.insert(stream.end(), packet.begin(), packet.end());
  stream.resize(size);
  return stream;
}

// A whole stream of back-to-back packets: pushed in 20-byte chunks with a
// drain after each, or pushed at once and drained. Both must stay linear.
void BM_FrameStreamChunked(benchmark::State& state) {
  const Bytes stream = stream_of(static_cast<std::size_t>(state.range(0)));
  const ByteView all(stream);
  AllocationCounter counter(state);
  for (auto _ : state) {
    FrameAssembler assembler;
    for (std::size_t at = 0; at < all.size(); at += 20) {
      assembler.push(all.subspan(at, std::min<std::size_t>(20, all.size() - at)));
      while (auto frame = assembler.next_frame()) benchmark::DoNotOptimize(frame);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FrameStreamChunked)->RangeMultiplier(4)->Range(16, 64 << 10)->Complexity();

void BM_FrameStreamOnePush(benchmark::State& state) {
  const Bytes stream = stream_of(static_cast<std::size_t>(state.range(0)));
  AllocationCounter counter(state);
  for (auto _ : state) {
    FrameAssembler assembler;
    assembler.push(stream);
    while (auto frame = assembler.next_frame()) benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FrameStreamOnePush)->RangeMultiplier(4)->Range(16, 64 << 10)->Complexity();

// ---- keys ----------------------------------------------------------------------------------

void BM_AesKeyFromText(benchmark::State& state) {
  const std::string text = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
  AllocationCounter counter(state);
  for (auto _ : state) benchmark::DoNotOptimize(aes_key_to_text(aes_key_from_text(text).value()));
}
BENCHMARK(BM_AesKeyFromText);

// "12345678" masked and Base64-encoded the way the credential format does it.
std::string credential_text() {
  const std::string number = "12345678";
  constexpr std::uint8_t kMask = 0x5c;
  std::string list;
  for (const char c : number) list += std::to_string(static_cast<std::uint8_t>(c) ^ kMask) + ",";
  list += std::to_string(kMask ^ CRC8_TABLE[number.size()]);
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < list.size(); i += 3) {
    std::uint32_t block = 0;
    const std::size_t take = std::min<std::size_t>(3, list.size() - i);
    for (std::size_t j = 0; j < 3; ++j) {
      block = (block << 8) | (j < take ? static_cast<std::uint8_t>(list[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      out += j <= take ? kAlphabet[(block >> (18 - 6 * j)) & 0x3f] : '=';
    }
  }
  return out;
}

void BM_DecodeCredential(benchmark::State& state) {
  const std::string text = credential_text();
  if (decode_credential(text).value_or(0) != 12345678) {
    state.SkipWithError("the credential did not decode to 12345678");
    return;
  }
  AllocationCounter counter(state);
  for (auto _ : state) benchmark::DoNotOptimize(decode_credential(text));
}
BENCHMARK(BM_DecodeCredential);

}  // namespace
}  // namespace quovel

BENCHMARK_MAIN();
