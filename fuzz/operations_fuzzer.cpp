// The step machines fed random frames in random phases, and replies built
// with the right key so that every check is reached. Each answer is
// predicted from decode_response and the step rules; a failed call must
// leave phase() and awaiting_reply() exactly as they were.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

#include "fuzz_support.hpp"
#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/commands.hpp"
#include "quovel/errors.hpp"
#include "quovel/operations.hpp"
#include "quovel/packet.hpp"
#include "quovel/step.hpp"
#include "quovel/version.hpp"

namespace quovel::fuzz {
namespace {

const AesKey kKey(AesKey::Array{0x3c, 0x91, 0x05, 0xe2, 0x7a, 0x48, 0xd6, 0x1f, 0xb0, 0x6e, 0x23,
                                0xc9, 0x84, 0x5d, 0xf7, 0x12});
const AesKey kOtherKey(AesKey::Array{0x3c, 0x91, 0x05, 0xe2, 0x7a, 0x48, 0xd6, 0x1f, 0xb0, 0x6e,
                                     0x23, 0xc9, 0x84, 0x5d, 0xf7, 0x13});

PayloadCipher& shared_cipher() {
  static PayloadCipher cipher = PayloadCipher::create(kKey).value();
  return cipher;
}

// The clock takes no context, so the scenario's time lives here. Without
// one, the operation reads the system clock.
std::int64_t g_now = 0;
bool g_system_clock = false;
std::int64_t scenario_clock() { return g_now; }

std::uint32_t expected_time_field(std::int64_t seconds) {
  if (seconds < 0) return 0;
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint64_t>(seconds) > kMax ? kMax : static_cast<std::uint32_t>(seconds);
}

std::uint32_t load_be32(ByteView bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

// The plaintext of one of our own requests, and its header command byte.
struct Request {
  std::uint8_t header_command;
  Bytes plaintext;
};

Request open_request(const Bytes& packet, const LockVersion& version) {
  FUZZ_REQUIRE(packet.size() >= kPacketOverhead);
  FUZZ_REQUIRE(packet[2] == version.protocol_type && packet[3] == version.protocol_version &&
               packet[4] == version.scene && packet[5] == (version.group_id >> 8) &&
               packet[6] == (version.group_id & 0xff) && packet[7] == (version.org_id >> 8) &&
               packet[8] == (version.org_id & 0xff));
  const Result<Response> decoded = decode_response(packet, shared_cipher());
  FUZZ_REQUIRE(decoded.has_value());
  Bytes plaintext{decoded->command, decoded->status};
  plaintext.insert(plaintext.end(), decoded->data.begin(), decoded->data.end());
  return {packet[9], std::move(plaintext)};
}

bool same_error(const CoreError& a, const CoreError& b) {
  return a.kind() == b.kind() && a.message() == b.message();
}

// What a waiting operation must answer to `frame`: the decoded reply when it
// passes the command and status checks, or the error.
Result<Response> checked_reply(ByteView frame, std::uint8_t command) {
  Result<Response> reply = decode_response(frame, shared_cipher());
  if (!reply) return reply;
  if (reply->command != command) return fail(error::UnexpectedCommand{command, reply->command});
  if (reply->status != 0x01) return fail(error::CommandRefused{command, reply->status});
  return reply;
}

const CoreError kUnexpectedFrame = error::Protocol{"received a frame when none was expected"};

struct Scenario {
  LockVersion version;
  std::uint32_t unlock_key;
  StatusOp status;
  ActuationOp actuation;
  std::optional<Bytes> status_request;
  std::optional<Bytes> handshake_request;

  void start() {
    const Result<StatusStep> status_step = status.start();
    FUZZ_REQUIRE(status_step && std::holds_alternative<Write>(*status_step));
    const PacketBytes& status_packet_held = std::get<Write>(*status_step).packet;
    const Bytes status_packet(status_packet_held.begin(), status_packet_held.end());
    FUZZ_REQUIRE(status_packet.size() == 31 && status.awaiting_reply());
    if (!status_request) {
      const Request opened = open_request(status_packet, version);
      FUZZ_REQUIRE(opened.header_command == command::kStatus);
      FUZZ_REQUIRE(opened.plaintext == Bytes({'Z', 'O', 'L', 'M', 'E', 'R', 'I'}));
      status_request = status_packet;
    }
    FUZZ_REQUIRE(status_packet == *status_request);

    const Result<ActuationStep> step = actuation.start();
    FUZZ_REQUIRE(step && std::holds_alternative<Write>(*step));
    const PacketBytes& packet_held = std::get<Write>(*step).packet;
    const Bytes packet(packet_held.begin(), packet_held.end());
    FUZZ_REQUIRE(packet.size() == 47 && actuation.phase() == ActuationPhase::AwaitingHandshake);
    if (!handshake_request) {
      const Request opened = open_request(packet, version);
      FUZZ_REQUIRE(opened.header_command == command::kCheckUserTime);
      const Bytes window{0x00, 0x01, 0x1f, 0x0e, 0x00, 0x63, 0x0b, 0x1e, 0x0e,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
      FUZZ_REQUIRE(opened.plaintext == window);
      handshake_request = packet;
    }
    FUZZ_REQUIRE(packet == *handshake_request);
  }

  void feed_status(ByteView frame) {
    const bool waiting = status.awaiting_reply();
    const Result<StatusStep> step = status.handle_frame(frame);
    if (!step) FUZZ_REQUIRE(status.awaiting_reply() == waiting);
    if (!waiting) {
      FUZZ_REQUIRE(!step && same_error(step.error(), kUnexpectedFrame));
      return;
    }
    const Result<Response> reply = checked_reply(frame, command::kStatus);
    if (!reply) {
      FUZZ_REQUIRE(!step && same_error(step.error(), reply.error()));
      return;
    }
    if (reply->data.size() < 2) {
      FUZZ_REQUIRE(!step && step.error().kind() == ErrorKind::NotEnoughResponseData);
      return;
    }
    FUZZ_REQUIRE(step && std::holds_alternative<Done<LockStatus>>(*step));
    const LockStatus result = std::get<Done<LockStatus>>(*step).value;
    const LockStatus expected = LockStatus::from_state_byte(reply->data[1]);
    FUZZ_REQUIRE(result.kind == expected.kind && result.text() == expected.text());
    FUZZ_REQUIRE(!status.awaiting_reply());
  }

  void feed_actuation(ByteView frame) {
    const ActuationPhase phase = actuation.phase();
    const std::int64_t clock_before = g_system_clock ? system_utc_seconds() : g_now;
    const Result<ActuationStep> step = actuation.handle_frame(frame);
    const std::int64_t clock_after = g_system_clock ? system_utc_seconds() : g_now;
    if (!step) {
      FUZZ_REQUIRE(actuation.phase() == phase);
      FUZZ_REQUIRE(!step.error().message().empty());
    }
    switch (phase) {
      case ActuationPhase::Idle:
      case ActuationPhase::Finished:
        FUZZ_REQUIRE(!step && same_error(step.error(), kUnexpectedFrame));
        return;
      case ActuationPhase::AwaitingHandshake: {
        const Result<Response> reply = checked_reply(frame, command::kCheckUserTime);
        if (!reply) {
          FUZZ_REQUIRE(!step && same_error(step.error(), reply.error()));
          return;
        }
        if (reply->data.size() < 4) {
          FUZZ_REQUIRE(!step && step.error().kind() == ErrorKind::NotEnoughResponseData);
          return;
        }
        FUZZ_REQUIRE(step && std::holds_alternative<Write>(*step));
        FUZZ_REQUIRE(actuation.phase() == ActuationPhase::AwaitingActuation);
        const PacketBytes& packet_held = std::get<Write>(*step).packet;
        const Bytes packet(packet_held.begin(), packet_held.end());
        FUZZ_REQUIRE(packet.size() == 31);
        const Request opened = open_request(packet, version);
        FUZZ_REQUIRE(opened.header_command == actuation.actuation_command());
        FUZZ_REQUIRE(opened.plaintext.size() == 8);
        const std::uint32_t ps = load_be32(reply->data);
        FUZZ_REQUIRE(load_be32(opened.plaintext) == static_cast<std::uint32_t>(ps + unlock_key));
        const std::uint32_t time_field = load_be32(ByteView(opened.plaintext).subspan(4));
        FUZZ_REQUIRE(time_field >= expected_time_field(clock_before) &&
                     time_field <= expected_time_field(clock_after));
        return;
      }
      case ActuationPhase::AwaitingActuation: {
        const Result<Response> reply = checked_reply(frame, actuation.actuation_command());
        if (!reply) {
          FUZZ_REQUIRE(!step && same_error(step.error(), reply.error()));
          return;
        }
        FUZZ_REQUIRE(step && std::holds_alternative<Done<NoValue>>(*step));
        FUZZ_REQUIRE(actuation.phase() == ActuationPhase::Finished);
        return;
      }
    }
    FUZZ_REQUIRE(false);
  }

  void feed(ByteView frame) {
    feed_status(frame);
    feed_actuation(frame);
  }
};

// The command a well-formed reply carries: mostly one that some phase
// expects, so that the later checks are reached.
std::uint8_t reply_command(Reader& in, const ActuationOp& op) {
  switch (in.byte() % 5) {
    case 0: return command::kStatus;
    case 1: return command::kCheckUserTime;
    case 2: return op.actuation_command();
    case 3:
      return op.phase() == ActuationPhase::AwaitingActuation ? op.actuation_command()
                                                             : command::kCheckUserTime;
    default: return in.byte();
  }
}

Bytes reply_frame(Reader& in, const ActuationOp& op, const AesKey& key) {
  const std::uint8_t command = reply_command(in, op);
  const std::uint8_t status_choice = in.byte();
  const std::uint8_t status = status_choice < 0xc0 ? 0x01 : status_choice;
  const std::uint8_t header_command = in.byte();
  Bytes plaintext{command, status};
  const ByteView data = in.sized_bytes();
  plaintext.insert(plaintext.end(), data.begin(), data.end());
  plaintext.resize(std::min<std::size_t>(plaintext.size(), 239));
  Bytes packet = build_packet(LockVersion{}, header_command, plaintext, key).value();
  packet.resize(packet.size() - 2);
  // Sometimes a byte goes bad on the way.
  const std::uint8_t corrupt_at = in.byte();
  const std::uint8_t corrupt_mask = in.byte();
  if (corrupt_at < packet.size() && corrupt_mask != 0 && (corrupt_at & 0x80) == 0) {
    packet[corrupt_at] ^= corrupt_mask;
  }
  return packet;
}

}  // namespace
}  // namespace quovel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quovel;
  using namespace quovel::fuzz;
  Reader in(data, size);
  const std::uint8_t actuation_command = in.flag() ? command::kUnlock : command::kLock;
  const auto unlock_key = static_cast<std::uint32_t>(in.number(4));
  g_now = static_cast<std::int64_t>(in.number(8));
  g_system_clock = g_now == 0;
  LockVersion version;
  if (in.flag()) {
    version.protocol_type = in.byte();
    version.protocol_version = in.byte();
    version.scene = in.byte();
    version.group_id = static_cast<std::uint16_t>(in.number(2));
    version.org_id = static_cast<std::uint16_t>(in.number(2));
  }

