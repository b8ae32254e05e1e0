#include "convert.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "py_ref.hpp"
#include "quovel/bytes.hpp"

namespace quovel::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// Re-raises the current TypeError with "argument '<name>': " in front.
void prefix_type_error(const char* argument) {
  if (argument == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(raised.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", argument, text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// `value` itself when it is an int (no reference taken: this runs for
// every key and time given), else its __index__ result, owned by `holder`.
PyObject* to_index(PyObject* value, const char* argument, PyRef& holder) {
  if (PyLong_Check(value)) return value;
  holder = PyRef::steal(PyNumber_Index(value));
  if (!holder) prefix_type_error(argument);
  return holder.get();
}

std::string type_name(PyObject* value) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<Bytes> sequence_of_bytes(PyObject* value) {
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return std::nullopt;
  Bytes out;
  // The length is the object's own claim (a __len__ may say anything):
  // reserve only what a real byte string plausibly needs, and grow past it.
  constexpr Py_ssize_t kPlausibleSize = 4096;
  out.reserve(static_cast<std::size_t>(std::min(size, kPlausibleSize)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(value, i));
    if (!item) return std::nullopt;
    const auto byte = to_unsigned<std::uint8_t>(item.get(), nullptr);
    if (!byte) return std::nullopt;
    out.push_back(*byte);
  }
  return out;
}

}  // namespace

void raise_argument_type_error(const char* argument, const char* detail) {
  if (argument == nullptr) {
    PyErr_SetString(PyExc_TypeError, detail);
  } else {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", argument, detail);
  }
}

// These two build their messages in std::string and are called outside any
// guard: an allocation failure becomes MemoryError here.
void raise_expected_type(const char* argument, const char* expected, PyObject* got) {
  guarded([&] {
    const std::string detail =
        "expected " + std::string(expected) + ", got '" + type_name(got) + "'";
    raise_argument_type_error(argument, detail.c_str());
    return 0;
  });
}

void raise_cannot_convert(PyObject* value, const char* target) {
  guarded([&] {
    const std::string detail =
        "'" + type_name(value) + "' object cannot be converted to '" + target + "'";
    PyErr_SetString(PyExc_TypeError, detail.c_str());
    return 0;
  });
}

std::optional<std::uint64_t> to_bounded_unsigned(PyObject* value, const char* argument,
                                                 std::uint64_t max) {
  PyRef holder;
  PyObject* const index = to_index(value, argument, holder);
  if (index == nullptr) return std::nullopt;
  int overflow = 0;
  const long long converted = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (converted == -1 && overflow == 0 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0 || converted < 0 || static_cast<unsigned long long>(converted) > max) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(converted);
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* argument) {
  PyRef holder;
  PyObject* const index = to_index(value, argument, holder);
  if (index == nullptr) return std::nullopt;
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(converted);
}

std::optional<ByteView> to_bytes_view(PyObject* value, const char* argument) {
  if (!PyBytes_Check(value)) {
    raise_expected_type(argument, "bytes", value);
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return std::nullopt;
  return ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

std::optional<Bytes> to_byte_sequence(PyObject* value, const char* argument) {
  if (PyBytes_Check(value)) {
    const auto view = to_bytes_view(value, argument);
    if (!view) return std::nullopt;
    return Bytes(view->begin(), view->end());
  }
  if (PyByteArray_Check(value)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(value));
    const auto size = static_cast<std::size_t>(PyByteArray_Size(value));
    return Bytes(data, data + size);
  }
  if (PyUnicode_Check(value)) {
    raise_argument_type_error(argument, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(value)) {
    const std::string detail =
        "'" + type_name(value) + "' object cannot be converted to 'Sequence'";
    raise_argument_type_error(argument, detail.c_str());
    return std::nullopt;
  }
  return sequence_of_bytes(value);
}

std::optional<std::string_view> to_utf8(PyObject* value, const char* argument) {
  if (!PyUnicode_Check(value)) {
    raise_expected_type(argument, "str", value);
    return std::nullopt;
  }
  return str_utf8(value);
}

std::optional<std::string_view> str_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::string_view> to_utf8_keeping_surrogates(PyObject* value, const char* argument,
                                                           PyRef& holder) {
  if (auto text = to_utf8(value, argument)) return text;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
  PyErr_Clear();
  holder = PyRef::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
  if (!holder) return std::nullopt;
  const auto bytes = to_bytes_view(holder.get(), argument);
  if (!bytes) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

PyObject* new_bytes(ByteView bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* none() { Py_RETURN_NONE; }

PyRef interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return PyRef::borrow(slot);
}

}  // namespace quovel::py
