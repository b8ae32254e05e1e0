// The key and credential functions, and the key arguments of the operations.
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "arguments.hpp"
#include "bindings.hpp"
#include "callables.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "key_arguments.hpp"
#include "py_ref.hpp"
#include "quovel/bytes.hpp"
#include "quovel/cipher.hpp"
#include "quovel/credential.hpp"
#include "quovel/errors.hpp"
#include "quovel/keys.hpp"
#include "quovel/secret.hpp"

namespace quovel::py {
namespace {

constexpr const char* kNotAKey = "AES key must be 32 hex characters or 16 bytes";

// Clears an ordinary conversion failure so that the next case can be
// tried; false for interrupts and other non-Exception errors, which pass.
bool cleared_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// Replaces a conversion failure with the binding's fixed message.
std::optional<AesKey> not_a_key() {
  if (cleared_exception()) raise_quovel_error(kInvalidAesKey, kNotAKey);
  return std::nullopt;
}

template <typename T>
std::optional<T> value_or_raise(Result<T> result) {
  if (!result) {
    raise_core_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

constexpr Signature<1> kDecodeCredential{"decode_credential", {"value"}, 1};
constexpr Signature<1> kNormalizeUnlockKey{"normalize_unlock_key", {"value"}, 1};
constexpr Signature<1> kNormalizeAesKey{"normalize_aes_key", {"value"}, 1};

PyObject* decode_credential_function(const Arguments<1>& given) {
  PyRef surrogates;
  const auto text = to_utf8_keeping_surrogates(given[0], "value", surrogates);
  if (!text) return nullptr;
  const auto credential = value_or_raise(decode_credential(*text));
  return credential ? PyLong_FromUnsignedLong(*credential) : nullptr;
}

PyObject* normalize_unlock_key_function(const Arguments<1>& given) {
  const auto key = unlock_key_argument(given[0]);
  return key ? PyLong_FromUnsignedLong(*key) : nullptr;
}

PyObject* normalize_aes_key_function(const Arguments<1>& given) {
  const auto key = aes_key_argument(given[0]);
  if (!key) return nullptr;
  const Secret<AesKeyDigits> digits = aes_key_to_digits(*key);
  return new_str(std::string_view(digits.value().data(), digits.value().size()));
}

}  // namespace

std::optional<AesKey> aes_key_argument(PyObject* value) {
  if (PyUnicode_Check(value)) {
    const auto text = str_utf8(value);
    if (!text) return not_a_key();
    return value_or_raise(aes_key_from_text(*text));
  }
  if (PyBytes_Check(value)) {
    // Read in place: a copy would be one more buffer holding the key.
    const auto view = to_bytes_view(value, nullptr);
    if (!view) return not_a_key();
    return value_or_raise(aes_key_from_bytes(*view));
  }
  auto bytes = to_byte_sequence(value, nullptr);
  if (!bytes) return not_a_key();
  const Secret<Bytes> secret(std::move(*bytes));
  return value_or_raise(aes_key_from_bytes(secret.value()));
}

std::optional<std::uint32_t> unlock_key_argument(PyObject* value) {
  if (!PyBool_Check(value)) {
    // An integer decides only when it converts and is in the key's range;
    // otherwise a str (a subclass with __index__ too) is read as text.
    if (PyIndex_Check(value)) {
      const auto integer = to_u64(value, nullptr);
      if (integer && *integer <= std::numeric_limits<std::uint32_t>::max()) {
        return value_or_raise(unlock_key_from_integer(*integer));
      }
      if (!integer && !cleared_exception()) return std::nullopt;
    }
    if (PyUnicode_Check(value)) {
      if (const auto text = str_utf8(value)) return value_or_raise(unlock_key_from_text(*text));
      if (!cleared_exception()) return std::nullopt;
    }
  }
  raise_core_error(error::InvalidUnlockKey{});
  return std::nullopt;
}

PyMethodDef& decode_credential_method() {
  static PyMethodDef method = {
      "decode_credential",
      as_method(module_function<kDecodeCredential, decode_credential_function>),
      METH_FASTCALL | METH_KEYWORDS,
      "decode_credential(value)\n--\n\n"
      "Decode a base64 comma-list `Quovel` credential into its integer form."};
  return method;
}

PyMethodDef& normalize_unlock_key_method() {
  static PyMethodDef method = {
      "normalize_unlock_key",
      as_method(module_function<kNormalizeUnlockKey, normalize_unlock_key_function>),
      METH_FASTCALL | METH_KEYWORDS,
      "normalize_unlock_key(value)\n--\n\n"
      "Validate an unlock key and return it as an `int`.\n\n"
      "Raises `QuovelError` if the value cannot be a key \u2014 most importantly `0`."};
  return method;
}

PyMethodDef& normalize_aes_key_method() {
  static PyMethodDef method = {
      "normalize_aes_key", as_method(module_function<kNormalizeAesKey, normalize_aes_key_function>),
      METH_FASTCALL | METH_KEYWORDS,
      "normalize_aes_key(value)\n--\n\n"
      "Validate an AES key and return it in canonical form (32 lowercase hex chars).\n\n"
      "Exposed so the Home Assistant config flow validates with the same code the\n"
      "protocol uses, rather than a second implementation that can drift from it.\n\n"
      "Raises `QuovelError` if the value is not a 16-byte key."};
  return method;
}

}  // namespace quovel::py
