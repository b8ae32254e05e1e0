// Python values to core values and back. Every failing conversion sets the
// Python exception and returns an empty optional (or nullptr).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "py_ref.hpp"
#include "python_api.hpp"
#include "quovel/bytes.hpp"

namespace quovel::py {

// An integer through the index protocol, in 0..max. Out of range (negative
// included) raises OverflowError "out of range integral type conversion
// attempted"; a non-integer raises TypeError naming `argument`.
std::optional<std::uint64_t> to_bounded_unsigned(PyObject* value, const char* argument,
                                                 std::uint64_t max);

template <typename T>
std::optional<T> to_unsigned(PyObject* value, const char* argument) {
  const auto converted = to_bounded_unsigned(value, argument, std::numeric_limits<T>::max());
  if (!converted) return std::nullopt;
  return static_cast<T>(*converted);
}

// A 64-bit time: the interpreter's own OverflowError wording when out of range.
std::optional<std::uint64_t> to_u64(PyObject* value, const char* argument);

// Exactly `bytes` (or a subclass). The view lives as long as `value`.
std::optional<ByteView> to_bytes_view(PyObject* value, const char* argument);

// `bytes`, `bytearray` (copied) or any sequence of integers 0..255; a `str`
// is refused. `argument` may be nullptr: then messages carry no name.
std::optional<Bytes> to_byte_sequence(PyObject* value, const char* argument);

// A `str` (or subclass) as UTF-8. The view lives as long as `value`.
std::optional<std::string_view> to_utf8(PyObject* value, const char* argument);

// The same for an object already known to be a `str`; raises only what the
// interpreter raises (UnicodeEncodeError for a lone surrogate).
std::optional<std::string_view> str_utf8(PyObject* text);

// As to_utf8, but a lone surrogate, which has no UTF-8 form, is kept as its
// three-byte encoding, so that a strict reader of the bytes refuses it as
// it refuses any other stray byte. `holder` keeps those bytes alive.
std::optional<std::string_view> to_utf8_keeping_surrogates(PyObject* value, const char* argument,
                                                           PyRef& holder);

// Sets TypeError "argument '<name>': <detail>" (or just the detail).
void raise_argument_type_error(const char* argument, const char* detail);
void raise_expected_type(const char* argument, const char* expected, PyObject* got);
// TypeError "'<type>' object cannot be converted to '<target>'", unprefixed.
void raise_cannot_convert(PyObject* value, const char* target);

PyObject* new_bytes(ByteView bytes);
PyObject* new_str(std::string_view text);
PyObject* new_bool(bool value);
PyObject* none();

template <typename T, typename Convert>
PyObject* optional_to_python(const std::optional<T>& value, Convert convert) {
  return value ? convert(*value) : none();
}

// An interned string created once per process, for tags and change-set names.
// The slot keeps its own reference for the life of the process.
PyRef interned(PyObject*& slot, const char* text);

}  // namespace quovel::py
