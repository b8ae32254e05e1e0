// What a lock is believed to be doing, built only from evidence the caller
// reports: advertisements, command outcomes, status answers and
// caller-supplied monotonic milliseconds. Every change reports which
// observable values moved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quovel/advertisement.hpp"
#include "quovel/version.hpp"

namespace quovel::tracker {

enum class Actuation : std::uint8_t { Lock, Unlock };

// Exactly "lock" or "unlock": case and blanks matter.
std::optional<Actuation> parse_actuation(std::string_view text);
const char* actuation_text(Actuation action);  // "lock" or "unlock"

enum class BoltPosition : std::uint8_t { Locked, Unlocked };

// The position a status answer names: exactly "LOCKED" or "UNLOCKED"; any
// other answer ("UNKNOWN:<n>" included) names none.
std::optional<BoltPosition> parse_status(std::string_view text);

struct Unobserved {
  friend constexpr bool operator==(const Unobserved&, const Unobserved&) = default;
};
struct Settled {
  BoltPosition position;
  friend constexpr bool operator==(const Settled&, const Settled&) = default;
};
// A command was sent; `last_position` is the last one settled before it.
struct InFlight {
  Actuation action;
  std::optional<BoltPosition> last_position;
  friend constexpr bool operator==(const InFlight&, const InFlight&) = default;
};
using TrackerState = std::variant<Unobserved, Settled, InFlight>;

// Which observable values an operation changed.
struct ChangeSet {
  bool state = false;
  bool available = false;
  bool battery = false;

  bool empty() const { return !state && !available && !battery; }
  friend constexpr bool operator==(const ChangeSet&, const ChangeSet&) = default;
};

// A plain value: copy it freely. Times saturate instead of wrapping.
class LockTracker {
 public:
  ChangeSet on_advertisement(std::uint64_t now_ms, const Advertisement& advertisement);
  ChangeSet on_command_started(Actuation action);
  // Accepted from any state; the action in flight is not compared.
  ChangeSet on_command_acknowledged(std::uint64_t now_ms, Actuation action);
  // Keeps the command in flight until other evidence settles it.
  ChangeSet on_command_failed();
  // The lock answered a status query: a position settles the state from any
  // state; an answer without one ends a command in flight at the carried
  // position, as the command's outcome cannot be read from it.
  ChangeSet on_status(std::uint64_t now_ms, std::optional<BoltPosition> position);
  // A status query failed: nothing was heard, so only a command in flight
  // ends, at the carried position; availability is left alone.
  ChangeSet on_status_failed();
  // Gives back time the radio was busy connecting, so it does not count
  // towards expiry. No effect before anything was heard.
  void credit_blind_time(std::uint64_t blind_ms);
  // Expires when nothing was heard for at least `offline_after_ms`, or never.
  ChangeSet poll_availability(std::uint64_t now_ms, std::uint64_t offline_after_ms);
  ChangeSet on_unavailable();

  // "LOCKED", "UNLOCKED", "LOCKING" or "UNLOCKING" (static text).
  std::optional<const char*> reported_state() const;
  std::optional<bool> is_locked() const;
  std::optional<const char*> pending() const;  // "lock" or "unlock"
  bool available() const { return available_; }
  std::optional<std::uint8_t> battery() const { return battery_; }
  std::optional<LockVersion> lock_version() const { return lock_version_; }
  const TrackerState& state() const { return state_; }
  std::optional<std::uint64_t> last_heard_ms() const { return last_heard_ms_; }

 private:
  enum class Reported : std::uint8_t { None, Locked, Unlocked, Locking, Unlocking };
  struct Observed {
    Reported reported;
    bool available;
    std::optional<std::uint8_t> battery;
  };

  Reported reported() const;
  Observed observe() const;
  ChangeSet changes_since(const Observed& before) const;
  void mark_heard(std::uint64_t now_ms);
  void drop_in_flight();

  std::optional<std::uint64_t> last_heard_ms_;
  std::optional<LockVersion> lock_version_;
  std::optional<std::uint8_t> battery_;
  TrackerState state_ = Unobserved{};
  bool available_ = false;
};

}  // namespace quovel::tracker
