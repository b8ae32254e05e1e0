#include "errors.hpp"

#include <cstddef>
#include <string_view>

#include "convert.hpp"
#include "py_ref.hpp"
#include "quovel/errors.hpp"

namespace quovel::py {
namespace {

PyObject* create_once(PyObject*& slot, const char* dotted_name, PyObject* base) {
  if (slot == nullptr && base != nullptr) {
    slot = PyErr_NewExceptionWithDoc(dotted_name, nullptr, base, nullptr);
  }
  return slot;
}

PyObject* internal_failure_class() {
  static PyObject* slot = nullptr;
  return create_once(slot, "quovel.InternalFailure", PyExc_BaseException);
}

PyObject* class_for(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::CrcMismatch: return crc_mismatch_class();
    case ErrorKind::UnexpectedCommand: return unexpected_command_class();
    default: return quovel_error_class();
  }
}

PyObject* raise_with_kind(PyObject* cls, const char* kind, std::string_view message) {
  if (cls == nullptr) return nullptr;
  const PyRef text = PyRef::steal(new_str(message));
  if (!text) return nullptr;
  // Made here rather than by the interpreter, so that it carries its kind.
  const PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(cls, text.get(), nullptr));
  if (!instance) return nullptr;
  const PyRef kind_text = PyRef::steal(PyUnicode_InternFromString(kind));
  if (!kind_text || PyObject_SetAttrString(instance.get(), "kind", kind_text.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(cls, instance.get());
  return nullptr;
}

}  // namespace

PyObject* quovel_error_class() {
  static PyObject* slot = nullptr;
  return create_once(slot, "quovel.QuovelError", PyExc_Exception);
}

PyObject* crc_mismatch_class() {
  static PyObject* slot = nullptr;
  return create_once(slot, "quovel.CrcMismatch", quovel_error_class());
}

PyObject* unexpected_command_class() {
  static PyObject* slot = nullptr;
  return create_once(slot, "quovel.UnexpectedCommand", quovel_error_class());
}

PyObject* raise_core_error(const CoreError& error) {
  return raise_with_kind(class_for(error.kind()), error_kind_name(error.kind()), error.message());
}

PyObject* raise_quovel_error(const char* kind, std::string_view message) {
  return raise_with_kind(quovel_error_class(), kind, message);
}

PyObject* new_error_kinds() {
  const PyRef kinds = PyRef::steal(PySet_New(nullptr));
  if (!kinds) return nullptr;
  const auto add = [&](const char* name) {
    const PyRef text = PyRef::steal(PyUnicode_InternFromString(name));
    return text && PySet_Add(kinds.get(), text.get()) == 0;
  };
  for (std::size_t i = 0; i < kErrorKindCount; ++i) {
    if (!add(error_kind_name(static_cast<ErrorKind>(i)))) return nullptr;
  }
  if (!add(kUnknownActuation) || !add(kInvalidAesKey)) return nullptr;
  return PyFrozenSet_New(kinds.get());
}

void raise_internal_failure(const char* what) noexcept {
  PyObject* cls = internal_failure_class();
  if (cls == nullptr) Py_FatalError("uncaught panic at ffi boundary");
  PyErr_SetString(cls, what);
}

}  // namespace quovel::py
