#include "quovel/tracker.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace quovel::tracker {
namespace {

using namespace std::string_literals;

static_assert(std::is_trivially_copyable_v<LockTracker>);

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const AddressText kAddress{'F', 'F', ':', 'E', 'E', ':', 'D', 'D', ':',
                           'C', 'C', ':', 'B', 'B', ':', 'A', 'A'};
constexpr LockVersion kStatefulVersion{5, 3, 2, 1, 1};
constexpr LockVersion kStatelessVersion{3, 1, 7, 1, 1};

Advertisement stateful(bool unlocked, std::optional<std::uint8_t> battery) {
  return Advertisement::stateful(kAddress, kStatefulVersion, {unlocked, false, false}, battery);
}
Advertisement stateless() { return Advertisement::stateless(kAddress, kStatelessVersion); }

constexpr ChangeSet kNone{};
constexpr ChangeSet kState{.state = true};
constexpr ChangeSet kAvailable{.available = true};
constexpr ChangeSet kStateAvailable{.state = true, .available = true};
constexpr ChangeSet kAll{.state = true, .available = true, .battery = true};

std::string describe(const ChangeSet& c) {
  return std::string("{") + (c.state ? "state " : "") + (c.available ? "available " : "") +
         (c.battery ? "battery" : "") + "}";
}

enum class Start : std::uint8_t {
  Unobserved,
  SettledLocked,
  UnlockingFromLocked,
  LockingUnobserved
};
enum class Event : std::uint8_t {
  AdLocked,
  AdUnlocked,
  AdStateless,
  AdDfu,
  StartLock,
  StartUnlock,
  AckLock,
  AckUnlock,
  Failed,
  Unavailable,
  PollExpires,
  StatusLocked,
  StatusUnlocked,
  StatusUnknown,
  StatusFailed,
};

// Advertisements and acknowledgements at 100 carry battery 80.
LockTracker make(Start start) {
  LockTracker t;
  switch (start) {
    case Start::Unobserved: break;
    case Start::SettledLocked: t.on_advertisement(100, stateful(false, 80)); break;
    case Start::UnlockingFromLocked:
      t.on_advertisement(100, stateful(false, 80));
      t.on_command_started(Actuation::Unlock);
      break;
    case Start::LockingUnobserved: t.on_command_started(Actuation::Lock); break;
  }
  return t;
}

ChangeSet apply(LockTracker& t, Event event) {
  switch (event) {
    case Event::AdLocked: return t.on_advertisement(200, stateful(false, 80));
    case Event::AdUnlocked: return t.on_advertisement(200, stateful(true, 80));
    case Event::AdStateless: return t.on_advertisement(200, stateless());
    case Event::AdDfu: return t.on_advertisement(200, Advertisement::dfu());
    case Event::StartLock: return t.on_command_started(Actuation::Lock);
    case Event::StartUnlock: return t.on_command_started(Actuation::Unlock);
    case Event::AckLock: return t.on_command_acknowledged(200, Actuation::Lock);
    case Event::AckUnlock: return t.on_command_acknowledged(200, Actuation::Unlock);
    case Event::Failed: return t.on_command_failed();
    case Event::Unavailable: return t.on_unavailable();
    case Event::PollExpires: return t.poll_availability(100'000, 1000);
    case Event::StatusLocked: return t.on_status(200, BoltPosition::Locked);
    case Event::StatusUnlocked: return t.on_status(200, BoltPosition::Unlocked);
    case Event::StatusUnknown: return t.on_status(200, std::nullopt);
    case Event::StatusFailed: return t.on_status_failed();
  }
  return {};
}

constexpr auto kLocked = BoltPosition::Locked;
constexpr auto kUnlocked = BoltPosition::Unlocked;

struct Transition {
  Start start;
  Event event;
  TrackerState after;
  ChangeSet changes;
};

TEST(LockTrackerTest, TransitionsAndTheirChangeSets) {
  const Transition table[] = {
      {Start::Unobserved, Event::AdUnlocked, Settled{kUnlocked}, kAll},
      {Start::Unobserved, Event::AdStateless, Unobserved{}, kAvailable},
      {Start::Unobserved, Event::AdDfu, Unobserved{}, kAvailable},
      {Start::Unobserved, Event::StartLock, InFlight{Actuation::Lock, std::nullopt}, kState},
      {Start::Unobserved, Event::AckUnlock, Settled{kUnlocked}, kStateAvailable},
      {Start::Unobserved, Event::Failed, Unobserved{}, kNone},
      {Start::Unobserved, Event::Unavailable, Unobserved{}, kNone},
      {Start::Unobserved, Event::PollExpires, Unobserved{}, kNone},
      {Start::Unobserved, Event::StatusLocked, Settled{kLocked}, kStateAvailable},
      {Start::Unobserved, Event::StatusUnknown, Unobserved{}, kAvailable},
      {Start::Unobserved, Event::StatusFailed, Unobserved{}, kNone},

      {Start::SettledLocked, Event::AdLocked, Settled{kLocked}, kNone},
      {Start::SettledLocked, Event::AdUnlocked, Settled{kUnlocked}, kState},
      {Start::SettledLocked, Event::AdStateless, Settled{kLocked}, kNone},
      {Start::SettledLocked, Event::StartUnlock, InFlight{Actuation::Unlock, kLocked}, kState},
      {Start::SettledLocked, Event::AckLock, Settled{kLocked}, kNone},
      {Start::SettledLocked, Event::AckUnlock, Settled{kUnlocked}, kState},
      {Start::SettledLocked, Event::Failed, Settled{kLocked}, kNone},
      {Start::SettledLocked, Event::Unavailable, Settled{kLocked}, kAvailable},
      {Start::SettledLocked, Event::PollExpires, Settled{kLocked}, kAvailable},
      {Start::SettledLocked, Event::StatusLocked, Settled{kLocked}, kNone},
      {Start::SettledLocked, Event::StatusUnlocked, Settled{kUnlocked}, kState},
      {Start::SettledLocked, Event::StatusUnknown, Settled{kLocked}, kNone},
      {Start::SettledLocked, Event::StatusFailed, Settled{kLocked}, kNone},

      {Start::UnlockingFromLocked, Event::AdLocked, Settled{kLocked}, kState},
      {Start::UnlockingFromLocked, Event::AdUnlocked, Settled{kUnlocked}, kState},
      {Start::UnlockingFromLocked, Event::AdDfu, InFlight{Actuation::Unlock, kLocked}, kNone},
      {Start::UnlockingFromLocked, Event::StartUnlock, InFlight{Actuation::Unlock, kLocked}, kNone},
      {Start::UnlockingFromLocked, Event::StartLock, InFlight{Actuation::Lock, kLocked}, kState},
      {Start::UnlockingFromLocked, Event::AckLock, Settled{kLocked}, kState},
      {Start::UnlockingFromLocked, Event::AckUnlock, Settled{kUnlocked}, kState},
      {Start::UnlockingFromLocked, Event::Failed, InFlight{Actuation::Unlock, kLocked}, kNone},
      {Start::UnlockingFromLocked, Event::Unavailable, Settled{kLocked}, kStateAvailable},
      {Start::UnlockingFromLocked, Event::PollExpires, Settled{kLocked}, kStateAvailable},
      // A status answer ends a failed command, whatever the answer.
      {Start::UnlockingFromLocked, Event::StatusLocked, Settled{kLocked}, kState},
      {Start::UnlockingFromLocked, Event::StatusUnlocked, Settled{kUnlocked}, kState},
      {Start::UnlockingFromLocked, Event::StatusUnknown, Settled{kLocked}, kState},
      {Start::UnlockingFromLocked, Event::StatusFailed, Settled{kLocked}, kState},

      {Start::LockingUnobserved, Event::AdLocked, Settled{kLocked}, kAll},
      {Start::LockingUnobserved, Event::AdStateless, InFlight{Actuation::Lock, std::nullopt},
       kAvailable},
      {Start::LockingUnobserved, Event::StartUnlock, InFlight{Actuation::Unlock, std::nullopt},
       kState},
      {Start::LockingUnobserved, Event::AckUnlock, Settled{kUnlocked}, kStateAvailable},
      {Start::LockingUnobserved, Event::Failed, InFlight{Actuation::Lock, std::nullopt}, kNone},
      {Start::LockingUnobserved, Event::Unavailable, Unobserved{}, kState},
      {Start::LockingUnobserved, Event::PollExpires, Unobserved{}, kState},
      {Start::LockingUnobserved, Event::StatusUnlocked, Settled{kUnlocked}, kStateAvailable},
      {Start::LockingUnobserved, Event::StatusUnknown, Unobserved{}, kStateAvailable},
      {Start::LockingUnobserved, Event::StatusFailed, Unobserved{}, kState},
  };
  for (const Transition& row : table) {
    SCOPED_TRACE("start " + std::to_string(static_cast<int>(row.start)) + ", event " +
                 std::to_string(static_cast<int>(row.event)));
    LockTracker t = make(row.start);
    const ChangeSet changes = apply(t, row.event);
    EXPECT_TRUE(t.state() == row.after);
    EXPECT_EQ(changes, row.changes) << describe(changes);
  }
}

TEST(LockTrackerTest, QueriesFollowTheState) {
  struct Case {
    Start start;
    std::optional<std::string> reported, pending;
    std::optional<bool> is_locked;
  };
  const Case cases[] = {
      {Start::Unobserved, std::nullopt, std::nullopt, std::nullopt},
      {Start::SettledLocked, "LOCKED", std::nullopt, true},
      {Start::UnlockingFromLocked, "UNLOCKING", "unlock", true},
      {Start::LockingUnobserved, "LOCKING", "lock", std::nullopt},
  };
  const auto text = [](std::optional<const char*> s) {
    return s ? std::optional<std::string>(*s) : std::nullopt;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.start));
    const LockTracker t = make(c.start);
    EXPECT_EQ(text(t.reported_state()), c.reported);
    EXPECT_EQ(text(t.pending()), c.pending);
    EXPECT_EQ(t.is_locked(), c.is_locked);
  }
  LockTracker t;
  t.on_command_acknowledged(5, Actuation::Unlock);
  EXPECT_STREQ(t.reported_state().value(), "UNLOCKED");
  EXPECT_EQ(t.is_locked(), false);
  t.on_command_started(Actuation::Lock);
  EXPECT_EQ(t.is_locked(), false);  // the carried position, not the action's
}

