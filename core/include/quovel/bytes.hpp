// Byte buffers shared by every subject of the core.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quovel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// At most N bytes held inside the object, for results that are small and
// bounded: making one never touches the heap. Copies copy only the bytes held.
template <std::size_t N>
class InlineBytes {
 public:
  using value_type = std::uint8_t;
  using iterator = const std::uint8_t*;
  using const_iterator = const std::uint8_t*;

  InlineBytes() = default;
  InlineBytes(const InlineBytes& other) : size_(other.size_) {
    std::copy_n(other.bytes_.begin(), size_, bytes_.begin());
  }
  InlineBytes& operator=(const InlineBytes& other) {
    size_ = other.size_;
    std::copy_n(other.bytes_.begin(), size_, bytes_.begin());
    return *this;
  }
  ~InlineBytes() = default;

  static constexpr std::size_t capacity() { return N; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Grows or shrinks within the capacity; new bytes are unspecified.
  void resize(std::size_t size) {
    assert(size <= N);
    size_ = std::min(size, N);
  }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  const std::uint8_t* begin() const { return bytes_.data(); }
  const std::uint8_t* end() const { return bytes_.data() + size_; }
  std::uint8_t operator[](std::size_t index) const { return bytes_[index]; }

  std::span<std::uint8_t> writable() { return std::span(bytes_).first(size_); }
  ByteView view() const { return ByteView(bytes_).first(size_); }
  operator ByteView() const { return view(); }  // NOLINT(google-explicit-constructor)

  friend bool operator==(const InlineBytes& a, ByteView b) {
    return std::ranges::equal(a.view(), b);
  }
  friend bool operator==(const InlineBytes& a, const InlineBytes& b) { return a == b.view(); }

 private:
  std::array<std::uint8_t, N> bytes_;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  std::size_t size_ = 0;
};

// Big-endian (most significant byte first) unsigned fields, as the lock
// writes every multi-byte number. `bytes` holds at least sizeof(T) bytes.
template <std::unsigned_integral T>
constexpr T load_big_endian(ByteView bytes) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>(value << 8U | bytes[i]);
  return value;
}

template <std::unsigned_integral T>
constexpr void store_big_endian(std::span<std::uint8_t, sizeof(T)> out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
  }
}

}  // namespace quovel
