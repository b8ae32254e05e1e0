// Key arguments, converted exactly as the normalize functions convert them.
#pragma once

#include <cstdint>
#include <optional>

#include "python_api.hpp"
#include "quovel/cipher.hpp"

namespace quovel::py {

// A str is hex text; otherwise a byte sequence of 16. Anything else raises
// QuovelError "AES key must be 32 hex characters or 16 bytes".
std::optional<AesKey> aes_key_argument(PyObject* value);

// bool refused; an index-convertible integer 1..4294967295; or decimal text.
std::optional<std::uint32_t> unlock_key_argument(PyObject* value);

}  // namespace quovel::py