TEST(LockTrackerTest, BatteryAndVersionComeOnlyFromAdvertisementsThatCarryThem) {
  LockTracker t;
  EXPECT_EQ(t.battery(), std::nullopt);
  EXPECT_EQ(t.lock_version(), std::nullopt);
  t.on_advertisement(1, Advertisement::dfu());
  EXPECT_EQ(t.lock_version(), std::nullopt);
  EXPECT_EQ(t.on_advertisement(2, stateless()), kNone);  // a new version is not reported
  EXPECT_EQ(t.lock_version(), kStatelessVersion);
  EXPECT_EQ(t.battery(), std::nullopt);

  EXPECT_EQ(t.on_advertisement(3, stateful(false, 80)),
            (ChangeSet{.state = true, .battery = true}));
  EXPECT_EQ(t.lock_version(), kStatefulVersion);
  EXPECT_EQ(t.on_advertisement(4, stateful(false, std::nullopt)), kNone);
  EXPECT_EQ(t.battery(), 80);
  EXPECT_EQ(t.on_advertisement(5, stateful(false, 0)), ChangeSet{.battery = true});
  EXPECT_EQ(t.battery(), 0);
  t.on_unavailable();
  EXPECT_EQ(t.battery(), 0);
  EXPECT_EQ(t.lock_version(), kStatefulVersion);
}

