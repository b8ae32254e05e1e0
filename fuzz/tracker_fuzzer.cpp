// Random sequences of tracker events, run beside a literal model of the
// state table. After every event all observable values must match the
// model, and the change set must be exactly what a before/after comparison
// of the observable values gives.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quovel/advertisement.hpp"
#include "quovel/text.hpp"
#include "quovel/tracker.hpp"

namespace quovel::fuzz {
namespace {

using tracker::Actuation;
using tracker::ChangeSet;
using tracker::LockTracker;

constexpr std::uint64_t kMaxTime = std::numeric_limits<std::uint64_t>::max();

struct Observed {
  std::optional<std::string> reported;
  std::optional<std::string> pending;
  std::optional<bool> is_locked;
  bool available = false;
  std::optional<std::uint8_t> battery;
  std::optional<LockVersion> version;
  std::optional<std::uint64_t> last_heard;

  friend bool operator==(const Observed&, const Observed&) = default;
};

std::optional<std::string> text_of(std::optional<const char*> text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

Observed observe(const LockTracker& t) {
  return {text_of(t.reported_state()),
          text_of(t.pending()),
          t.is_locked(),
          t.available(),
          t.battery(),
          t.lock_version(),
          t.last_heard_ms()};
}

ChangeSet compare(const Observed& before, const Observed& after) {
  return {.state = before.reported != after.reported,
          .available = before.available != after.available,
          .battery = before.battery != after.battery};
}

// The state table, written out as plainly as possible.
struct Model {
  enum class State : std::uint8_t { Unobserved, Settled, InFlight };
  State state = State::Unobserved;
  bool unlocked = false;               // Settled: the position
  Actuation action = Actuation::Lock;  // InFlight: the command
  std::optional<bool> last_unlocked;   // InFlight: the carried position
  std::optional<std::uint64_t> last_heard;
  std::optional<LockVersion> version;
  std::optional<std::uint8_t> battery;
  bool available = false;

  Observed observed() const {
    Observed o;
    o.available = available;
    o.battery = battery;
    o.version = version;
    o.last_heard = last_heard;
    switch (state) {
      case State::Unobserved: break;
      case State::Settled:
        o.reported = unlocked ? "UNLOCKED" : "LOCKED";
        o.is_locked = !unlocked;
        break;
      case State::InFlight:
        o.reported = action == Actuation::Lock ? "LOCKING" : "UNLOCKING";
        o.pending = action == Actuation::Lock ? "lock" : "unlock";
        if (last_unlocked) o.is_locked = !*last_unlocked;
        break;
    }
    return o;
  }

  void heard(std::uint64_t now) {
    last_heard = now;
    available = true;
  }

  void advertisement(std::uint64_t now, const Advertisement& ad) {
    if (ad.kind() == AdvertisementKind::Stateful) {
      state = State::Settled;
      unlocked = *ad.is_unlocked();
      if (ad.battery()) battery = ad.battery();
      version = ad.lock_version();
    } else if (ad.kind() == AdvertisementKind::Stateless) {
      version = ad.lock_version();
    }
    heard(now);
  }

  void started(Actuation a) {
    if (state == State::Settled) last_unlocked = unlocked;
    if (state == State::Unobserved) last_unlocked.reset();
    state = State::InFlight;
    action = a;
  }

  void acknowledged(std::uint64_t now, Actuation a) {
    state = State::Settled;
    unlocked = a == Actuation::Unlock;
    heard(now);
  }

  void in_flight_ends() {
    if (state == State::InFlight) {
      state = last_unlocked ? State::Settled : State::Unobserved;
      if (last_unlocked) unlocked = *last_unlocked;
    }
  }

  void unavailable() {
    available = false;
    in_flight_ends();
  }

  void status(std::uint64_t now, std::optional<bool> answered_unlocked) {
    if (answered_unlocked) {
      state = State::Settled;
      unlocked = *answered_unlocked;
    } else {
      in_flight_ends();
    }
    heard(now);
  }

  void credit(std::uint64_t blind) {
    if (last_heard) last_heard = blind > kMaxTime - *last_heard ? kMaxTime : *last_heard + blind;
  }

  void poll(std::uint64_t now, std::uint64_t offline_after) {
    if (last_heard) {
      const std::uint64_t elapsed = now > *last_heard ? now - *last_heard : 0;
      if (elapsed < offline_after) return;
    }
    unavailable();
  }
};

std::uint64_t time_value(Reader& in) {
  switch (in.byte() % 4) {
    case 0: return in.number(2);
    case 1: return in.number(8);
    case 2: return kMaxTime - in.byte();
    default: return in.byte();
  }
}

Actuation action(Reader& in) { return in.flag() ? Actuation::Unlock : Actuation::Lock; }

LockVersion version(Reader& in) {
  LockVersion v;
  v.protocol_type = in.byte();
  v.protocol_version = in.byte();
  v.scene = in.byte();
  return v;
}

Advertisement advertisement(Reader& in) {
  AddressText address{};
  address.fill('A');
  switch (in.byte() % 5) {
    case 0: {
      const std::uint8_t flags = in.byte();
      const std::uint8_t battery = in.byte();
      return Advertisement::stateful(
          address, version(in), {(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0}, battery);
    }
    case 1: return Advertisement::stateless(address, version(in));
    case 2: return Advertisement::dfu();
    case 3: return Advertisement{};
    default: return parse_payload(in.sized_bytes());
  }
}

// A status text as a driver may pass it on: a known answer, an unknown
// state byte, or any bytes at all.
std::string status_text(Reader& in) {
  switch (in.byte() % 4) {
    case 0: return "LOCKED";
    case 1: return "UNLOCKED";
    case 2: return "UNKNOWN:" + std::to_string(in.byte());
    default: return std::string(as_text(in.sized_bytes()));
  }
}

void check_action_text(std::string_view text) {
  const std::optional<Actuation> parsed = tracker::parse_actuation(text);
  FUZZ_REQUIRE(parsed.has_value() == (text == "lock" || text == "unlock"));
  if (parsed) {
    FUZZ_REQUIRE(tracker::actuation_text(*parsed) == text);
    return;
  }
  std::string quoted;
  append_debug_quoted(quoted, text);
  FUZZ_REQUIRE(quoted.size() >= text.size() + 2 && quoted.front() == '"' && quoted.back() == '"');
  for (const char c : quoted) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_REQUIRE(byte >= 0x20 && byte != 0x7f);  // control characters are escaped
  }
}

}  // namespace
}  // namespace quovel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quovel;
  using namespace quovel::fuzz;
  Reader in(data, size);
  LockTracker tracker;
  Model model;
  FUZZ_REQUIRE(observe(tracker) == model.observed());

