#include "quovel/errors.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quovel {
namespace {

TEST(CoreErrorTest, RendersEveryKindExactly) {
  const std::vector<std::pair<CoreError, std::string>> cases = {
      {error::HexDecode{"odd number of digits (31)"},
       "hex decode error: odd number of digits (31)"},
      {error::Base64Decode{"x"}, "base64 decode error: x"},
      {error::Utf8Decode{"y"}, "UTF-8 decode error: y"},
      {error::AesKeyLength{15}, "AES key must be exactly 16 bytes; got 15 bytes"},
      {error::InvalidUnlockKey{},
       "invalid unlock key: expected a whole number from 1 to 4294967295 (0 is what an empty "
       "field becomes, and is never a valid key)"},
      {error::AesDecryptionFailed{}, "AES decryption failed"},
      {error::PacketTooShort{}, "packet is too short"},
      {error::BadPacketStart{}, "packet does not start with 7f5a"},
      {error::PacketLengthExceedsBuffer{}, "packet length field exceeds buffer length"},
      {error::CrcMismatch{0x05, 0xa3}, "packet CRC mismatch: observed 0x05, computed 0xa3"},
      {error::UnexpectedCommand{0x55, 0x47},
       "unexpected response command: expected 0x55, got 0x47"},
      {error::CommandRefused{0x55, 0x00},
       "command 0x55 failed with response byte 0x00 \u2014 the handshake was refused, which "
       "points at the AES key or the protocol version"},
      {error::CommandRefused{0x47, 0x00},
       "command 0x47 failed with response byte 0x00 \u2014 the handshake succeeded, so the AES "
       "key and protocol version are right; this points at the unlock key"},
      {error::CommandRefused{0x58, 0xff},
       "command 0x58 failed with response byte 0xff \u2014 the handshake succeeded, so the AES "
       "key and protocol version are right; this points at the unlock key"},
      {error::CommandRefused{0x14, 0x00},
       "command 0x14 failed with response byte 0x00 \u2014 the lock refused the command"},
      {error::NotEnoughResponseData{"status byte"}, "not enough response data for status byte"},
      {error::CredentialOutOfRange{}, "credential value does not fit in u32"},
      {error::Protocol{"received a frame when none was expected"},
       "received a frame when none was expected"},
  };
  for (const auto& [error, expected] : cases) {
    EXPECT_EQ(error.message(), expected);
  }
}

TEST(CoreErrorTest, KindsFollowDeclarationOrder) {
  EXPECT_EQ(CoreError(error::HexDecode{}).kind(), ErrorKind::HexDecode);
  EXPECT_EQ(static_cast<int>(CoreError(error::CrcMismatch{}).kind()), 9);
  EXPECT_EQ(static_cast<int>(CoreError(error::UnexpectedCommand{}).kind()), 10);
  EXPECT_EQ(static_cast<int>(CoreError(error::Protocol{}).kind()), 14);
}

TEST(CoreErrorTest, KindNamesAreDistinctSnakeCase) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < kErrorKindCount; ++i) {
    const std::string name = error_kind_name(static_cast<ErrorKind>(i));
    SCOPED_TRACE(name);
    EXPECT_TRUE(seen.insert(name).second);
    EXPECT_FALSE(name.empty());
    for (const char c : name)
      EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
  }
  EXPECT_STREQ(error_kind_name(ErrorKind::CrcMismatch), "crc_mismatch");
  EXPECT_STREQ(error_kind_name(ErrorKind::PacketLengthExceedsBuffer),
               "packet_length_exceeds_buffer");
  EXPECT_STREQ(error_kind_name(ErrorKind::Utf8Decode), "utf8_decode");
}

}  // namespace
}  // namespace quovel