TEST(LockTrackerTest, ExpiryCountsElapsedTimeWithSaturation) {
  struct Case {
    const char* name;
    std::uint64_t heard_at, credit, now, limit;
    bool expires;
  };
  const Case cases[] = {
      {"elapsed below limit", 600, 0, 1000, 500, false},
      {"elapsed equals limit", 600, 0, 1100, 500, true},
      {"clock behind last heard", 600, 0, 500, 500, false},
      {"clock behind, limit 0", 600, 0, 500, 0, true},
      {"limit 0 at the same time", 600, 0, 600, 0, true},
      {"blind time credited", 600, 300, 1100, 500, false},
      {"credit saturates", 600, kMax, kMax, 1, false},
      {"heard at the end of time", kMax, kMax, kMax, 1, false},
      {"longest possible silence", 0, 0, kMax, kMax, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LockTracker t;
    t.on_advertisement(c.heard_at, Advertisement{});
    t.credit_blind_time(c.credit);
    EXPECT_EQ(t.poll_availability(c.now, c.limit), c.expires ? kAvailable : kNone);
    EXPECT_EQ(t.available(), !c.expires);
  }
}

TEST(LockTrackerTest, LastHeardFollowsEvidenceOnly) {
  LockTracker t;
  t.credit_blind_time(300);
  EXPECT_EQ(t.last_heard_ms(), std::nullopt);
  EXPECT_EQ(t.poll_availability(0, kMax), kNone);  // never heard: expires, nothing to change

  t.on_advertisement(600, Advertisement{});
  t.credit_blind_time(kMax);
  EXPECT_EQ(t.last_heard_ms(), kMax);
  t.on_advertisement(50, Advertisement{});  // an earlier time is taken as given
  EXPECT_EQ(t.last_heard_ms(), 50u);
  t.on_command_acknowledged(70, Actuation::Lock);
  EXPECT_EQ(t.last_heard_ms(), 70u);
  t.on_command_started(Actuation::Unlock);
  t.on_unavailable();
  EXPECT_EQ(t.last_heard_ms(), 70u);
}

TEST(LockTrackerTest, StatusAnswersCountAsHeardAndFailuresDoNot) {
  LockTracker t = make(Start::UnlockingFromLocked);  // heard at 100, battery 80
  t.on_unavailable();
  t.on_command_started(Actuation::Lock);
  EXPECT_EQ(t.on_status_failed(), kState);
  EXPECT_EQ(t.last_heard_ms(), 100u);
  EXPECT_FALSE(t.available());

  EXPECT_EQ(t.on_status(50, BoltPosition::Unlocked), kStateAvailable);
  EXPECT_EQ(t.last_heard_ms(), 50u);  // an earlier time is taken as given
  EXPECT_EQ(t.on_status(kMax, std::nullopt), kNone);
  EXPECT_EQ(t.last_heard_ms(), kMax);
  EXPECT_EQ(t.battery(), 80);
  EXPECT_EQ(t.lock_version(), kStatefulVersion);
}

TEST(StatusTest, OnlyTheTwoPositionsNameOne) {
  EXPECT_EQ(parse_status("LOCKED"), BoltPosition::Locked);
  EXPECT_EQ(parse_status("UNLOCKED"), BoltPosition::Unlocked);
  for (const std::string& text :
       {"UNKNOWN:2"s, "UNKNOWN:0"s, "locked"s, " LOCKED"s, "LOCKED\0"s, ""s, "LOCKING"s}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_status(text), std::nullopt);
  }
}

TEST(ActuationTest, ParsesOnlyTheExactTexts) {
  EXPECT_EQ(parse_actuation("lock"), Actuation::Lock);
  EXPECT_EQ(parse_actuation("unlock"), Actuation::Unlock);
  for (const std::string& text :
       {"Lock"s, " lock"s, "lock "s, "UNLOCK"s, ""s, "open"s, "lock\0"s}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_actuation(text), std::nullopt);
  }
  EXPECT_STREQ(actuation_text(Actuation::Lock), "lock");
  EXPECT_STREQ(actuation_text(Actuation::Unlock), "unlock");
}

}  // namespace
}  // namespace quovel::tracker
