#include "quovel/packet.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/crc.hpp"
#include "quovel/errors.hpp"
#include "quovel/hex.hpp"
#include "quovel/version.hpp"

namespace quovel {
namespace {

Bytes hex(std::string_view text) { return decode_hex(text).value(); }

const AesKey kKey(AesKey::Array{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                0xbb, 0xcc, 0xdd, 0xee, 0xff});
const AesKey kOtherKey(AesKey::Array{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});

// A 7F 5A frame of `size` bytes whose length byte is `n`; the rest is zero.
Bytes frame_with_length(std::size_t size, std::uint8_t n) {
  Bytes frame(size);
  frame[0] = 0x7f;
  frame[1] = 0x5a;
  frame[11] = n;
  return frame;
}

// Rewrites the CRC byte of a frame so that it matches again.
void fix_crc(Bytes& frame) {
  const std::size_t n = frame[11];
  frame[12 + n] = crc8(ByteView(frame).first(12 + n));
}

TEST(BuildPacketTest, EmptyPayloadIsTheSameUnderAnyKey) {
  const Bytes expected = hex("7f5a0503020001000114aa00a60d0a");
  EXPECT_EQ(build_packet(default_version(), 0x14, {}, kKey).value(), expected);
  EXPECT_EQ(build_packet(default_version(), 0x14, {}, kOtherKey).value(), expected);
}

TEST(BuildPacketTest, SizesAndTheLengthLimit) {
  const LockVersion version{
      .protocol_type = 9, .protocol_version = 8, .scene = 7, .group_id = 0x1234, .org_id = 0xabcd};
  const std::pair<std::size_t, std::size_t> cases[] = {{7, 31}, {16, 47}, {239, 255}};
  for (const auto& [plain_size, packet_size] : cases) {
    const Bytes plain(plain_size, 0x5c);
    const Bytes packet = build_packet(version, 0x58, plain, kKey).value();
    ASSERT_EQ(packet.size(), packet_size);
    const std::size_t n = packet_size - 15;
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 11), hex("7f5a0908071234abcd58aa"));
    EXPECT_EQ(packet[11], n);
    EXPECT_EQ(packet[12 + n], crc8(ByteView(packet).first(12 + n)));
    EXPECT_EQ(packet[13 + n], 0x0d);
    EXPECT_EQ(packet[14 + n], 0x0a);
    EXPECT_EQ(decrypt_payload(ByteView(packet).subspan(12, n), kKey).value(), plain);
  }
  const auto refused = build_packet(version, 0x58, Bytes(240, 0), kKey);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "encrypted payload is longer than 255 bytes");
}

TEST(ParsePacketTest, ChecksInOrder) {
  Bytes bad_start_13 = frame_with_length(13, 0);
  bad_start_13[1] = 0x5b;
  struct Case {
    const char* name;
    Bytes frame;
    std::optional<ErrorKind> error;
  };
  const Case cases[] = {
      {"empty", {}, ErrorKind::PacketTooShort},
      {"12 bytes with a good start", frame_with_length(12, 0), ErrorKind::PacketTooShort},
      {"12 bytes with a bad start", Bytes(12, 0xee), ErrorKind::PacketTooShort},
      {"13 bytes with a bad start", bad_start_13, ErrorKind::BadPacketStart},
      {"length 16 in 28 bytes", frame_with_length(28, 16), ErrorKind::PacketLengthExceedsBuffer},
      {"length 255 in 267 bytes", frame_with_length(267, 255),
       ErrorKind::PacketLengthExceedsBuffer},
      {"length 16 in 29 bytes", frame_with_length(29, 16), std::nullopt},
      {"length 0 in 13 bytes", frame_with_length(13, 0), std::nullopt},
  };
  for (const auto& [name, frame, error] : cases) {
    const auto parsed = parse_packet(frame);
    if (error) {
      ASSERT_FALSE(parsed) << name;
      EXPECT_EQ(parsed.error().kind(), *error) << name;
    } else {
      EXPECT_TRUE(parsed) << name;
    }
  }
}

