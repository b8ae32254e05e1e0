#include "quovel/errors.hpp"

#include <cstdint>
#include <string>
#include <variant>

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
