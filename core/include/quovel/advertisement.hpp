// Decoding of one manufacturer-data advertisement. Total: every byte string
// yields an Advertisement, and facts a payload cannot carry read as absent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "quovel/bytes.hpp"
#include "quovel/version.hpp"

namespace quovel {

enum class AdvertisementKind : std::uint8_t { Unrecognized, Dfu, Stateless, Stateful };

// "unrecognized", "dfu", "stateless" or "stateful" (static text).
const char* kind_text(AdvertisementKind kind);

// "FF:EE:DD:CC:BB:AA": six upper-case hex pairs, no terminator.
inline constexpr std::size_t kAddressLength = 17;
using AddressText = std::array<char, kAddressLength>;

struct StateFlags {
  bool is_unlocked = false;
  bool has_events = false;
  bool is_setting_mode = false;

  friend constexpr bool operator==(const StateFlags&, const StateFlags&) = default;
};

// An immutable decoded entry. Fields the kind does not carry are held at
// their defaults, so equality compares what is observable.
class Advertisement {
 public:
  Advertisement() = default;  // kind Unrecognized

  static Advertisement dfu();
  static Advertisement stateless(const AddressText& address, const LockVersion& version);
  // A battery above 100 is stored as absent.
  static Advertisement stateful(const AddressText& address, const LockVersion& version,
                                StateFlags flags, std::optional<std::uint8_t> battery);

  // Inline, as the tracker and the selection read them for every
  // advertisement heard. Views into this object: valid as long as it lives.
  AdvertisementKind kind() const { return kind_; }
  std::optional<std::string_view> address() const {
    if (!carries_address()) return std::nullopt;
    return std::string_view{address_.data(), address_.size()};
  }
  std::optional<LockVersion> lock_version() const {
    if (!carries_address()) return std::nullopt;
    return version_;
  }
  std::optional<bool> is_unlocked() const {
    if (!carries_state()) return std::nullopt;
    return flags_.is_unlocked;
  }
  std::optional<bool> has_events() const {
    if (!carries_state()) return std::nullopt;
    return flags_.has_events;
  }
  std::optional<bool> is_setting_mode() const {
    if (!carries_state()) return std::nullopt;
    return flags_.is_setting_mode;
  }
  // A percentage from 0 to 100, absent when the payload carried none.
  std::optional<std::uint8_t> battery() const {
    if (!carries_state()) return std::nullopt;
    return battery_;
  }

  friend bool operator==(const Advertisement&, const Advertisement&) = default;

 private:
  bool carries_address() const {
    return kind_ == AdvertisementKind::Stateless || kind_ == AdvertisementKind::Stateful;
  }
  bool carries_state() const { return kind_ == AdvertisementKind::Stateful; }

  AdvertisementKind kind_ = AdvertisementKind::Unrecognized;
  AddressText address_{};
  LockVersion version_{};
  StateFlags flags_{};
  std::optional<std::uint8_t> battery_;
};

// Decodes what the lock broadcast: company identifier low byte, high byte,
// then the manufacturer-specific data.
Advertisement parse_payload(ByteView full_payload);

// Same decoding for an entry delivered as identifier and data, without
// building the full payload.
Advertisement parse_manufacturer_data(std::uint16_t company_id, ByteView data);

}  // namespace quovel
