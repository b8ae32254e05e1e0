// Encoded credentials: Base64 text of a comma-separated list of byte values
// that, once unmasked, spell a 32-bit decimal number.
#pragma once

#include <cstdint>
#include <string_view>

#include "quovel/errors.hpp"

namespace quovel {

// The last list byte, XORed with a seed chosen by its position, is the mask
// of every other byte. Fails with Base64Decode, Utf8Decode, Protocol (a list
// piece that is not a byte value) or CredentialOutOfRange (an empty list or
// an unmasked text that is not a number from 0 to 4294967295).
Result<std::uint32_t> decode_credential(std::string_view utf8);

}  // namespace quovel
