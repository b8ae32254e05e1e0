#include "quovel/advertisement.hpp"
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "quovel/bytes.hpp"
#include "quovel/hex.hpp"
#include "quovel/version.hpp"

namespace quovel {
namespace {

constexpr std::size_t kMinimumPayloadLength = 15;
constexpr std::size_t kAddressBytes = 6;

constexpr std::uint8_t kUnlockedBit = 0x01;
constexpr std::uint8_t kEventsBit = 0x02;
constexpr std::uint8_t kSettingModeBit = 0x04;
constexpr std::uint8_t kMaxBatteryPercent = 100;

// The full payload as the two identifier bytes followed by the data, read in
// place: decoding runs for every advertisement heard, so nothing is copied.
class SplitPayload {
 public:
  SplitPayload(std::uint8_t id_low, std::uint8_t id_high, ByteView data)
      : head_{id_low, id_high}, data_(data) {}

  std::size_t size() const { return head_.size() + data_.size(); }
  // The data alone; decodable payloads keep their address there.
  ByteView data() const { return data_; }

  // Callers check `index < size()` first.
  std::uint8_t operator[](std::size_t index) const {
    return index < head_.size() ? head_[index] : data_[index - head_.size()];
  }

 private:
  std::array<std::uint8_t, 2> head_;
  ByteView data_;
};

bool is_dfu_identifier(const SplitPayload& p) {
  return (p[0] == 0x12 && p[1] == 0x19) || (p[0] == 0xFF && p[1] == 0xFF);
}

bool is_direct_layout(const SplitPayload& p) { return p[0] == 0x05 && p[1] == 0x03; }

// The last byte of the payload is the first byte of the address. A payload
// long enough to decode holds all six in its data.
AddressText address_from_tail(const SplitPayload& p) {
  static_assert(kMinimumPayloadLength >= 2 + kAddressBytes);
  AddressText text{};
  const ByteView tail = p.data().last(kAddressBytes);
  for (std::size_t i = 0; i < kAddressBytes; ++i) {
    const std::uint8_t byte = tail[kAddressBytes - 1 - i];
    const std::size_t at = i * 3;
    text[at] = hex_digit(byte >> 4U, HexCase::Upper);
    text[at + 1] = hex_digit(byte, HexCase::Upper);
    if (i + 1 < kAddressBytes) text[at + 2] = ':';
  }
  return text;
}

bool is_stateless_version(const LockVersion& v) {
  return v.protocol_type < 5 || (v.protocol_type == 5 && v.protocol_version == 1);
}

Advertisement decode(const SplitPayload& p) {
  // Only the length guards the fixed offsets below (the largest is 9).
  if (p.size() < kMinimumPayloadLength) return Advertisement{};
  if (is_dfu_identifier(p)) return Advertisement::dfu();

  LockVersion version{};  // group and organisation keep their defaults
  std::size_t state_offset = 0;
  if (is_direct_layout(p)) {
    version.protocol_type = 5;
    version.protocol_version = 3;
    version.scene = p[2];
    state_offset = 3;
  } else {
    version.protocol_type = p[4];
    version.protocol_version = p[5];
    version.scene = p[7];
    state_offset = 8;
  }

  const AddressText address = address_from_tail(p);
  if (is_stateless_version(version)) return Advertisement::stateless(address, version);

  const std::uint8_t flags_byte = p[state_offset];
  const std::uint8_t battery_byte = p[state_offset + 1];
  const StateFlags flags{
      .is_unlocked = (flags_byte & kUnlockedBit) != 0,
      .has_events = (flags_byte & kEventsBit) != 0,
      .is_setting_mode = (flags_byte & kSettingModeBit) != 0,
  };
  return Advertisement::stateful(address, version, flags, battery_byte);
}

}  // namespace

const char* kind_text(AdvertisementKind kind) {
  switch (kind) {
    case AdvertisementKind::Dfu: return "dfu";
    case AdvertisementKind::Stateless: return "stateless";
    case AdvertisementKind::Stateful: return "stateful";
    case AdvertisementKind::Unrecognized: break;
  }
  return "unrecognized";
}

Advertisement Advertisement::dfu() {
  Advertisement ad;
  ad.kind_ = AdvertisementKind::Dfu;
  return ad;
}

Advertisement Advertisement::stateless(const AddressText& address, const LockVersion& version) {
  Advertisement ad;
  ad.kind_ = AdvertisementKind::Stateless;
  ad.address_ = address;
  ad.version_ = version;
  return ad;
}

Advertisement Advertisement::stateful(const AddressText& address, const LockVersion& version,
                                      StateFlags flags, std::optional<std::uint8_t> battery) {
  Advertisement ad;
  ad.kind_ = AdvertisementKind::Stateful;
  ad.address_ = address;
  ad.version_ = version;
  ad.flags_ = flags;
  // Values above a percentage mean "no reading" on the wire.
  if (battery && *battery <= kMaxBatteryPercent) ad.battery_ = battery;
  return ad;
}

Advertisement parse_payload(ByteView full_payload) {
  // Too short to hold even the identifier, let alone a decodable entry.
  if (full_payload.size() < 2) return Advertisement{};
  return decode(SplitPayload{full_payload[0], full_payload[1], full_payload.subspan(2)});
}

Advertisement parse_manufacturer_data(std::uint16_t company_id, ByteView data) {
  const auto low = static_cast<std::uint8_t>(company_id & 0xFF);
  const auto high = static_cast<std::uint8_t>(company_id >> 8);
  return decode(SplitPayload{low, high, data});
}

}  // namespace quovel
