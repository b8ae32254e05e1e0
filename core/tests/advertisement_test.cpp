#include "quovel/advertisement.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "quovel/bytes.hpp"
#include "quovel/version.hpp"

namespace quovel {
namespace {

AddressText address_text(std::string_view text) {
  AddressText out{};
  for (std::size_t i = 0; i < out.size() && i < text.size(); ++i) out[i] = text[i];
  return out;
}

Bytes full_payload(std::uint16_t company_id, const Bytes& data) {
  Bytes full{static_cast<std::uint8_t>(company_id & 0xFF),
             static_cast<std::uint8_t>(company_id >> 8)};
  full.insert(full.end(), data.begin(), data.end());
  return full;
}

constexpr LockVersion kV3{5, 3, 2, 1, 1};
const AddressText kAddress = address_text("FF:EE:DD:CC:BB:AA");
const Bytes kDirect{0x02, 0x01, 0x55, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// Offset layout with 13 bytes of data: type at offset 4, version 5, scene 7,
// flags 8, battery 9 (also the first address byte at this length).
Bytes offset_data(std::uint8_t type, std::uint8_t version, std::uint8_t flags,
                  std::uint8_t battery) {
  return {0x00, 0x00, type, version, 0x00, 0x07, flags, battery, 0x11, 0x22, 0x33, 0x44, 0x55};
}

struct DecodeCase {
  const char* name;
  std::uint16_t company_id;
  Bytes data;
  Advertisement expected;
};

std::vector<DecodeCase> decode_cases() {
  Bytes short_direct = kDirect;
  short_direct.pop_back();
  Bytes long_direct{0x02, 0x04, 0x64};
  long_direct.resize(25, 0xEE);  // never read
  long_direct.insert(long_direct.end(), {0x01, 0x02, 0x03, 0x04, 0x0A, 0xB0});
  const auto offset_address = [](std::uint8_t battery) {
    AddressText text = address_text("55:44:33:22:11:00");
    const char* digits = "0123456789ABCDEF";
    text[15] = digits[battery >> 4];
    text[16] = digits[battery & 0x0F];
    return text;
  };
  const auto offset_stateful = [&](std::uint8_t type, std::uint8_t version, StateFlags flags,
                                   std::uint8_t battery_byte, std::optional<std::uint8_t> battery) {
    return Advertisement::stateful(offset_address(battery_byte),
                                   LockVersion{type, version, 7, 1, 1}, flags, battery);
  };
  const auto offset_stateless = [&](std::uint8_t type, std::uint8_t version) {
    return Advertisement::stateless(offset_address(0x64), LockVersion{type, version, 7, 1, 1});
  };
  return {
      {"direct layout", 0x0305, kDirect,
       Advertisement::stateful(kAddress, kV3, {true, false, false}, 85)},
      {"one byte short", 0x0305, short_direct, Advertisement{}},
      {"empty data", 0x0305, {}, Advertisement{}},
      {"direct layout, long", 0x0305, long_direct,
       Advertisement::stateful(address_text("B0:0A:04:03:02:01"), LockVersion{5, 3, 2, 1, 1},
                               {false, false, true}, 100)},
      {"dfu 0x1912", 0x1912, kDirect, Advertisement::dfu()},
      {"dfu 0xFFFF", 0xFFFF, kDirect, Advertisement::dfu()},
      {"dfu too short", 0x1912, short_direct, Advertisement{}},
      {"0x19FF is not dfu", 0x19FF, offset_data(3, 2, 0, 0x64), offset_stateless(3, 2)},
      {"0xFF19 is not dfu", 0xFF19, offset_data(3, 2, 0, 0x64), offset_stateless(3, 2)},
      {"type 0", 0x1234, offset_data(0, 9, 0x07, 0x64), offset_stateless(0, 9)},
      {"type 4", 0x1234, offset_data(4, 3, 0x07, 0x64), offset_stateless(4, 3)},
      {"type 5 version 1", 0x1234, offset_data(5, 1, 0x07, 0x64), offset_stateless(5, 1)},
      {"type 5 version 0", 0x1234, offset_data(5, 0, 0x01, 0x64),
       offset_stateful(5, 0, {true, false, false}, 0x64, 100)},
      {"type 5 version 4", 0x1234, offset_data(5, 4, 0x01, 0x32),
       offset_stateful(5, 4, {true, false, false}, 0x32, 50)},
      {"type 6 version 1", 0x1234, offset_data(6, 1, 0x00, 0x00),
       offset_stateful(6, 1, {false, false, false}, 0x00, 0)},
      {"battery 101", 0x1234, offset_data(5, 3, 0x07, 101),
       offset_stateful(5, 3, {true, true, true}, 101, std::nullopt)},
      {"battery 255", 0x1234, offset_data(5, 3, 0x02, 0xFF),
       offset_stateful(5, 3, {false, true, false}, 0xFF, std::nullopt)},
      {"flags 0x06", 0x1234, offset_data(5, 3, 0x06, 0x64),
       offset_stateful(5, 3, {false, true, true}, 0x64, 100)},
      {"flags 0xF8", 0x1234, offset_data(5, 3, 0xF8, 0x64),
       offset_stateful(5, 3, {false, false, false}, 0x64, 100)},
  };
}

TEST(AdvertisementTest, DecodesEachKindAndLayout) {
  for (const DecodeCase& c : decode_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_manufacturer_data(c.company_id, c.data), c.expected);
    EXPECT_EQ(parse_payload(full_payload(c.company_id, c.data)), c.expected);
  }
}

TEST(AdvertisementTest, GettersAreAbsentForFactsTheKindCannotCarry) {
  const Advertisement stateful = Advertisement::stateful(kAddress, kV3, {false, true, false}, 7);
  EXPECT_EQ(stateful.address(), "FF:EE:DD:CC:BB:AA");
  EXPECT_EQ(stateful.lock_version(), kV3);
  EXPECT_EQ(stateful.is_unlocked(), false);
  EXPECT_EQ(stateful.has_events(), true);
  EXPECT_EQ(stateful.is_setting_mode(), false);
  EXPECT_EQ(stateful.battery(), 7);

  const Advertisement stateless = Advertisement::stateless(kAddress, kV3);
  EXPECT_EQ(stateless.address(), "FF:EE:DD:CC:BB:AA");
  EXPECT_EQ(stateless.lock_version(), kV3);

  for (const Advertisement& ad : {Advertisement{}, Advertisement::dfu(), stateless}) {
    SCOPED_TRACE(kind_text(ad.kind()));
    if (ad.kind() != AdvertisementKind::Stateless) {
      EXPECT_EQ(ad.address(), std::nullopt);
      EXPECT_EQ(ad.lock_version(), std::nullopt);
    }
    EXPECT_EQ(ad.is_unlocked(), std::nullopt);
    EXPECT_EQ(ad.has_events(), std::nullopt);
    EXPECT_EQ(ad.is_setting_mode(), std::nullopt);
    EXPECT_EQ(ad.battery(), std::nullopt);
  }
  EXPECT_STREQ(kind_text(AdvertisementKind::Unrecognized), "unrecognized");
  EXPECT_STREQ(kind_text(AdvertisementKind::Dfu), "dfu");
  EXPECT_STREQ(kind_text(AdvertisementKind::Stateless), "stateless");
  EXPECT_STREQ(kind_text(AdvertisementKind::Stateful), "stateful");
}

TEST(AdvertisementTest, AnyLengthStaysInBoundsAndAgreesAcrossEntryPoints) {
  std::mt19937 random(12345);
  const std::uint16_t identifiers[] = {0x0305, 0x1912, 0xFFFF, 0x1234, 0x0000};
  for (std::size_t n = 0; n <= 4096; n = n < 40 ? n + 1 : n * 2) {
    // Exactly sized, so the sanitizer sees any read past the end.
    const auto buffer = std::make_unique<std::uint8_t[]>(n);
    for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(random());
    const ByteView data{buffer.get(), n};
    for (const std::uint16_t id : identifiers) {
      SCOPED_TRACE(std::to_string(n) + " bytes under " + std::to_string(id));
      const Advertisement ad = parse_manufacturer_data(id, data);
      if (n < 13) {
        EXPECT_EQ(ad, Advertisement{});
      }
      EXPECT_EQ(ad, parse_payload(full_payload(id, Bytes(data.begin(), data.end()))));
      if (const auto address = ad.address()) {
        ASSERT_EQ(address->size(), 17u);
        for (std::size_t i = 0; i < 17; ++i) {
          const char c = (*address)[i];
          if (i % 3 == 2) {
            EXPECT_EQ(c, ':');
          } else {
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << c;
          }
        }
        // The last byte of the payload comes first.
        std::string first;
        first += "0123456789ABCDEF"[data[n - 1] >> 4];
        first += "0123456789ABCDEF"[data[n - 1] & 0x0F];
        EXPECT_EQ(address->substr(0, 2), first);
      }
      if (const auto battery = ad.battery()) {
        EXPECT_LE(*battery, 100);
      }
    }
  }
}

}  // namespace
}  // namespace quovel
