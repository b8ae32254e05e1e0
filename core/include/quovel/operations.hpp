// The lock operations as step machines: each hands out packets to write and
// checks the replies fed back. A failed call leaves the operation unchanged.
#pragma once

#include <cstdint>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/errors.hpp"
#include "quovel/secret.hpp"
#include "quovel/step.hpp"
#include "quovel/version.hpp"

namespace quovel {

// Asks the lock whether its bolt is locked: one request, one reply.
class StatusOp {
 public:
  static Result<StatusOp> create(const AesKey& key, const LockVersion& version);

  Result<StatusStep> start();
  Result<StatusStep> handle_frame(ByteView frame);

  bool awaiting_reply() const { return awaiting_reply_; }

 private:
  StatusOp(PayloadCipher cipher, const LockVersion& version);

  PayloadCipher cipher_;
  LockVersion version_;
  bool awaiting_reply_ = false;
};

enum class ActuationPhase : std::uint8_t { Idle, AwaitingHandshake, AwaitingActuation, Finished };

// Seconds since 1970-01-01 UTC; may be negative for a clock set before then.
using UtcSecondsClock = std::int64_t (*)();
std::int64_t system_utc_seconds();

// Lock or unlock: the check-user-time handshake, then the actuation.
class ActuationOp {
 public:
  static Result<ActuationOp> create(const AesKey& key, const LockVersion& version,
                                    std::uint32_t unlock_key, std::uint8_t actuation_command,
                                    UtcSecondsClock clock = system_utc_seconds);

  Result<ActuationStep> start();
  Result<ActuationStep> handle_frame(ByteView frame);

  ActuationPhase phase() const { return phase_; }
  std::uint8_t actuation_command() const { return actuation_command_; }

 private:
  ActuationOp(PayloadCipher cipher, const LockVersion& version, std::uint32_t unlock_key,
              std::uint8_t actuation_command, UtcSecondsClock clock);

  PayloadCipher cipher_;
  LockVersion version_;
  Secret<std::uint32_t> unlock_key_;
  std::uint8_t actuation_command_;
  ActuationPhase phase_ = ActuationPhase::Idle;
  UtcSecondsClock clock_;
};

}  // namespace quovel
