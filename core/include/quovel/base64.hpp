// Strict Base64 with the standard alphabet (A-Z a-z 0-9 + /).
#pragma once

#include <string_view>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"

namespace quovel {

// Decodes `text` only when it is the one canonical encoding of its bytes:
// '=' padding to a multiple of four symbols, zero bits after the data in the
// last symbol, and no whitespace or other character anywhere. The empty text
// is no bytes. Every fault is Base64Decode saying what and where.
Result<Bytes> decode_base64(std::string_view text);

}  // namespace quovel
