// The core's single error type: a closed set of kinds, each rendering to one
// fixed English message. Core functions return it; they never throw it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace quovel {

namespace error {
struct HexDecode { std::string description; };
struct Base64Decode { std::string description; };
struct Utf8Decode { std::string description; };
struct AesKeyLength { std::size_t got; };
struct InvalidUnlockKey {};
struct AesDecryptionFailed {};
struct PacketTooShort {};
struct BadPacketStart {};
struct PacketLengthExceedsBuffer {};
struct CrcMismatch { std::uint8_t observed; std::uint8_t computed; };
struct UnexpectedCommand { std::uint8_t expected; std::uint8_t got; };
struct CommandRefused { std::uint8_t command; std::uint8_t response; };
struct NotEnoughResponseData { const char* what; };  // static text
struct CredentialOutOfRange {};
struct Protocol { std::string message; };
}  // namespace error

// Declaration order is the order of the tags.
enum class ErrorKind : std::uint8_t {
  HexDecode,
  Base64Decode,
  Utf8Decode,
  AesKeyLength,
  InvalidUnlockKey,
  AesDecryptionFailed,
  PacketTooShort,
  BadPacketStart,
  PacketLengthExceedsBuffer,
  CrcMismatch,
  UnexpectedCommand,
  CommandRefused,
  NotEnoughResponseData,
  CredentialOutOfRange,
  Protocol,
};

class CoreError {
 public:
  using Payload = std::variant<error::HexDecode, error::Base64Decode, error::Utf8Decode,
                               error::AesKeyLength, error::InvalidUnlockKey,
                               error::AesDecryptionFailed, error::PacketTooShort,
                               error::BadPacketStart, error::PacketLengthExceedsBuffer,
                               error::CrcMismatch, error::UnexpectedCommand,
                               error::CommandRefused, error::NotEnoughResponseData,
                               error::CredentialOutOfRange, error::Protocol>;

  template <typename Kind>
    requires std::is_constructible_v<Payload, Kind>
  CoreError(Kind kind) : payload_(std::move(kind)) {}  // NOLINT: implicit by design

  ErrorKind kind() const { return static_cast<ErrorKind>(payload_.index()); }
  const Payload& payload() const { return payload_; }

  // The exact message, with no prefix and no trailing newline.
  std::string message() const;

 private:
  Payload payload_;
};

template <typename T>
using Result = std::expected<T, CoreError>;

// Shorthand for returning an error from a function whose result is Result<T>.
inline std::unexpected<CoreError> fail(CoreError error) {
  return std::unexpected<CoreError>(std::move(error));
}

// The hint appended to a refused command's message, chosen by its command byte.
const char* refusal_hint(std::uint8_t command);

}  // namespace quovel
