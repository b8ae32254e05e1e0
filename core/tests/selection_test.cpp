#include "quovel/selection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"

namespace quovel {
namespace {

using namespace std::string_literals;

// Address FF:EE:DD:CC:BB:AA in both layouts; the offset one is stateless.
const Bytes kStatefulFF{0x02, 0x01, 0x55, 0x00, 0x00, 0x00, 0x00,
                        0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const Bytes kStatefulOther{0x02, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00,
                           0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
const Bytes kStatelessFF{0x00, 0x00, 0x03, 0x01, 0x00, 0x02, 0x00,
                         0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const Bytes kShort{0x01, 0x02, 0x03};
constexpr std::string_view kFF = "FF:EE:DD:CC:BB:AA";

TEST(SelectionTest, ScoresByKindThenAddress) {
  const Advertisement stateful = parse_manufacturer_data(0x0305, kStatefulFF);
  const Advertisement stateless = parse_manufacturer_data(0x1234, kStatelessFF);
  struct Case {
    Advertisement ad;
    std::optional<std::string_view> expected;
    std::uint8_t score;
  };
  const Case cases[] = {
      {Advertisement{}, std::nullopt, 0},  {Advertisement{}, kFF, 0},
      {Advertisement::dfu(), kFF, 1},      {stateless, std::nullopt, 2},
      {stateless, "01:02:03:04:05:06", 2}, {stateless, kFF, 3},
      {stateful, std::nullopt, 4},         {stateful, kFF, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kind_text(c.ad.kind())) + " " + std::string(c.expected.value_or("-")));
    EXPECT_EQ(selection_score(c.ad, c.expected), c.score);
  }
}

TEST(SelectionTest, AddressMatchFoldsAsciiLettersOnly) {
  const Advertisement ad = parse_manufacturer_data(0x0305, kStatefulFF);
  const std::pair<std::string, bool> cases[] = {
      {"FF:EE:DD:CC:BB:AA", true},
      {"ff:ee:dd:cc:bb:aa", true},
      {"fF:Ee:dD:cC:bB:aA", true},
      {"FFEEDDCCBBAA", false},
      {"FF-EE-DD-CC-BB-AA", false},
      {" FF:EE:DD:CC:BB:AA", false},
      {"FF:EE:DD:CC:BB:AA ", false},
      {"FF:EE:DD:CC:BB:A", false},
      {"", false},
      // Folding by setting bit 0x20 would wrongly take these for ':' and 'A'.
      {"FF\x1a"
       "EE:DD:CC:BB:AA",
       false},
      {"FF:EE:DD:CC:BB:A\x01", false},
      {"FF:EE:DD:CC:BB:AA\0"s, false},
  };
  for (const auto& [expected, matches] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(address_matches(ad, expected), matches);
  }
  EXPECT_FALSE(address_matches(ad, std::nullopt));
  EXPECT_FALSE(address_matches(Advertisement::dfu(), kFF));
}

struct SelectCase {
  const char* name;
  ManufacturerData entries;
  std::optional<std::string_view> expected_address;
  std::optional<std::uint16_t> winner;  // none: kind Unrecognized
};

TEST(SelectionTest, PicksBestEntryWhateverTheOrder) {
  const SelectCase cases[] = {
      {"empty map", {}, std::nullopt, std::nullopt},
      {"all short", {{0x0305, kShort}, {0x1234, kShort}}, kFF, std::nullopt},
      {"stateful beats matching stateless",
       {{0x1234, kStatelessFF}, {0x2000, kStatefulOther}},
       kFF,
       0x2000},
      {"matching stateful beats lower identifier",
       {{0x0305, kStatefulOther}, {0x4000, kStatefulFF}},
       kFF,
       0x4000},
      {"lower identifier breaks a tie",
       {{0x1234, kStatefulFF}, {0x0305, kStatefulFF}},
       std::nullopt,
       0x0305},
      {"dfu beats unrecognized", {{0x0001, kShort}, {0xFFFF, kStatefulFF}}, std::nullopt, 0xFFFF},
      {"lower-case expected address matches",
       {{0x0305, kStatefulOther}, {0x4000, kStatefulFF}},
       "ff:ee:dd:cc:bb:aa",
       0x4000},
      {"address without colons never matches",
       {{0x0305, kStatefulOther}, {0x4000, kStatefulFF}},
       "FFEEDDCCBBAA",
       0x0305},
      {"one of each kind",
       {{0x0001, kShort}, {0x1912, kStatefulFF}, {0x1234, kStatelessFF}, {0x7777, kStatefulOther}},
       kFF,
       0x7777},
  };
  for (const SelectCase& c : cases) {
    std::vector<std::size_t> order(c.entries.size());
    std::iota(order.begin(), order.end(), 0);
    do {
      ManufacturerData permuted;
      for (const std::size_t i : order) permuted.push_back(c.entries[i]);
      SCOPED_TRACE(std::string(c.name) + ", first entry " +
                   std::to_string(permuted.empty() ? 0 : permuted[0].first));
      const Advertisement chosen = select_advertisement(permuted, c.expected_address);
      if (!c.winner) {
        EXPECT_EQ(chosen, Advertisement{});
        continue;
      }
      const auto entry = std::find_if(c.entries.begin(), c.entries.end(),
                                      [&](const auto& e) { return e.first == *c.winner; });
      ASSERT_NE(entry, c.entries.end());
      EXPECT_EQ(chosen, parse_manufacturer_data(entry->first, entry->second));
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

// A repeated identifier keeps its first place and takes the later data,
// both while entries are scanned and once the bitset takes over.
TEST(SelectionTest, LaterDuplicateIdentifierReplacesTheEarlier) {
  const Bytes first{1};
  const Bytes later{2};
  for (const std::size_t distinct : {std::size_t{3}, std::size_t{16}, std::size_t{40}}) {
    SCOPED_TRACE(distinct);
    ManufacturerEntries built;
    for (std::size_t i = 0; i < distinct; ++i) built.put(static_cast<std::uint16_t>(i), first);
    built.put(0, later);
    built.put(static_cast<std::uint16_t>(distinct - 1), later);
    built.put(0xFFFF, first);
    built.put(0xFFFF, later);

    const auto entries = built.entries();
    ASSERT_EQ(entries.size(), distinct + 1);
    for (std::size_t i = 0; i < distinct; ++i) EXPECT_EQ(entries[i].company_id, i);
    EXPECT_EQ(entries[0].data.data(), later.data());
    EXPECT_EQ(entries[1].data.data(), first.data());
    EXPECT_EQ(entries[distinct - 1].data.data(), later.data());
    EXPECT_EQ(entries.back().company_id, 0xFFFF);
    EXPECT_EQ(entries.back().data.data(), later.data());
  }
}

}  // namespace
}  // namespace quovel