  Scenario scenario{
      .version = version,
      .unlock_key = unlock_key,
      .status = StatusOp::create(kKey, version).value(),
      .actuation = ActuationOp::create(kKey, version, unlock_key, actuation_command,
                                       g_system_clock ? nullptr : scenario_clock)
                       .value(),
      .status_request = std::nullopt,
      .handshake_request = std::nullopt,
  };
  FUZZ_REQUIRE(!scenario.status.awaiting_reply());
  FUZZ_REQUIRE(scenario.actuation.phase() == ActuationPhase::Idle);

  while (!in.empty()) {
    switch (in.byte() % 7) {
      case 0: scenario.start(); break;
      case 1:  // whatever arrived
        scenario.feed(in.sized_bytes());
        break;
      case 2:
      case 3: {  // a genuine reply
        const Bytes frame = reply_frame(in, scenario.actuation, kKey);
        scenario.feed(frame);
        break;
      }
      case 4: {  // a reply from a lock with another key
        const Bytes frame = reply_frame(in, scenario.actuation, kOtherKey);
        scenario.feed(frame);
        break;
      }
      case 5:  // the clock moves
        if (!g_system_clock) g_now = static_cast<std::int64_t>(in.number(8));
        break;
      default: {  // the operation changes hands
        const ActuationPhase phase = scenario.actuation.phase();
        ActuationOp moved(std::move(scenario.actuation));
        FUZZ_REQUIRE(moved.phase() == phase);
        scenario.actuation = std::move(moved);
        FUZZ_REQUIRE(scenario.actuation.phase() == phase);
        break;
      }
    }
  }
  return 0;
}
