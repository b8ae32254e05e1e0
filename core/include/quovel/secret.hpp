// Key material in memory: one owner type that wipes what it holds, in a way
// the optimiser may not remove, when it goes and when it is moved from.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "quovel/bytes.hpp"

namespace quovel {

// Overwrites `bytes` with zeros; the one place the core and the binding wipe.
void wipe(std::span<std::uint8_t> bytes) noexcept;

// Holds a secret value: a fixed-size one (an array, an integer) or a byte
// buffer (Bytes, std::string). Copies are independent secrets, each wiped on
// its own; a moved-from secret holds nothing that was secret.
template <typename T>
class Secret {
  static constexpr bool kFixed = std::is_trivially_copyable_v<T>;
  static_assert(kFixed || std::is_same_v<T, Bytes> || std::is_same_v<T, std::string>);

 public:
  Secret() = default;
  explicit Secret(T value) noexcept { adopt(value); }
  Secret(const Secret&) = default;
  Secret& operator=(const Secret& other) {
    if (this != &other) {
      clear(value_);
      value_ = other.value_;
    }
    return *this;
  }
  Secret(Secret&& other) noexcept { adopt(other.value_); }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      clear(value_);
      adopt(other.value_);
    }
    return *this;
  }
  ~Secret() { clear(value_); }

  T& value() noexcept { return value_; }
  const T& value() const noexcept { return value_; }

 private:
  static void clear(T& value) noexcept {
    if constexpr (kFixed) {
      // A moved-from or unused secret is zeros already: skip the wipe,
      // which the optimiser can never remove, for the many key moves.
      const auto bytes = std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value);
      if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte == 0; })) {
        return;
      }
      wipe(bytes);
    } else {
      wipe(std::span(reinterpret_cast<std::uint8_t*>(value.data()), value.size()));
      value.clear();
    }
  }

  // Takes `source` over (this holds nothing) and leaves it wiped. A short
  // std::string lives inside the object, where a move would copy it and
  // leave the original behind, so it is copied and wiped instead; a heap
  // buffer just changes owner.
  void adopt(T& source) noexcept {
    if constexpr (kFixed) {
      value_ = source;
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (source.capacity() <= std::string().capacity()) {
        value_.assign(source);
      } else {
        value_.swap(source);
      }
    } else {
      value_.swap(source);
    }
    clear(source);
  }

  T value_{};
};

}  // namespace quovel
