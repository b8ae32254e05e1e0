// What the lock operations hand back to their caller after each call.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "quovel/bytes.hpp"
#include "quovel/packet.hpp"

namespace quovel {

// One complete command packet (start bytes through CR LF) to write.
struct Write {
  PacketBytes packet;
};

template <typename T>
struct Done {
  T value;
};

// The result of an operation that returns nothing but its completion.
struct NoValue {};

// The state byte of a status reply.
struct LockStatus {
  enum class Kind : std::uint8_t { Locked, Unlocked, Unknown };
  Kind kind = Kind::Unknown;
  std::uint8_t raw = 0;  // the state byte, meaningful for Unknown

  static LockStatus from_state_byte(std::uint8_t state);
  // "LOCKED", "UNLOCKED" or "UNKNOWN:<n>".
  std::string text() const;
};

using StatusStep = std::variant<Write, Done<LockStatus>>;
using ActuationStep = std::variant<Write, Done<NoValue>>;

}  // namespace quovel
