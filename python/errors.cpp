#include "errors.hpp"

#include <string>

#include "convert.hpp"
#include "py_ref.hpp"

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
  PyObject* cls = class_for(error.kind());
  if (cls == nullptr) return nullptr;
  const std::string message = error.message();
  const PyRef text = PyRef::steal(new_str(message));
  if (text) PyErr_SetObject(cls, text.get());
  return nullptr;
}

PyObject* raise_quovel_error(const char* message) {
  if (PyObject* cls = quovel_error_class()) PyErr_SetString(cls, message);
  return nullptr;
}

void raise_internal_failure(const char* what) noexcept {
  PyObject* cls = internal_failure_class();
  if (cls == nullptr) Py_FatalError("uncaught panic at ffi boundary");
  PyErr_SetString(cls, what);
}

}  // namespace quovel::py
