#include "quovel/tracker.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

#include "quovel/advertisement.hpp"

namespace quovel::tracker {
namespace {

constexpr std::uint64_t kMaxTime = std::numeric_limits<std::uint64_t>::max();

BoltPosition position_of(Actuation action) {
  return action == Actuation::Lock ? BoltPosition::Locked : BoltPosition::Unlocked;
}

std::optional<BoltPosition> last_position_of(const TrackerState& state) {
  if (const auto* settled = std::get_if<Settled>(&state)) return settled->position;
  if (const auto* in_flight = std::get_if<InFlight>(&state)) return in_flight->last_position;
  return std::nullopt;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > kMaxTime - a ? kMaxTime : a + b;
}

std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

}  // namespace

std::optional<Actuation> parse_actuation(std::string_view text) {
  if (text == "lock") return Actuation::Lock;
  if (text == "unlock") return Actuation::Unlock;
  return std::nullopt;
}

const char* actuation_text(Actuation action) {
  return action == Actuation::Lock ? "lock" : "unlock";
}

std::optional<BoltPosition> parse_status(std::string_view text) {
  if (text == "LOCKED") return BoltPosition::Locked;
  if (text == "UNLOCKED") return BoltPosition::Unlocked;
  return std::nullopt;
}

ChangeSet LockTracker::on_advertisement(std::uint64_t now_ms, const Advertisement& advertisement) {
  const Observed before = observe();
  switch (advertisement.kind()) {
    case AdvertisementKind::Stateful: {
      const bool unlocked = advertisement.is_unlocked().value_or(false);
      // Fresh evidence of the bolt drops any command in flight.
      state_ = Settled{unlocked ? BoltPosition::Unlocked : BoltPosition::Locked};
      if (const auto level = advertisement.battery()) battery_ = level;
      lock_version_ = advertisement.lock_version();
      break;
    }
    case AdvertisementKind::Stateless: lock_version_ = advertisement.lock_version(); break;
    case AdvertisementKind::Unrecognized:
    case AdvertisementKind::Dfu: break;
  }
  mark_heard(now_ms);
  return changes_since(before);
}

ChangeSet LockTracker::on_command_started(Actuation action) {
  const Observed before = observe();
  state_ = InFlight{action, last_position_of(state_)};
  return changes_since(before);
}

ChangeSet LockTracker::on_command_acknowledged(std::uint64_t now_ms, Actuation action) {
  const Observed before = observe();
  state_ = Settled{position_of(action)};
  mark_heard(now_ms);
  return changes_since(before);
}

// A member like the other events, although it reads no state.
ChangeSet
LockTracker::on_command_failed() {  // NOLINT(readability-convert-member-functions-to-static)
  return ChangeSet{};
}

ChangeSet LockTracker::on_status(std::uint64_t now_ms, std::optional<BoltPosition> position) {
  const Observed before = observe();
  if (position) {
    state_ = Settled{*position};
  } else {
    drop_in_flight();
  }
  mark_heard(now_ms);
  return changes_since(before);
}

ChangeSet LockTracker::on_status_failed() {
  const Observed before = observe();
  drop_in_flight();
  return changes_since(before);
}

void LockTracker::credit_blind_time(std::uint64_t blind_ms) {
  if (last_heard_ms_) last_heard_ms_ = saturating_add(*last_heard_ms_, blind_ms);
}

ChangeSet LockTracker::poll_availability(std::uint64_t now_ms, std::uint64_t offline_after_ms) {
  if (last_heard_ms_ && saturating_sub(now_ms, *last_heard_ms_) < offline_after_ms) {
    return ChangeSet{};
  }
  return on_unavailable();
}

ChangeSet LockTracker::on_unavailable() {
  const Observed before = observe();
  available_ = false;
  drop_in_flight();
  return changes_since(before);
}

std::optional<const char*> LockTracker::reported_state() const {
  switch (reported()) {
    case Reported::Locked: return "LOCKED";
    case Reported::Unlocked: return "UNLOCKED";
    case Reported::Locking: return "LOCKING";
    case Reported::Unlocking: return "UNLOCKING";
    case Reported::None: break;
  }
  return std::nullopt;
}

std::optional<bool> LockTracker::is_locked() const {
  const std::optional<BoltPosition> position = last_position_of(state_);
  if (!position) return std::nullopt;
  return *position == BoltPosition::Locked;
}

std::optional<const char*> LockTracker::pending() const {
  if (const auto* in_flight = std::get_if<InFlight>(&state_)) {
    return actuation_text(in_flight->action);
  }
  return std::nullopt;
}

// Read twice by every event: a plain branch on the alternative rather than
// a visit.
LockTracker::Reported LockTracker::reported() const {
  if (const auto* settled = std::get_if<Settled>(&state_)) {
    return settled->position == BoltPosition::Locked ? Reported::Locked : Reported::Unlocked;
  }
  if (const auto* in_flight = std::get_if<InFlight>(&state_)) {
    return in_flight->action == Actuation::Lock ? Reported::Locking : Reported::Unlocking;
  }
  return Reported::None;
}

LockTracker::Observed LockTracker::observe() const { return {reported(), available_, battery_}; }

ChangeSet LockTracker::changes_since(const Observed& before) const {
  const Observed after = observe();
  return ChangeSet{
      .state = before.reported != after.reported,
      .available = before.available != after.available,
      .battery = before.battery != after.battery,
  };
}

void LockTracker::mark_heard(std::uint64_t now_ms) {
  // Taken as given, even when earlier than the stored time.
  last_heard_ms_ = now_ms;
  available_ = true;
}

// Back to what was settled before the command, or to nothing.
void LockTracker::drop_in_flight() {
  if (const auto* in_flight = std::get_if<InFlight>(&state_)) {
    if (in_flight->last_position) {
      state_ = Settled{*in_flight->last_position};
    } else {
      state_ = Unobserved{};
    }
  }
}

}  // namespace quovel::tracker