  while (!in.empty()) {
    const Observed before = observe(tracker);
    std::optional<ChangeSet> changes;
    switch (in.byte() % 11) {
      case 0:
      case 1: {
        const std::uint64_t now = time_value(in);
        const Advertisement ad = advertisement(in);
        changes = tracker.on_advertisement(now, ad);
        model.advertisement(now, ad);
        FUZZ_REQUIRE(tracker.available());
        break;
      }
      case 2: {
        const Actuation a = action(in);
        changes = tracker.on_command_started(a);
        model.started(a);
        break;
      }
      case 3: {
        const std::uint64_t now = time_value(in);
        const Actuation a = action(in);
        changes = tracker.on_command_acknowledged(now, a);
        model.acknowledged(now, a);
        FUZZ_REQUIRE(tracker.available());
        break;
      }
      case 4:
        changes = tracker.on_command_failed();
        FUZZ_REQUIRE(changes->empty());
        break;
      case 5: {
        const std::uint64_t blind = time_value(in);
        tracker.credit_blind_time(blind);
        model.credit(blind);
        break;
      }
      case 6: {
        const std::uint64_t now = time_value(in);
        const std::uint64_t offline_after = in.flag() ? 0 : time_value(in);
        changes = tracker.poll_availability(now, offline_after);
        model.poll(now, offline_after);
        if (offline_after == 0) FUZZ_REQUIRE(!tracker.available());
        break;
      }
      case 7:
        changes = tracker.on_unavailable();
        model.unavailable();
        FUZZ_REQUIRE(!changes->battery);
        break;
      case 9: {
        const std::uint64_t now = time_value(in);
        const std::string text = status_text(in);
        const std::optional<tracker::BoltPosition> position = tracker::parse_status(text);
        FUZZ_REQUIRE(position.has_value() == (text == "LOCKED" || text == "UNLOCKED"));
        changes = tracker.on_status(now, position);
        model.status(now, position ? std::optional<bool>(text == "UNLOCKED") : std::nullopt);
        FUZZ_REQUIRE(tracker.available() && !changes->battery);
        break;
      }
      case 10:
        changes = tracker.on_status_failed();
        model.in_flight_ends();
        FUZZ_REQUIRE(!changes->available && !changes->battery);
        break;
      default:  // 8
        check_action_text(as_text(in.sized_bytes()));
        break;
    }
    const Observed after = observe(tracker);
    FUZZ_REQUIRE(after == model.observed());
    if (changes) {
      FUZZ_REQUIRE(*changes == compare(before, after));
    } else {
      // Only credited blind time may move, and it is never reported.
      Observed unmoved = after;
      unmoved.last_heard = before.last_heard;
      FUZZ_REQUIRE(unmoved == before);
    }
    const bool moving = after.reported == "LOCKING" || after.reported == "UNLOCKING";
    FUZZ_REQUIRE(after.pending.has_value() == moving);
  }
  return 0;
}
