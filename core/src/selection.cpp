#include "quovel/selection.hpp"

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"

namespace quovel {
namespace {

constexpr char upper_ascii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Decoded addresses are upper-case hex digits and colons, so an address
// equals the expected one after folding ASCII letters exactly when it equals
// the expected one folded to upper case: folded once, each entry then costs
// one short compare.
std::optional<AddressText> expected_as_decoded(std::optional<std::string_view> expected) {
  if (!expected || expected->size() != kAddressLength) return std::nullopt;
  AddressText folded{};
  std::transform(expected->begin(), expected->end(), folded.begin(), upper_ascii);
  return folded;
}

bool matches(const Advertisement& ad, const std::optional<AddressText>& expected) {
  const std::optional<std::string_view> address = ad.address();
  return expected && address &&
         std::equal(address->begin(), address->end(), expected->begin(), expected->end());
}

std::uint8_t kind_score(AdvertisementKind kind) {
  switch (kind) {
    case AdvertisementKind::Dfu: return 1;
    case AdvertisementKind::Stateless: return 2;
    case AdvertisementKind::Stateful: return 4;
    case AdvertisementKind::Unrecognized: break;
  }
  return 0;
}

std::uint8_t entry_score(const Advertisement& ad, const std::optional<AddressText>& expected) {
  return static_cast<std::uint8_t>(kind_score(ad.kind()) + (matches(ad, expected) ? 1 : 0));
}

}  // namespace

void ManufacturerEntries::reserve(std::size_t size) {
  if (size <= kInline) return;
  spill();
  spilled_.reserve(size);
}

void ManufacturerEntries::spill() {
  if (!spilled_.empty()) return;
  spilled_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
  size_ = 0;
}

void ManufacturerEntries::put(std::uint16_t company_id, ByteView data) {
  if (ManufacturerEntry* earlier = find(company_id)) {
    earlier->data = data;
  } else if (spilled_.empty() && size_ < kInline) {
    inline_[size_++] = {company_id, data};
  } else {
    spill();
    spilled_.push_back({company_id, data});
  }
}

// A scan for the few entries a device carries; a bit per identifier once
// the map grows large.
ManufacturerEntry* ManufacturerEntries::find(std::uint16_t company_id) {
  constexpr std::size_t kScanLimit = 16;
  const std::span<const ManufacturerEntry> held = entries();
  if (held.size() == kScanLimit && !seen_) {
    seen_ = std::make_unique<std::bitset<65536>>();
    for (const auto& entry : held) seen_->set(entry.company_id);
  }
  if (seen_ && !seen_->test(company_id)) {
    seen_->set(company_id);
    return nullptr;
  }
  const auto same = [&](const ManufacturerEntry& entry) { return entry.company_id == company_id; };
  const std::span<ManufacturerEntry> all = spilled_.empty()
                                               ? std::span<ManufacturerEntry>(inline_).first(size_)
                                               : std::span<ManufacturerEntry>(spilled_);
  const auto found = std::find_if(all.begin(), all.end(), same);
  return found == all.end() ? nullptr : &*found;
}

bool address_matches(const Advertisement& ad, std::optional<std::string_view> expected) {
  return matches(ad, expected_as_decoded(expected));
}

std::uint8_t selection_score(const Advertisement& ad, std::optional<std::string_view> expected) {
  return entry_score(ad, expected_as_decoded(expected));
}

namespace {

template <typename Entries>
Advertisement select_best(const Entries& entries,
                          std::optional<std::string_view> expected_address) {
  struct Best {
    std::uint16_t company_id;
    std::uint8_t score;
    Advertisement ad;
  };
  const std::optional<AddressText> expected = expected_as_decoded(expected_address);
  std::optional<Best> best;
  for (const auto& [company_id, data] : entries) {
    Advertisement ad = parse_manufacturer_data(company_id, data);
    const std::uint8_t score = entry_score(ad, expected);
    const bool wins =
        !best || score > best->score || (score == best->score && company_id < best->company_id);
    if (wins) best = Best{company_id, score, ad};
  }
  return best ? best->ad : Advertisement{};
}

}  // namespace

Advertisement select_advertisement(const ManufacturerData& entries,
                                   std::optional<std::string_view> expected_address) {
  return select_best(entries, expected_address);
}

Advertisement select_advertisement(std::span<const ManufacturerEntry> entries,
                                   std::optional<std::string_view> expected_address) {
  return select_best(entries, expected_address);
}

}  // namespace quovel
