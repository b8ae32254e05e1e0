#include "quovel/packet.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/crc.hpp"
#include "quovel/errors.hpp"
#include "quovel/version.hpp"

namespace quovel {
namespace {

constexpr std::size_t kCrcSize = 1;

// A frame checked for length and start, its payload still in the frame.
struct FrameFields {
  ByteView header;
  ByteView payload;
  std::uint8_t crc;
  std::uint8_t computed_crc;
};

Result<FrameFields> split_frame(ByteView frame) {
  // Length first: a 12-byte frame is too short whatever it starts with.
  if (frame.size() <= kPacketHeaderSize) return fail(error::PacketTooShort{});
  if (frame[0] != kPacketStart1 || frame[1] != kPacketStart2) {
    return fail(error::BadPacketStart{});
  }
  const std::size_t n = frame[kPacketLengthOffset];
  if (frame.size() < kPacketHeaderSize + n + kCrcSize) {
    return fail(error::PacketLengthExceedsBuffer{});
  }
  const ByteView checked = frame.first(kPacketHeaderSize + n);
  return FrameFields{
      .header = frame.first(kPacketHeaderSize),
      .payload = frame.subspan(kPacketHeaderSize, n),
      .crc = frame[kPacketHeaderSize + n],
      .computed_crc = crc8(checked),
  };
}

}  // namespace

Result<PacketBytes> build_packet_inline(const LockVersion& version, std::uint8_t command,
                                        ByteView payload, PayloadCipher& cipher) {
  // Checked before encrypting: the size follows from the plaintext alone.
  if (payload.size() > kMaxPayloadCiphertext ||
      ciphertext_size(payload.size()) > kMaxPayloadCiphertext) {
    return fail(error::Protocol{"encrypted payload is longer than 255 bytes"});
  }
  const std::size_t n = ciphertext_size(payload.size());

  PacketBytes packet;
  packet.resize(n + kPacketOverhead);
  std::uint8_t* const out = packet.data();
  out[0] = kPacketStart1;
  out[1] = kPacketStart2;
  out[2] = version.protocol_type;
  out[3] = version.protocol_version;
  out[4] = version.scene;
  store_big_endian(packet.writable().subspan<5, 2>(), version.group_id);
  store_big_endian(packet.writable().subspan<7, 2>(), version.org_id);
  out[9] = command;
  out[10] = kPacketMarker;
  out[kPacketLengthOffset] = static_cast<std::uint8_t>(n);

  const std::span<std::uint8_t> ciphertext(out + kPacketHeaderSize, n);
  if (auto encrypted = cipher.encrypt_into(payload, ciphertext); !encrypted) {
    return fail(encrypted.error());
  }
  out[kPacketHeaderSize + n] = crc8(ByteView(out, kPacketHeaderSize + n));
  out[kPacketHeaderSize + n + 1] = 0x0d;
  out[kPacketHeaderSize + n + 2] = 0x0a;
  return packet;
}

Result<Bytes> build_packet(const LockVersion& version, std::uint8_t command, ByteView payload,
                           PayloadCipher& cipher) {
  auto packet = build_packet_inline(version, command, payload, cipher);
  if (!packet) return fail(std::move(packet).error());
  return Bytes(packet->begin(), packet->end());
}

Result<Bytes> build_packet(const LockVersion& version, std::uint8_t command, ByteView payload,
                           const AesKey& key) {
  auto cipher = PayloadCipher::create(key);
  if (!cipher) return fail(cipher.error());
  return build_packet(version, command, payload, *cipher);
}

Result<Packet> parse_packet(ByteView frame) {
  const auto fields = split_frame(frame);
  if (!fields) return fail(fields.error());
  const ByteView header = fields->header;
  return Packet{
      .payload = Bytes(fields->payload.begin(), fields->payload.end()),
      .group_id = load_big_endian<std::uint16_t>(header.subspan(5)),
      .org_id = load_big_endian<std::uint16_t>(header.subspan(7)),
      .protocol_type = header[2],
      .protocol_version = header[3],
      .scene = header[4],
      .command = header[9],
      .marker = header[10],
      .crc = fields->crc,
      .computed_crc = fields->computed_crc,
  };
}

Result<Response> decode_response(ByteView frame, PayloadCipher& cipher) {
  const auto fields = split_frame(frame);
  if (!fields) return fail(fields.error());
  // The CRC comes first, so a corrupted reply is never reported as a key problem.
  if (fields->crc != fields->computed_crc) {
    return fail(error::CrcMismatch{.observed = fields->crc, .computed = fields->computed_crc});
  }
  // Decrypted straight into the reply; the two header bytes are moved off
  // its front, which costs less than a second buffer.
  Response response;
  response.data.resize(fields->payload.size());
  const auto plain_size = cipher.decrypt_into(fields->payload, response.data.writable());
  if (!plain_size) return fail(plain_size.error());
  if (*plain_size < 2) return fail(error::NotEnoughResponseData{"plain command header"});

  const std::span<std::uint8_t> plain = response.data.writable().first(*plain_size);
  response.command = plain[0];
  response.status = plain[1];
  std::copy(plain.begin() + 2, plain.end(), plain.begin());
  response.data.resize(*plain_size - 2);
  return response;
}

Result<Response> decode_response(ByteView frame, const AesKey& key) {
  auto cipher = PayloadCipher::create(key);
  if (!cipher) return fail(cipher.error());
  return decode_response(frame, *cipher);
}

}  // namespace quovel
