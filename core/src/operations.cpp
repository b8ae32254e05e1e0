#include "quovel/operations.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/commands.hpp"
#include "quovel/errors.hpp"
#include "quovel/packet.hpp"
#include "quovel/secret.hpp"
#include "quovel/step.hpp"
#include "quovel/version.hpp"

namespace quovel {
namespace {

constexpr std::uint8_t kStatusAccepted = 0x01;

// Bytes of an ASCII literal, without its terminator.
template <std::size_t N>
consteval std::array<std::uint8_t, N - 1> ascii_bytes(const char (&text)[N]) {
  std::array<std::uint8_t, N - 1> bytes{};
  for (std::size_t i = 0; i + 1 < N; ++i) bytes[i] = static_cast<std::uint8_t>(text[i]);
  return bytes;
}

// "YYMMDDhhmm": each pair of digits becomes one byte holding that number
// (plain binary, not BCD), the year counted within the century.
consteval std::array<std::uint8_t, 5> window_time(const char (&digits)[11]) {
  std::array<std::uint8_t, 5> time{};
  for (std::size_t i = 0; i < time.size(); ++i) {
    const int tens = digits[2 * i] - '0';
    const int ones = digits[2 * i + 1] - '0';
    time[i] = static_cast<std::uint8_t>(tens * 10 + ones);
  }
  return time;
}

// The status query's fixed payload.
constexpr auto kStatusQuery = ascii_bytes("ZOLMERI");

// The check-user-time request: a time window the lock accepts (0001311400 to
// 9911301400), then seven zero bytes.
constexpr auto kCheckUserTimePayload = [] {
  std::array<std::uint8_t, 17> payload{};
  constexpr auto from = window_time("0001311400");
  constexpr auto until = window_time("9911301400");
  std::copy(from.begin(), from.end(), payload.begin());
  std::copy(until.begin(), until.end(), payload.begin() + from.size());
  return payload;
}();

CoreError unexpected_frame() { return error::Protocol{"received a frame when none was expected"}; }

// Decrypts a reply and checks its command byte, then its status byte.
Result<Response> accept_reply(ByteView frame, PayloadCipher& cipher, std::uint8_t command) {
  auto reply = decode_response(frame, cipher);
  if (!reply) return reply;
  if (reply->command != command) {
    return fail(error::UnexpectedCommand{command, reply->command});
  }
  if (reply->status != kStatusAccepted) {
    return fail(error::CommandRefused{command, reply->status});
  }
  return reply;
}

// The lock's time field is 32 bits wide. A clock set before 1970 has no
// meaningful value to send, so it writes 0 rather than a wrapped number.
std::uint32_t lock_time_field(std::int64_t utc_seconds) {
  if (utc_seconds < 0) return 0;
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  if (static_cast<std::uint64_t>(utc_seconds) > kMax) return kMax;
  return static_cast<std::uint32_t>(utc_seconds);
}

// The lock or unlock request: (ps + unlock key) wrapping at 2^32, then the time.
Result<PacketBytes> build_actuation_request(const LockVersion& version, std::uint8_t command,
                                            std::uint32_t ps, std::uint32_t unlock_key,
                                            std::int64_t utc_seconds, PayloadCipher& cipher) {
  Secret<std::array<std::uint8_t, 8>> plaintext;
  const auto span = std::span(plaintext.value());
  store_big_endian(span.first<4>(), ps + unlock_key);
  store_big_endian(span.last<4>(), lock_time_field(utc_seconds));
  return build_packet_inline(version, command, plaintext.value(), cipher);
}

}  // namespace

// ---- StatusOp ---------------------------------------------------------------

Result<StatusOp> StatusOp::create(const AesKey& key, const LockVersion& version) {
  auto cipher = PayloadCipher::create(key);
  if (!cipher) return fail(std::move(cipher).error());
  return StatusOp(std::move(*cipher), version);
}

StatusOp::StatusOp(PayloadCipher cipher, const LockVersion& version)
    : cipher_(std::move(cipher)), version_(version) {}

Result<StatusStep> StatusOp::start() {
  auto packet = build_packet_inline(version_, command::kStatus, kStatusQuery, cipher_);
  if (!packet) return fail(std::move(packet).error());
  awaiting_reply_ = true;
  return Write{*packet};
}

Result<StatusStep> StatusOp::handle_frame(ByteView frame) {
  if (!awaiting_reply_) return fail(unexpected_frame());
  auto reply = accept_reply(frame, cipher_, command::kStatus);
  if (!reply) return fail(std::move(reply).error());
  // data[0] carries nothing we use; data[1] is the bolt's state.
  if (reply->data.size() < 2) return fail(error::NotEnoughResponseData{"status byte"});
  const auto status = LockStatus::from_state_byte(reply->data[1]);
  awaiting_reply_ = false;
  return Done<LockStatus>{status};
}

// ---- ActuationOp ------------------------------------------------------------

std::int64_t system_utc_seconds() {
  const auto now = std::chrono::system_clock::now();
  return std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
}

Result<ActuationOp> ActuationOp::create(const AesKey& key, const LockVersion& version,
                                        std::uint32_t unlock_key, std::uint8_t actuation_command,
                                        UtcSecondsClock clock) {
  auto cipher = PayloadCipher::create(key);
  if (!cipher) return fail(std::move(cipher).error());
  return ActuationOp(std::move(*cipher), version, unlock_key, actuation_command,
                     clock != nullptr ? clock : system_utc_seconds);
}

ActuationOp::ActuationOp(PayloadCipher cipher, const LockVersion& version, std::uint32_t unlock_key,
                         std::uint8_t actuation_command, UtcSecondsClock clock)
    : cipher_(std::move(cipher)),
      version_(version),
      unlock_key_(unlock_key),
      actuation_command_(actuation_command),
      clock_(clock) {}

Result<ActuationStep> ActuationOp::start() {
  auto packet =
      build_packet_inline(version_, command::kCheckUserTime, kCheckUserTimePayload, cipher_);
  if (!packet) return fail(std::move(packet).error());
  phase_ = ActuationPhase::AwaitingHandshake;
  return Write{*packet};
}

Result<ActuationStep> ActuationOp::handle_frame(ByteView frame) {
  switch (phase_) {
    case ActuationPhase::AwaitingHandshake: {
      auto reply = accept_reply(frame, cipher_, command::kCheckUserTime);
      if (!reply) return fail(std::move(reply).error());
      if (reply->data.size() < 4) {
        return fail(error::NotEnoughResponseData{"check-user-time ps"});
      }
      const auto ps = load_big_endian<std::uint32_t>(reply->data);
      auto request = build_actuation_request(version_, actuation_command_, ps, unlock_key_.value(),
                                             clock_(), cipher_);
      if (!request) return fail(std::move(request).error());
      phase_ = ActuationPhase::AwaitingActuation;
      return Write{*request};
    }
    case ActuationPhase::AwaitingActuation: {
      // The reply's data bytes carry nothing we need.
      auto reply = accept_reply(frame, cipher_, actuation_command_);
      if (!reply) return fail(std::move(reply).error());
      phase_ = ActuationPhase::Finished;
      return Done<NoValue>{};
    }
    case ActuationPhase::Idle:
    case ActuationPhase::Finished: break;
  }
  return fail(unexpected_frame());
}

}  // namespace quovel
