// The key and credential functions, and the key arguments of the operations.
#include <array>

#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "key_arguments.hpp"
#include "quovel/credential.hpp"
#include "quovel/keys.hpp"
#include "quovel/secret.hpp"

namespace quovel::py {
namespace {

constexpr const char* kNotAKey = "AES key must be 32 hex characters or 16 bytes";

// Replaces a conversion failure with the binding's fixed message; interrupts
// and other non-Exception errors pass through.
std::optional<AesKey> not_a_key() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    raise_quovel_error(kNotAKey);
  }
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

std::optional<std::uint64_t> index_value(PyObject* value) {
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return std::nullopt;
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return converted;
}

const Signature<1> kDecodeCredential{"decode_credential", {"value"}, 1};
const Signature<1> kNormalizeUnlockKey{"normalize_unlock_key", {"value"}, 1};
const Signature<1> kNormalizeAesKey{"normalize_aes_key", {"value"}, 1};

PyObject* decode_credential_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, 1> given{};
  if (!parse_vectorcall(kDecodeCredential, args, nargsf, kwnames, given)) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto text = to_utf8(given[0], "value");
    if (!text) return nullptr;
    const auto credential = value_or_raise(decode_credential(*text));
    return credential ? PyLong_FromUnsignedLong(*credential) : nullptr;
  });
}

PyObject* normalize_unlock_key_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                        PyObject* kwnames) {
  std::array<PyObject*, 1> given{};
  if (!parse_vectorcall(kNormalizeUnlockKey, args, nargsf, kwnames, given)) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto key = unlock_key_argument(given[0]);
    return key ? PyLong_FromUnsignedLong(*key) : nullptr;
  });
}

PyObject* normalize_aes_key_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, 1> given{};
  if (!parse_vectorcall(kNormalizeAesKey, args, nargsf, kwnames, given)) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto key = aes_key_argument(given[0]);
    return key ? new_str(aes_key_to_text(*key)) : nullptr;
  });
}

}  // namespace

std::optional<AesKey> aes_key_argument(PyObject* value) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return not_a_key();
    return value_or_raise(aes_key_from_text({text, static_cast<std::size_t>(size)}));
  }
  auto bytes = to_byte_sequence(value, nullptr);
  if (!bytes) return not_a_key();
  const SecretBytes secret(std::move(*bytes));
  return value_or_raise(aes_key_from_bytes(secret.view()));
}

std::optional<std::uint32_t> unlock_key_argument(PyObject* value) {
  if (!PyBool_Check(value)) {
    if (PyIndex_Check(value)) {
      if (const auto integer = index_value(value)) return value_or_raise(unlock_key_from_integer(*integer));
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
      PyErr_Clear();
    } else if (PyUnicode_Check(value)) {
      Py_ssize_t size = 0;
      if (const char* text = PyUnicode_AsUTF8AndSize(value, &size)) {
        return value_or_raise(unlock_key_from_text({text, static_cast<std::size_t>(size)}));
      }
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
      PyErr_Clear();
    }
  }
  raise_core_error(error::InvalidUnlockKey{});
  return std::nullopt;
}

PyMethodDef& decode_credential_method() {
  static PyMethodDef method = {
      "decode_credential", as_method(decode_credential_function), METH_FASTCALL | METH_KEYWORDS,
      "decode_credential(value)\n--\n\n"
      "Decode a base64 comma-list `Quovel` credential into its integer form."};
  return method;
}

PyMethodDef& normalize_unlock_key_method() {
  static PyMethodDef method = {
      "normalize_unlock_key", as_method(normalize_unlock_key_function), METH_FASTCALL | METH_KEYWORDS,
      "normalize_unlock_key(value)\n--\n\n"
      "Validate an unlock key and return it as an `int`.\n\n"
      "Raises `QuovelError` if the value cannot be a key \u2014 most importantly `0`."};
  return method;
}

PyMethodDef& normalize_aes_key_method() {
  static PyMethodDef method = {
      "normalize_aes_key", as_method(normalize_aes_key_function), METH_FASTCALL | METH_KEYWORDS,
      "normalize_aes_key(value)\n--\n\n"
      "Validate an AES key and return it in canonical form (32 lowercase hex chars).\n\n"
      "Exposed so the Home Assistant config flow validates with the same code the\n"
      "protocol uses, rather than a second implementation that can drift from it.\n\n"
      "Raises `QuovelError` if the value is not a 16-byte key."};
  return method;
}

}  // namespace quovel::py
