// Choosing the most informative entry of a whole manufacturer-data map, so
// that a stale entry the Bluetooth stack kept never hides the live one.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"

namespace quovel {

// Company identifier to the data that follows it, in the caller's order.
// Identifiers are unique, as in the map this is converted from.
using ManufacturerData = std::vector<std::pair<std::uint16_t, Bytes>>;

// The same entries as views, for callers that already hold the bytes.
struct ManufacturerEntry {
  std::uint16_t company_id;
  ByteView data;
};

// Builds the entries of a map whose keys were converted to identifiers:
// distinct keys may name one identifier, and then, as in a map, the later
// entry replaces the earlier, so identifiers stay unique. Linear in the
// number of entries even for a (hostile) map of thousands. The few entries
// a device carries are held inline; only a larger map allocates.
class ManufacturerEntries {
 public:
  static constexpr std::size_t kInline = 8;

  void reserve(std::size_t size);
  void put(std::uint16_t company_id, ByteView data);
  std::span<const ManufacturerEntry> entries() const {
    return spilled_.empty() ? std::span<const ManufacturerEntry>(inline_).first(size_)
                            : std::span<const ManufacturerEntry>(spilled_);
  }

 private:
  ManufacturerEntry* find(std::uint16_t company_id);
  void spill();

  std::array<ManufacturerEntry, kInline> inline_{};
  std::size_t size_ = 0;                      // of inline_, while nothing is spilled
  std::vector<ManufacturerEntry> spilled_;    // every entry, once there are more
  std::unique_ptr<std::bitset<65536>> seen_;  // identifiers so far, for large maps
};

// True when the advertisement carries an address equal to `expected` after
// folding ASCII letters only; no trimming, same byte length required.
bool address_matches(const Advertisement& ad, std::optional<std::string_view> expected);

// 0 unrecognized, 1 dfu, 2 stateless, 4 stateful; plus 1 for a matching address.
std::uint8_t selection_score(const Advertisement& ad, std::optional<std::string_view> expected);

// The highest score wins, equal scores go to the lowest identifier, so the
// result never depends on the order of `entries`. Empty: kind Unrecognized.
Advertisement select_advertisement(const ManufacturerData& entries,
                                   std::optional<std::string_view> expected_address);
Advertisement select_advertisement(std::span<const ManufacturerEntry> entries,
                                   std::optional<std::string_view> expected_address);

}  // namespace quovel
