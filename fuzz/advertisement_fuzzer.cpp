// Manufacturer data as heard over the air. Every payload is decoded against
// a literal model of the layouts; parse_payload and parse_manufacturer_data
// must agree; and selecting over a random map must give the entry with the
// highest score and lowest identifier, whatever the order of the map.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"
#include "quovel/hex.hpp"
#include "quovel/selection.hpp"
#include "quovel/version.hpp"

namespace quovel::fuzz {
namespace {

struct ModelAdvertisement {
  std::string kind = "unrecognized";
  std::optional<std::string> address;
  std::optional<LockVersion> version;
  std::optional<bool> is_unlocked;
  std::optional<bool> has_events;
  std::optional<bool> is_setting_mode;
  std::optional<std::uint8_t> battery;
};

ModelAdvertisement model_parse(const Bytes& p) {
  ModelAdvertisement ad;
  const std::size_t n = p.size();
  if (n < 15) return ad;
  if ((p[0] == 0x12 && p[1] == 0x19) || (p[0] == 0xff && p[1] == 0xff)) {
    ad.kind = "dfu";
    return ad;
  }
  const bool direct = p[0] == 0x05 && p[1] == 0x03;
  LockVersion version;
  version.protocol_type = direct ? 5 : p[4];
  version.protocol_version = direct ? 3 : p[5];
  version.scene = direct ? p[2] : p[7];
  version.group_id = 1;
  version.org_id = 1;
  const std::size_t state_at = direct ? 3 : 8;

  std::string address;
  for (std::size_t i = 1; i <= 6; ++i) {
    if (!address.empty()) address += ':';
    quovel::append_hex_byte(address, p[n - i], quovel::HexCase::Upper);
  }
  ad.address = address;
  ad.version = version;
  if (version.protocol_type < 5 || (version.protocol_type == 5 && version.protocol_version == 1)) {
    ad.kind = "stateless";
    return ad;
  }
  ad.kind = "stateful";
  const std::uint8_t flags = p[state_at];
  ad.is_unlocked = (flags & 1) != 0;
  ad.has_events = (flags & 2) != 0;
  ad.is_setting_mode = (flags & 4) != 0;
  if (p[state_at + 1] <= 100) ad.battery = p[state_at + 1];
  return ad;
}

Bytes full_payload(std::uint16_t id, ByteView data) {
  Bytes payload{static_cast<std::uint8_t>(id & 0xff), static_cast<std::uint8_t>(id >> 8)};
  payload.insert(payload.end(), data.begin(), data.end());
  return payload;
}

void check_against_model(const Advertisement& ad, const ModelAdvertisement& model) {
  FUZZ_REQUIRE(kind_text(ad.kind()) == model.kind);
  FUZZ_REQUIRE(ad.address().has_value() == model.address.has_value());
  if (model.address) FUZZ_REQUIRE(*ad.address() == *model.address);
  FUZZ_REQUIRE(ad.lock_version() == model.version);
  FUZZ_REQUIRE(ad.is_unlocked() == model.is_unlocked);
  FUZZ_REQUIRE(ad.has_events() == model.has_events);
  FUZZ_REQUIRE(ad.is_setting_mode() == model.is_setting_mode);
  FUZZ_REQUIRE(ad.battery() == model.battery);
}

void check_payload(ByteView payload) {
  const Advertisement ad = parse_payload(payload);
  check_against_model(ad, model_parse(Bytes(payload.begin(), payload.end())));
  if (payload.size() >= 2) {
    const auto id = static_cast<std::uint16_t>(payload[0] | payload[1] << 8);
    FUZZ_REQUIRE(parse_manufacturer_data(id, payload.subspan(2)) == ad);
  }
}

bool model_matches(const ModelAdvertisement& ad, const std::optional<std::string>& expected) {
  if (!expected || !ad.address || ad.address->size() != expected->size()) return false;
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i < expected->size(); ++i) {
    if (fold((*ad.address)[i]) != fold((*expected)[i])) return false;
  }
  return true;
}

int model_score(const ModelAdvertisement& ad, const std::optional<std::string>& expected) {
  int base = 0;
  if (ad.kind == "dfu") base = 1;
  if (ad.kind == "stateless") base = 2;
  if (ad.kind == "stateful") base = 4;
  return base + (model_matches(ad, expected) ? 1 : 0);
}

std::uint16_t entry_id(Reader& in) {
  switch (in.byte() % 6) {
    case 0: return 0x0305;
    case 1: return 0x1912;
    case 2: return 0xffff;
    default: return static_cast<std::uint16_t>(in.number(2));
  }
}

std::optional<std::string> expected_address(Reader& in, const ManufacturerData& entries) {
  switch (in.byte() % 4) {
    case 0: return std::nullopt;
    case 1: {  // a decoded address, in mixed case
      if (entries.empty()) return std::nullopt;
      const auto& [id, data] = entries[in.byte() % entries.size()];
      const auto model = model_parse(full_payload(id, data));
      if (!model.address) return std::nullopt;
      std::string text = *model.address;
      for (char& c : text) {
        if (c >= 'A' && c <= 'F' && in.flag()) c = static_cast<char>(c + 32);
      }
      return text;
    }
    case 2: return std::string(as_text(in.sized_bytes()));
    default: return std::string();
  }
}

Advertisement select(const ManufacturerData& entries, const std::optional<std::string>& expected) {
  std::optional<std::string_view> view;
  if (expected) view = *expected;
  const Advertisement chosen = select_advertisement(entries, view);
  std::vector<ManufacturerEntry> views;
  for (const auto& [id, data] : entries) views.push_back({id, data});
  FUZZ_REQUIRE(select_advertisement(std::span<const ManufacturerEntry>(views), view) == chosen);
  return chosen;
}

void check_selection(Reader in) {
  ManufacturerData entries;
  const std::size_t count = in.byte() % 9;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t id = entry_id(in);
    const ByteView data = in.sized_bytes();
    const bool taken = std::ranges::any_of(entries, [id](const auto& e) { return e.first == id; });
    if (!taken) entries.emplace_back(id, Bytes(data.begin(), data.end()));
  }
  const std::optional<std::string> expected = expected_address(in, entries);

  std::optional<std::size_t> best;
  int best_score = -1;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [id, data] = entries[i];
    const int score = model_score(model_parse(full_payload(id, data)), expected);
    if (score > best_score || (score == best_score && id < entries[*best].first)) {
      best = i;
      best_score = score;
    }
  }
  const Advertisement chosen = select(entries, expected);
  const Advertisement wanted =
      best ? parse_manufacturer_data(entries[*best].first, entries[*best].second) : Advertisement{};
  FUZZ_REQUIRE(chosen == wanted);
  if (best) {
    std::optional<std::string_view> view;
    if (expected) view = *expected;
    FUZZ_REQUIRE(selection_score(chosen, view) == best_score);
  }

  // The order of the map never matters.
  ManufacturerData reordered(entries.rbegin(), entries.rend());
  FUZZ_REQUIRE(select(reordered, expected) == chosen);
  if (!entries.empty()) {
    std::rotate(reordered.begin(),
                reordered.begin() + static_cast<std::ptrdiff_t>(in.byte() % reordered.size()),
                reordered.end());
    FUZZ_REQUIRE(select(reordered, expected) == chosen);
  }
}

}  // namespace
}  // namespace quovel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quovel::fuzz;
  const quovel::ByteView input(data, size);
  check_payload(input);
  check_selection(Reader(input));
  return 0;
}
