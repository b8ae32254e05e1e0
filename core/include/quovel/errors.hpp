// The core's single error type: a closed set of kinds, each rendering to one
// fixed English message. Core functions return it; they never throw it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quovel {

namespace error {
struct HexDecode {
  std::string description;
};
struct Base64Decode {
  std::string description;
};
struct Utf8Decode {
  std::string description;
};
struct AesKeyLength {
  std::size_t got;
};
struct InvalidUnlockKey {};
struct AesDecryptionFailed {};
struct PacketTooShort {};
struct BadPacketStart {};
struct PacketLengthExceedsBuffer {};
struct CrcMismatch {
  std::uint8_t observed;
  std::uint8_t computed;
};
struct UnexpectedCommand {
  std::uint8_t expected;
  std::uint8_t got;
};
struct CommandRefused {
  std::uint8_t command;
  std::uint8_t response;
};
struct NotEnoughResponseData {
  const char* what;
};  // static text
struct CredentialOutOfRange {};
struct Protocol {
  std::string message;
};
}  // namespace error

// One per alternative of CoreError::Payload, in the same order (checked below).
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
  using Payload =
      std::variant<error::HexDecode, error::Base64Decode, error::Utf8Decode, error::AesKeyLength,
                   error::InvalidUnlockKey, error::AesDecryptionFailed, error::PacketTooShort,
                   error::BadPacketStart, error::PacketLengthExceedsBuffer, error::CrcMismatch,
                   error::UnexpectedCommand, error::CommandRefused, error::NotEnoughResponseData,
                   error::CredentialOutOfRange, error::Protocol>;

  template <typename Kind>
    requires std::is_constructible_v<Payload, Kind>
  // Implicit by design, so that `return fail(error::X{...})` reads well.
  // NOLINTNEXTLINE(google-explicit-constructor)
  CoreError(Kind kind) : payload_(std::move(kind)) {}

  ErrorKind kind() const { return static_cast<ErrorKind>(payload_.index()); }
  const Payload& payload() const { return payload_; }

  // The exact message, with no prefix and no trailing newline.
  std::string message() const;

 private:
  Payload payload_;
};

// The binding picks the exception class by kind: a drift between the two
// orders would raise the wrong class, so each pairing is pinned here.
template <ErrorKind Kind, typename Alternative>
inline constexpr bool kKindNames =
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(Kind), CoreError::Payload>,
                   Alternative>;
static_assert(std::variant_size_v<CoreError::Payload> == 15);
static_assert(kKindNames<ErrorKind::HexDecode, error::HexDecode>);
static_assert(kKindNames<ErrorKind::Base64Decode, error::Base64Decode>);
static_assert(kKindNames<ErrorKind::Utf8Decode, error::Utf8Decode>);
static_assert(kKindNames<ErrorKind::AesKeyLength, error::AesKeyLength>);
static_assert(kKindNames<ErrorKind::InvalidUnlockKey, error::InvalidUnlockKey>);
static_assert(kKindNames<ErrorKind::AesDecryptionFailed, error::AesDecryptionFailed>);
static_assert(kKindNames<ErrorKind::PacketTooShort, error::PacketTooShort>);
static_assert(kKindNames<ErrorKind::BadPacketStart, error::BadPacketStart>);
static_assert(kKindNames<ErrorKind::PacketLengthExceedsBuffer, error::PacketLengthExceedsBuffer>);
static_assert(kKindNames<ErrorKind::CrcMismatch, error::CrcMismatch>);
static_assert(kKindNames<ErrorKind::UnexpectedCommand, error::UnexpectedCommand>);
static_assert(kKindNames<ErrorKind::CommandRefused, error::CommandRefused>);
static_assert(kKindNames<ErrorKind::NotEnoughResponseData, error::NotEnoughResponseData>);
static_assert(kKindNames<ErrorKind::CredentialOutOfRange, error::CredentialOutOfRange>);
static_assert(kKindNames<ErrorKind::Protocol, error::Protocol>);

template <typename T>
using Result = std::expected<T, CoreError>;

// Shorthand for returning an error from a function whose result is Result<T>.
inline std::unexpected<CoreError> fail(CoreError error) {
  return std::unexpected<CoreError>(std::move(error));
}

inline constexpr std::size_t kErrorKindCount = std::variant_size_v<CoreError::Payload>;

// The kind's enumerator name in snake_case ("crc_mismatch"): a stable
// identifier for callers to match on, where the message is for people.
const char* error_kind_name(ErrorKind kind);

// The hint appended to a refused command's message, chosen by its command byte.
const char* refusal_hint(std::uint8_t command);

}  // namespace quovel
