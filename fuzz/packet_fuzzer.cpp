// Reply frames straight from the radio: parse_packet and decode_response
// must agree with the layout rules on every input, and whatever decodes
// must be exactly what build_packet makes of the decoded plaintext. The
// same input is also read as a request to build, to round-trip it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_support.hpp"
#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/crc.hpp"
#include "quovel/errors.hpp"
#include "quovel/packet.hpp"
#include "quovel/version.hpp"

namespace quovel::fuzz {
namespace {

const AesKey kKey(AesKey::Array{0x3c, 0x91, 0x05, 0xe2, 0x7a, 0x48, 0xd6, 0x1f, 0xb0, 0x6e, 0x23,
                                0xc9, 0x84, 0x5d, 0xf7, 0x12});

PayloadCipher& shared_cipher() {
  static PayloadCipher cipher = PayloadCipher::create(kKey).value();
  return cipher;
}

// The error that the layout rules call for, checked in their order.
std::optional<ErrorKind> expected_parse_error(ByteView frame) {
  if (frame.size() <= kPacketHeaderSize) return ErrorKind::PacketTooShort;
  if (frame[0] != kPacketStart1 || frame[1] != kPacketStart2) return ErrorKind::BadPacketStart;
  if (frame.size() < kPacketHeaderSize + frame[kPacketLengthOffset] + 1) {
    return ErrorKind::PacketLengthExceedsBuffer;
  }
  return std::nullopt;
}

bool same_result(const Result<Response>& a, const Result<Response>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error().kind() == b.error().kind() && a.error().message() == b.error().message();
  return a->command == b->command && a->status == b->status && a->data == b->data;
}

void check_frame(ByteView frame) {
  const std::optional<ErrorKind> parse_error = expected_parse_error(frame);
  const Result<Packet> packet = parse_packet(frame);
  const Result<Response> response = decode_response(frame, shared_cipher());
  FUZZ_REQUIRE(same_result(response, decode_response(frame, kKey)));
  if (!response) FUZZ_REQUIRE(!response.error().message().empty());

  if (parse_error) {
    FUZZ_REQUIRE(!packet && packet.error().kind() == *parse_error);
    FUZZ_REQUIRE(!response && response.error().kind() == *parse_error);
    return;
  }
  FUZZ_REQUIRE(packet.has_value());

  const std::size_t n = frame[kPacketLengthOffset];
  const ByteView covered = frame.first(kPacketHeaderSize + n);
  FUZZ_REQUIRE(std::ranges::equal(packet->payload, frame.subspan(kPacketHeaderSize, n)));
  FUZZ_REQUIRE(packet->crc == frame[kPacketHeaderSize + n]);
  FUZZ_REQUIRE(packet->computed_crc == crc8(covered));
  FUZZ_REQUIRE(packet->protocol_type == frame[2] && packet->protocol_version == frame[3] &&
               packet->scene == frame[4] && packet->command == frame[9] &&
               packet->marker == frame[10]);
  FUZZ_REQUIRE(packet->group_id == (frame[5] << 8 | frame[6]));
  FUZZ_REQUIRE(packet->org_id == (frame[7] << 8 | frame[8]));

  if (packet->crc != packet->computed_crc) {
    FUZZ_REQUIRE(!response && response.error().kind() == ErrorKind::CrcMismatch);
    const auto& mismatch = std::get<error::CrcMismatch>(response.error().payload());
    FUZZ_REQUIRE(mismatch.observed == packet->crc && mismatch.computed == packet->computed_crc);
    return;
  }
  if (n == 0) {
    FUZZ_REQUIRE(!response && response.error().kind() == ErrorKind::NotEnoughResponseData);
    return;
  }
  const Result<Bytes> plaintext = decrypt_payload(packet->payload, kKey);
  if (n % kAesBlockSize != 0) FUZZ_REQUIRE(!plaintext);
  if (!plaintext) {
    FUZZ_REQUIRE(plaintext.error().kind() == ErrorKind::AesDecryptionFailed);
    FUZZ_REQUIRE(!response && response.error().kind() == ErrorKind::AesDecryptionFailed);
    return;
  }
  if (plaintext->size() < 2) {
    FUZZ_REQUIRE(!response && response.error().kind() == ErrorKind::NotEnoughResponseData);
    return;
  }
  FUZZ_REQUIRE(response.has_value());
  FUZZ_REQUIRE(response->command == (*plaintext)[0] && response->status == (*plaintext)[1]);
  FUZZ_REQUIRE(std::ranges::equal(response->data, ByteView(*plaintext).subspan(2)));

  // Valid padding makes decryption one-to-one: building the plaintext again
  // must give back the frame, except the marker, which we always write as
  // AA, and so the CRC over it.
  const LockVersion version{packet->protocol_type, packet->protocol_version, packet->scene,
                            packet->group_id, packet->org_id};
  const Result<Bytes> rebuilt = build_packet(version, packet->command, *plaintext, kKey);
  FUZZ_REQUIRE(rebuilt.has_value() && rebuilt->size() == covered.size() + 3);
  Bytes expected(covered.begin(), covered.end());
  expected[10] = kPacketMarker;
  FUZZ_REQUIRE(std::ranges::equal(ByteView(*rebuilt).first(expected.size()), expected));
  FUZZ_REQUIRE((*rebuilt)[expected.size()] == crc8(expected));
  if (packet->marker == kPacketMarker) FUZZ_REQUIRE((*rebuilt)[expected.size()] == packet->crc);
}

// Version, command, a corruption to apply, then the plaintext.
void check_round_trip(Reader in) {
  LockVersion version;
  version.protocol_type = in.byte();
  version.protocol_version = in.byte();
  version.scene = in.byte();
  version.group_id = static_cast<std::uint16_t>(in.number(2));
  version.org_id = static_cast<std::uint16_t>(in.number(2));
  const std::uint8_t command = in.byte();
  const std::uint8_t corrupt_at = in.byte();
  const std::uint8_t corrupt_mask = in.byte();
  const ByteView plaintext = in.rest();

  const Result<Bytes> built = build_packet(version, command, plaintext, shared_cipher());
  const std::size_t n = ciphertext_size(plaintext.size());
  if (n > kMaxPayloadCiphertext) {
    FUZZ_REQUIRE(!built && built.error().kind() == ErrorKind::Protocol);
    return;
  }
  FUZZ_REQUIRE(built.has_value() && built->size() == n + kPacketOverhead);
  const Bytes& packet = *built;
  FUZZ_REQUIRE(packet[0] == kPacketStart1 && packet[1] == kPacketStart2);
  FUZZ_REQUIRE(packet[9] == command && packet[10] == kPacketMarker && packet[11] == n);
  FUZZ_REQUIRE(packet[n + 13] == 0x0d && packet[n + 14] == 0x0a);
  const Result<Bytes> rebuilt = build_packet(version, command, plaintext, kKey);
  FUZZ_REQUIRE(rebuilt.has_value() && *rebuilt == packet);

  const Result<Bytes> ciphertext = encrypt_payload(plaintext, kKey);
  FUZZ_REQUIRE(ciphertext.has_value() &&
               std::ranges::equal(*ciphertext, ByteView(packet).subspan(kPacketHeaderSize, n)));

  const ByteView frame = ByteView(packet).first(n + 13);
  const Result<Response> decoded = decode_response(frame, shared_cipher());
  FUZZ_REQUIRE(same_result(decoded, decode_response(packet, shared_cipher())));
  if (plaintext.size() < 2) {
    FUZZ_REQUIRE(!decoded && decoded.error().kind() == ErrorKind::NotEnoughResponseData);
  } else {
    FUZZ_REQUIRE(decoded.has_value() && decoded->command == plaintext[0] &&
                 decoded->status == plaintext[1]);
    FUZZ_REQUIRE(std::ranges::equal(decoded->data, plaintext.subspan(2)));
  }

  if (corrupt_mask == 0 || corrupt_at >= frame.size()) return;
  Bytes corrupted(frame.begin(), frame.end());
  corrupted[corrupt_at] ^= corrupt_mask;
  const Result<Response> rejected = decode_response(corrupted, shared_cipher());
  if (corrupt_at < 2) {
    FUZZ_REQUIRE(!rejected && rejected.error().kind() == ErrorKind::BadPacketStart);
  } else if (corrupt_at == n + 12) {
    FUZZ_REQUIRE(!rejected && rejected.error().kind() == ErrorKind::CrcMismatch);
    const auto& mismatch = std::get<error::CrcMismatch>(rejected.error().payload());
    FUZZ_REQUIRE(mismatch.observed == corrupted[corrupt_at] && mismatch.computed == frame[n + 12]);
  }
  check_frame(corrupted);
}

}  // namespace
}  // namespace quovel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quovel::fuzz;
  const quovel::ByteView input(data, size);
  check_frame(input);
  check_round_trip(Reader(input));
  return 0;
}
