#include "quovel/operations.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/errors.hpp"
#include "quovel/packet.hpp"
#include "quovel/step.hpp"
#include "quovel/version.hpp"

namespace quovel {
namespace {

const AesKey kKey(AesKey::Array{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba,
                                0xcb, 0xdc, 0xed, 0xfe, 0x0f});
const LockVersion kVersion{};
constexpr std::uint8_t kRefused = 0x00;
constexpr std::uint8_t kAccepted = 0x01;
const std::string kUnexpectedFrame = "received a frame when none was expected";

// The lock's side of the exchange: it reads our requests and answers with
// packets of its own, encrypted with the same key.
struct LockDouble {
  // A reply frame as the assembler hands it over: the packet without CR LF.
  static Bytes reply(std::uint8_t command, std::uint8_t status, const Bytes& data = {}) {
    Bytes plaintext{command, status};
    plaintext.insert(plaintext.end(), data.begin(), data.end());
    Bytes packet = build_packet(kVersion, command, plaintext, kKey).value();
    packet.resize(packet.size() - 2);
    return packet;
  }

  static Bytes with_bad_crc(Bytes frame) {
    frame.back() ^= 0xff;
    return frame;
  }

  // The decrypted payload of one of our requests.
  static Bytes plaintext_of(const Bytes& request) {
    const Response decoded = decode_response(request, kKey).value();
    Bytes plaintext{decoded.command, decoded.status};
    plaintext.insert(plaintext.end(), decoded.data.begin(), decoded.data.end());
    return plaintext;
  }
};

template <typename Step>
Bytes written(const Result<Step>& step) {
  EXPECT_TRUE(step.has_value()) << (step ? "" : step.error().message());
  if (!step || !std::holds_alternative<Write>(*step)) {
    ADD_FAILURE() << "expected a Write step";
    return {};
  }
  const PacketBytes& packet = std::get<Write>(*step).packet;
  return Bytes(packet.begin(), packet.end());
}

template <typename Step>
std::string error_of(const Result<Step>& step) {
  return step ? "<no error>" : step.error().message();
}

Bytes be32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// The first four bytes of an actuation request's plaintext: ps + unlock key.
Bytes sum_field(const Bytes& request) {
  const Bytes plaintext = LockDouble::plaintext_of(request);
  if (plaintext.size() != 8) ADD_FAILURE() << "actuation plaintext is " << plaintext.size();
  return Bytes(plaintext.begin(),
               plaintext.begin() + std::min<std::ptrdiff_t>(4, std::ssize(plaintext)));
}

// ---- StatusOp ---------------------------------------------------------------

TEST(StatusOpTest, StartBuildsTheSameQueryEveryTime) {
  StatusOp op = StatusOp::create(kKey, kVersion).value();
  const Bytes first = written(op.start());
  EXPECT_EQ(written(op.start()), first);
  ASSERT_EQ(first.size(), 31u);
  EXPECT_EQ(first[0], 0x7f);
  EXPECT_EQ(first[1], 0x5a);
  EXPECT_EQ(first[9], 0x14);
  EXPECT_EQ(first[11], 0x10);
  EXPECT_EQ(first[29], 0x0d);
  EXPECT_EQ(first[30], 0x0a);
  EXPECT_EQ(LockDouble::plaintext_of(first), (Bytes{'Z', 'O', 'L', 'M', 'E', 'R', 'I'}));
  EXPECT_TRUE(op.awaiting_reply());
}

TEST(StatusOpTest, MapsTheSecondDataByteToTheLockStatus) {
  const struct {
    Bytes data;
    LockStatus::Kind kind;
    std::string text;
  } cases[] = {
      {{0x64, 0x00}, LockStatus::Kind::Locked, "LOCKED"},
      {{0x64, 0x01}, LockStatus::Kind::Unlocked, "UNLOCKED"},
      {{0x00, 0x02, 0xaa}, LockStatus::Kind::Unknown, "UNKNOWN:2"},
      {{0x00, 0xff}, LockStatus::Kind::Unknown, "UNKNOWN:255"},
  };
  for (const auto& c : cases) {
    StatusOp op = StatusOp::create(kKey, kVersion).value();
    ASSERT_TRUE(op.start());
    const auto step = op.handle_frame(LockDouble::reply(0x14, kAccepted, c.data));
    ASSERT_TRUE(step) << step.error().message();
    const LockStatus status = std::get<Done<LockStatus>>(*step).value;
    EXPECT_EQ(status.kind, c.kind);
    EXPECT_EQ(status.text(), c.text);
    EXPECT_FALSE(op.awaiting_reply());
  }
}

TEST(StatusOpTest, RejectsAFrameWhenNoReplyIsAwaited) {
  StatusOp op = StatusOp::create(kKey, kVersion).value();
  // Not even parsed: an empty frame would otherwise be "packet is too short".
  EXPECT_EQ(error_of(op.handle_frame(Bytes{})), kUnexpectedFrame);

  ASSERT_TRUE(op.start());
  ASSERT_TRUE(op.handle_frame(LockDouble::reply(0x14, kAccepted, {0, 0})));
  EXPECT_EQ(error_of(op.handle_frame(LockDouble::reply(0x14, kAccepted, {0, 0}))),
            kUnexpectedFrame);

  // start() re-arms a finished operation.
  ASSERT_TRUE(op.start());
  EXPECT_TRUE(op.handle_frame(LockDouble::reply(0x14, kAccepted, {0, 1})));
}

TEST(StatusOpTest, AFailedReplyKeepsWaitingForTheRealOne) {
  const struct {
    Bytes frame;
    ErrorKind kind;
    std::string message;
  } cases[] = {
      {LockDouble::reply(0x55, kAccepted, {0, 0}), ErrorKind::UnexpectedCommand,
       "unexpected response command: expected 0x14, got 0x55"},
      // The command is checked before the status, the status before the length.
      {LockDouble::reply(0x55, kRefused), ErrorKind::UnexpectedCommand,
       "unexpected response command: expected 0x14, got 0x55"},
      {LockDouble::reply(0x14, kRefused), ErrorKind::CommandRefused,
       "command 0x14 failed with response byte 0x00 \u2014 the lock refused the command"},
      {LockDouble::reply(0x14, kAccepted, {0x64}), ErrorKind::NotEnoughResponseData,
       "not enough response data for status byte"},
      {LockDouble::with_bad_crc(LockDouble::reply(0x14, kAccepted, {0, 0})), ErrorKind::CrcMismatch,
       ""},
      // Sealed with another key: the padding check fails, and the cipher must
      // still decrypt the next reply.
      {build_packet(kVersion, 0x14, Bytes{0x14, 0x01, 0, 0}, AesKey(AesKey::Array{})).value(),
       ErrorKind::AesDecryptionFailed, "AES decryption failed"},
  };
  for (const auto& c : cases) {
    StatusOp op = StatusOp::create(kKey, kVersion).value();
    ASSERT_TRUE(op.start());
    const auto step = op.handle_frame(c.frame);
    ASSERT_FALSE(step);
    EXPECT_EQ(step.error().kind(), c.kind);
    if (!c.message.empty()) {
      EXPECT_EQ(step.error().message(), c.message);
    }
    EXPECT_TRUE(op.awaiting_reply());
    EXPECT_TRUE(op.handle_frame(LockDouble::reply(0x14, kAccepted, {0, 0})));
  }
}

// ---- ActuationOp ------------------------------------------------------------

// Test clock: a function pointer cannot capture, so it reads this value.
std::int64_t g_fake_now = 1'700'000'000;
std::int64_t fake_clock() { return g_fake_now; }

constexpr std::uint32_t kUnlockKey = 123'456'789;

ActuationOp make_actuation(std::uint8_t command, std::uint32_t unlock_key = kUnlockKey) {
  return ActuationOp::create(kKey, kVersion, unlock_key, command, fake_clock).value();
}

// Runs start() and an accepted handshake; returns the actuation request.
Bytes through_handshake(ActuationOp& op, const Bytes& handshake_data) {
  if (!op.start()) ADD_FAILURE() << "start failed";
  return written(op.handle_frame(LockDouble::reply(0x55, kAccepted, handshake_data)));
}

TEST(ActuationOpTest, StartBuildsTheFixedCheckUserTimeRequest) {
  ActuationOp op = make_actuation(0x47);
  const Bytes first = written(op.start());
  EXPECT_EQ(written(op.start()), first);
  ASSERT_EQ(first.size(), 47u);
  EXPECT_EQ(first[9], 0x55);
  EXPECT_EQ(first[11], 0x20);
  EXPECT_EQ(LockDouble::plaintext_of(first), (Bytes{0x00, 0x01, 0x1f, 0x0e, 0x00,  // window start
                                                    0x63, 0x0b, 0x1e, 0x0e, 0x00,  // window end
                                                    0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(op.phase(), ActuationPhase::AwaitingHandshake);
}

class ActuationExchangeTest : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(ActuationExchangeTest, RunsHandshakeActuationAndDone) {
  const std::uint8_t command = GetParam();
  const std::string command_hex = command == 0x58 ? "0x58" : "0x47";
  g_fake_now = 1'700'000'000;
  ActuationOp op = make_actuation(command);
  ASSERT_TRUE(op.start());
  EXPECT_EQ(error_of(op.handle_frame(LockDouble::reply(command, kAccepted))),
            "unexpected response command: expected 0x55, got " + command_hex);

  // Extra data after ps is ignored; the time is read when the reply arrives.
  g_fake_now = 1'700'000'123;
  const Bytes request =
      written(op.handle_frame(LockDouble::reply(0x55, kAccepted, {0x00, 0x00, 0x01, 0x00, 0xee})));
  ASSERT_EQ(request.size(), 31u);
  EXPECT_EQ(request[9], command);
  Bytes expected = be32(0x100 + kUnlockKey);
  const Bytes time = be32(1'700'000'123);
  expected.insert(expected.end(), time.begin(), time.end());
  EXPECT_EQ(LockDouble::plaintext_of(request), expected);
  EXPECT_EQ(op.phase(), ActuationPhase::AwaitingActuation);

  EXPECT_EQ(error_of(op.handle_frame(LockDouble::reply(0x55, kAccepted, be32(1)))),
            "unexpected response command: expected " + command_hex + ", got 0x55");
  EXPECT_EQ(error_of(op.handle_frame(LockDouble::reply(command, kRefused))),
            "command " + command_hex +
                " failed with response byte 0x00 \u2014 the handshake succeeded, so the AES key "
                "and protocol version are right; this points at the unlock key");
  EXPECT_EQ(op.phase(), ActuationPhase::AwaitingActuation);

  const auto done = op.handle_frame(LockDouble::reply(command, kAccepted, {0x99}));
  ASSERT_TRUE(done) << done.error().message();
  EXPECT_TRUE(std::holds_alternative<Done<NoValue>>(*done));
  EXPECT_EQ(op.phase(), ActuationPhase::Finished);
  EXPECT_EQ(error_of(op.handle_frame(LockDouble::reply(command, kAccepted))), kUnexpectedFrame);
}

INSTANTIATE_TEST_SUITE_P(LockAndUnlock, ActuationExchangeTest, ::testing::Values(0x58, 0x47));

TEST(ActuationOpTest, LockAndUnlockShareTheHandshake) {
  ActuationOp lock = make_actuation(0x58);
  ActuationOp unlock = make_actuation(0x47);
  EXPECT_EQ(written(lock.start()), written(unlock.start()));
}

TEST(ActuationOpTest, PsPlusUnlockKeyWrapsModulo2To32) {
  ActuationOp op = make_actuation(0x58, 0x20);
  const Bytes request = through_handshake(op, be32(0xfffffff0));
  EXPECT_EQ(sum_field(request), be32(0x10));
}

TEST(ActuationOpTest, TimeFieldSaturatesAndNeverWraps) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const struct {
    std::int64_t now;
    std::uint32_t field;
  } cases[] = {
      {0, 0},    {0xffffffff, 0xffffffff}, {0x100000000, 0xffffffff}, {kMax, 0xffffffff}, {-1, 0},
      {kMin, 0},
  };
  for (const auto& c : cases) {
    g_fake_now = c.now;
    ActuationOp op = make_actuation(0x47);
    const Bytes plaintext = LockDouble::plaintext_of(through_handshake(op, be32(1)));
    EXPECT_EQ(Bytes(plaintext.begin() + 4, plaintext.end()), be32(c.field)) << c.now;
  }
}

TEST(ActuationOpTest, SystemClockIsUnixSeconds) {
  ActuationOp op = ActuationOp::create(kKey, kVersion, kUnlockKey, 0x47).value();
  const auto before = static_cast<std::uint32_t>(system_utc_seconds());
  const Bytes plaintext = LockDouble::plaintext_of(through_handshake(op, be32(1)));
  const auto after = static_cast<std::uint32_t>(system_utc_seconds());
  const std::uint32_t sent = static_cast<std::uint32_t>(plaintext[4]) << 24 |
                             static_cast<std::uint32_t>(plaintext[5]) << 16 |
                             static_cast<std::uint32_t>(plaintext[6]) << 8 | plaintext[7];
  EXPECT_GE(sent, before);
  EXPECT_LE(sent, after);
  EXPECT_GT(before, 1'600'000'000u);  // after 2020: not some other epoch
}

TEST(ActuationOpTest, FailedRepliesLeaveThePhaseAlone) {
  const struct {
    ActuationPhase phase;
    Bytes frame;
    std::string message;  // empty: only the phase is checked
  } cases[] = {
      {ActuationPhase::Idle, LockDouble::reply(0x55, kAccepted, be32(1)), kUnexpectedFrame},
      {ActuationPhase::Finished, Bytes{}, kUnexpectedFrame},
      {ActuationPhase::AwaitingHandshake, LockDouble::reply(0x58, kAccepted, be32(1)),
       "unexpected response command: expected 0x55, got 0x58"},
      {ActuationPhase::AwaitingHandshake, LockDouble::reply(0x55, kRefused),
       "command 0x55 failed with response byte 0x00 \u2014 the handshake was refused, which "
       "points at the AES key or the protocol version"},
      {ActuationPhase::AwaitingHandshake, LockDouble::reply(0x55, kAccepted, {0, 0, 1}),
       "not enough response data for check-user-time ps"},
      {ActuationPhase::AwaitingHandshake,
       LockDouble::with_bad_crc(LockDouble::reply(0x55, kAccepted, be32(1))), ""},
      {ActuationPhase::AwaitingHandshake, Bytes{0x7f, 0x5a}, "packet is too short"},
      {ActuationPhase::AwaitingActuation, LockDouble::reply(0x55, kAccepted, be32(1)),
       "unexpected response command: expected 0x47, got 0x55"},
      {ActuationPhase::AwaitingActuation, LockDouble::reply(0x47, 0x02),
       "command 0x47 failed with response byte 0x02 \u2014 the handshake succeeded, so the AES "
       "key and protocol version are right; this points at the unlock key"},
      {ActuationPhase::AwaitingActuation,
       LockDouble::with_bad_crc(LockDouble::reply(0x47, kAccepted)), ""},
  };
  for (const auto& c : cases) {
    ActuationOp op = make_actuation(0x47);
    if (c.phase != ActuationPhase::Idle) {
      ASSERT_TRUE(op.start());
    }
    if (c.phase >= ActuationPhase::AwaitingActuation) {
      ASSERT_TRUE(op.handle_frame(LockDouble::reply(0x55, kAccepted, be32(1))));
    }
    if (c.phase == ActuationPhase::Finished) {
      ASSERT_TRUE(op.handle_frame(LockDouble::reply(0x47, kAccepted)));
    }
    ASSERT_EQ(op.phase(), c.phase);
    const auto step = op.handle_frame(c.frame);
    ASSERT_FALSE(step);
    if (!c.message.empty()) {
      EXPECT_EQ(step.error().message(), c.message);
    }
    EXPECT_EQ(op.phase(), c.phase) << step.error().message();
  }
}

TEST(ActuationOpTest, CrcFaultThenGoodReplyIsAccepted) {
  ActuationOp op = make_actuation(0x58);
  ASSERT_TRUE(op.start());
  const Bytes good = LockDouble::reply(0x55, kAccepted, be32(7));
  const auto crc = op.handle_frame(LockDouble::with_bad_crc(good));
  ASSERT_FALSE(crc);
  EXPECT_EQ(crc.error().kind(), ErrorKind::CrcMismatch);
  EXPECT_TRUE(op.handle_frame(good));
}

TEST(ActuationOpTest, StartBeginsTheExchangeAgainFromAnyPhase) {
  ActuationOp op = make_actuation(0x58);
  const Bytes handshake = written(op.start());
  through_handshake(op, be32(1));
  ASSERT_EQ(op.phase(), ActuationPhase::AwaitingActuation);

  EXPECT_EQ(written(op.start()), handshake);
  EXPECT_EQ(op.phase(), ActuationPhase::AwaitingHandshake);
  // A new handshake brings a new ps into the rebuilt request.
  const Bytes request = written(op.handle_frame(LockDouble::reply(0x55, kAccepted, be32(1000))));
  EXPECT_EQ(sum_field(request), be32(1000 + kUnlockKey));
  ASSERT_TRUE(op.handle_frame(LockDouble::reply(0x58, kAccepted)));

  EXPECT_EQ(written(op.start()), handshake);
  EXPECT_EQ(op.phase(), ActuationPhase::AwaitingHandshake);
}

TEST(ActuationOpTest, MovedOperationCarriesOnTheExchange) {
  ActuationOp original = make_actuation(0x47);
  ASSERT_TRUE(original.start());
  ActuationOp moved(std::move(original));
  ActuationOp assigned = make_actuation(0x58);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.phase(), ActuationPhase::AwaitingHandshake);
  EXPECT_EQ(assigned.actuation_command(), 0x47);
  const Bytes request = written(assigned.handle_frame(LockDouble::reply(0x55, kAccepted, be32(5))));
  EXPECT_EQ(sum_field(request), be32(5 + kUnlockKey));
}

}  // namespace
}  // namespace quovel
