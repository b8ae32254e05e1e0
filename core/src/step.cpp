#include "quovel/step.hpp"
#include <cstdint>
#include <string>

namespace quovel {

LockStatus LockStatus::from_state_byte(std::uint8_t state) {
  switch (state) {
    case 0: return LockStatus{Kind::Locked, state};
    case 1: return LockStatus{Kind::Unlocked, state};
    default: return LockStatus{Kind::Unknown, state};
  }
}

std::string LockStatus::text() const {
  switch (kind) {
    case Kind::Locked: return "LOCKED";
    case Kind::Unlocked: return "UNLOCKED";
    case Kind::Unknown: break;
  }
  return "UNKNOWN:" + std::to_string(raw);
}

}  // namespace quovel