TEST(ParsePacketTest, ReadsEveryFieldAndIgnoresTrailingBytes) {
  Bytes frame =
      hex("7f5a0102031234abcd47bb02"
          "c0de"
          "99"
          "0d0a0d0a");
  const Packet packet = parse_packet(frame).value();
  EXPECT_EQ(packet.protocol_type, 1);
  EXPECT_EQ(packet.protocol_version, 2);
  EXPECT_EQ(packet.scene, 3);
  EXPECT_EQ(packet.group_id, 0x1234);
  EXPECT_EQ(packet.org_id, 0xabcd);
  EXPECT_EQ(packet.command, 0x47);
  EXPECT_EQ(packet.marker, 0xbb);
  EXPECT_EQ(packet.payload, hex("c0de"));
  EXPECT_EQ(packet.crc, 0x99);
  EXPECT_EQ(packet.computed_crc, crc8(ByteView(frame).first(14)));
}

TEST(DecodeResponseTest, TakesCommandAndStatusFromThePlaintext) {
  const Bytes plain = hex("5501deadbeef");
  Bytes frame = build_packet(default_version(), 0x14, plain, kKey).value();
  frame.resize(frame.size() - 2);  // as the assembler delivers it
  const Response response = decode_response(frame, kKey).value();
  EXPECT_EQ(response.command, 0x55);
  EXPECT_EQ(response.status, 0x01);
  EXPECT_EQ(response.data, hex("deadbeef"));

  const Response bare =
      decode_response(build_packet(default_version(), 0x14, hex("4700"), kKey).value(), kKey)
          .value();
  EXPECT_EQ(bare.command, 0x47);
  EXPECT_TRUE(bare.data.empty());
}

TEST(DecodeResponseTest, ReportsEachFailure) {
  Bytes changed_crc = build_packet(default_version(), 0x14, hex("1400"), kKey).value();
  const std::uint8_t written = changed_crc[28];
  changed_crc[28] = static_cast<std::uint8_t>(written ^ 0x5a);

  Bytes length_8 = frame_with_length(21, 8);
  fix_crc(length_8);
  Bytes empty_payload = frame_with_length(13, 0);
  fix_crc(empty_payload);
  const Bytes one_byte = build_packet(default_version(), 0x14, hex("14"), kKey).value();
  Bytes short_frame = frame_with_length(12, 0);

  struct Case {
    const char* name;
    const Bytes& frame;
    std::string message;
  };
  std::string crc_message = "packet CRC mismatch: observed 0x";
  append_hex_byte(crc_message, changed_crc[28], HexCase::Lower);
  crc_message += ", computed 0x";
  append_hex_byte(crc_message, written, HexCase::Lower);
  const Case cases[] = {
      {"parse error passed on", short_frame, "packet is too short"},
      {"changed CRC byte", changed_crc, crc_message},
      {"length not a block multiple", length_8, "AES decryption failed"},
      {"empty plaintext", empty_payload, "not enough response data for plain command header"},
      {"one-byte plaintext", one_byte, "not enough response data for plain command header"},
  };
  for (const auto& [name, frame, message] : cases) {
    const auto decoded = decode_response(frame, kKey);
    ASSERT_FALSE(decoded) << name;
    EXPECT_EQ(decoded.error().message(), message) << name;
  }
  const auto crc = decode_response(changed_crc, kKey).error().payload();
  EXPECT_EQ(std::get<error::CrcMismatch>(crc).observed, changed_crc[28]);
  EXPECT_EQ(std::get<error::CrcMismatch>(crc).computed, written);
}

TEST(DecodeResponseTest, WrongKeyFailsOrYieldsOtherBytes) {
  const Bytes plain = hex("14000102030405");
  const Bytes frame = build_packet(default_version(), 0x14, plain, kKey).value();
  const auto decoded = decode_response(frame, kOtherKey);
  if (decoded) {
    Bytes recovered{decoded->command, decoded->status};
    recovered.insert(recovered.end(), decoded->data.begin(), decoded->data.end());
    EXPECT_NE(recovered, plain);
  } else {
    EXPECT_EQ(decoded.error().kind(), ErrorKind::AesDecryptionFailed);
  }
}

}  // namespace
}  // namespace quovel
