#include "quovel/errors.hpp"

#include <string_view>

#include "quovel/commands.hpp"
#include "quovel/hex.hpp"

namespace quovel {
namespace {

template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

// "0x" followed by the byte in two lower-case hex digits.
std::string byte_text(std::uint8_t value) {
  std::string text = "0x";
  append_hex_byte(text, value, HexCase::Lower);
  return text;
}

}  // namespace

const char* error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::HexDecode: return "hex_decode";
    case ErrorKind::Base64Decode: return "base64_decode";
    case ErrorKind::Utf8Decode: return "utf8_decode";
    case ErrorKind::AesKeyLength: return "aes_key_length";
    case ErrorKind::InvalidUnlockKey: return "invalid_unlock_key";
    case ErrorKind::AesDecryptionFailed: return "aes_decryption_failed";
    case ErrorKind::PacketTooShort: return "packet_too_short";
    case ErrorKind::BadPacketStart: return "bad_packet_start";
    case ErrorKind::PacketLengthExceedsBuffer: return "packet_length_exceeds_buffer";
    case ErrorKind::CrcMismatch: return "crc_mismatch";
    case ErrorKind::UnexpectedCommand: return "unexpected_command";
    case ErrorKind::CommandRefused: return "command_refused";
    case ErrorKind::NotEnoughResponseData: return "not_enough_response_data";
    case ErrorKind::CredentialOutOfRange: return "credential_out_of_range";
    case ErrorKind::Protocol: return "protocol";
  }
  return "protocol";  // unreachable: the switch names every kind
}

const char* refusal_hint(std::uint8_t command) {
  switch (command) {
    case command::kUnlock:
    case command::kLock:
      return "the handshake succeeded, so the AES key and protocol version are right; "
             "this points at the unlock key";
    case command::kCheckUserTime:
      return "the handshake was refused, which points at the AES key or the protocol version";
    default: return "the lock refused the command";
  }
}

std::string CoreError::message() const {
  return std::visit(
      Overloaded{
          [](const error::HexDecode& e) { return "hex decode error: " + e.description; },
          [](const error::Base64Decode& e) { return "base64 decode error: " + e.description; },
          [](const error::Utf8Decode& e) { return "UTF-8 decode error: " + e.description; },
          [](const error::AesKeyLength& e) {
            return "AES key must be exactly 16 bytes; got " + std::to_string(e.got) + " bytes";
          },
          [](const error::InvalidUnlockKey&) {
            return std::string(
                "invalid unlock key: expected a whole number from 1 to 4294967295 (0 is what an "
                "empty field becomes, and is never a valid key)");
          },
          [](const error::AesDecryptionFailed&) { return std::string("AES decryption failed"); },
          [](const error::PacketTooShort&) { return std::string("packet is too short"); },
          [](const error::BadPacketStart&) {
            return std::string("packet does not start with 7f5a");
          },
          [](const error::PacketLengthExceedsBuffer&) {
            return std::string("packet length field exceeds buffer length");
          },
          [](const error::CrcMismatch& e) {
            return "packet CRC mismatch: observed " + byte_text(e.observed) + ", computed " +
                   byte_text(e.computed);
          },
          [](const error::UnexpectedCommand& e) {
            return "unexpected response command: expected " + byte_text(e.expected) + ", got " +
                   byte_text(e.got);
          },
          [](const error::CommandRefused& e) {
            return "command " + byte_text(e.command) + " failed with response byte " +
                   byte_text(e.response) + " \u2014 " + refusal_hint(e.command);
          },
          [](const error::NotEnoughResponseData& e) {
            return std::string("not enough response data for ") + e.what;
          },
          [](const error::CredentialOutOfRange&) {
            return std::string("credential value does not fit in u32");
          },
          [](const error::Protocol& e) { return e.message; },
      },
      payload_);
}

}  // namespace quovel
