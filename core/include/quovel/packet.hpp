// The command packet: the layout shared by requests and replies.
//
//   7F 5A | type version scene | group(2) org(2) | command | AA | n | payload(n) | crc | 0D 0A
//
// The payload is encrypted; the CRC covers the header and the ciphertext.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/errors.hpp"
#include "quovel/version.hpp"

namespace quovel {

inline constexpr std::uint8_t kPacketStart1 = 0x7f;
inline constexpr std::uint8_t kPacketStart2 = 0x5a;
inline constexpr std::uint8_t kPacketMarker = 0xaa;
inline constexpr std::size_t kPacketHeaderSize = 12;
inline constexpr std::size_t kPacketLengthOffset = 11;
// Header, CRC byte and the closing CR LF around the payload.
inline constexpr std::size_t kPacketOverhead = 15;
inline constexpr std::size_t kMaxPayloadCiphertext = 255;
inline constexpr std::size_t kMaxPacketSize = kMaxPayloadCiphertext + kPacketOverhead;

// A whole packet, held without a heap allocation.
using PacketBytes = InlineBytes<kMaxPacketSize>;

// A frame split into its fields; the payload is still encrypted.
struct Packet {
  Bytes payload;
  std::uint16_t group_id = 0;
  std::uint16_t org_id = 0;
  std::uint8_t protocol_type = 0;
  std::uint8_t protocol_version = 0;
  std::uint8_t scene = 0;
  std::uint8_t command = 0;
  std::uint8_t marker = 0;
  std::uint8_t crc = 0;
  std::uint8_t computed_crc = 0;
};

// A checked and decrypted reply.
struct Response {
  std::uint8_t command = 0;
  std::uint8_t status = 0;
  InlineBytes<kMaxPayloadCiphertext> data;
};

// Fails with Protocol when the ciphertext would exceed 255 bytes.
Result<PacketBytes> build_packet_inline(const LockVersion& version, std::uint8_t command,
                                        ByteView payload, PayloadCipher& cipher);
Result<Bytes> build_packet(const LockVersion& version, std::uint8_t command, ByteView payload,
                           PayloadCipher& cipher);
Result<Bytes> build_packet(const LockVersion& version, std::uint8_t command, ByteView payload,
                           const AesKey& key);

// Splits a frame (normally without its CR LF; trailing bytes are ignored).
// Reports both CRC values and checks neither.
Result<Packet> parse_packet(ByteView frame);

// Parses, checks the CRC, decrypts, and splits off command and status.
Result<Response> decode_response(ByteView frame, PayloadCipher& cipher);
Result<Response> decode_response(ByteView frame, const AesKey& key);

}  // namespace quovel
