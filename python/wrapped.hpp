// A Python object that owns exactly one core value, plus its borrow flag.
// Every class of the module is a heap type built from a spec around one.
// Spec names are "builtins.<Class>": the classes declare no module of their
// own, so __module__ reads "builtins" and __qualname__ is the bare name.
#pragma once

#include <new>
#include <optional>
#include <utility>

#include "borrow.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "python_api.hpp"

namespace quovel::py {

template <typename Value>
struct Wrapped {
  PyObject_HEAD BorrowFlag borrow;
  std::optional<Value> value;  // engaged from creation until deallocation
};

template <typename Value>
Wrapped<Value>* as_wrapped(PyObject* self) {
  return reinterpret_cast<Wrapped<Value>*>(self);
}

// A new instance of `type` owning `value`; nullptr with an error set.
template <typename Value>
PyObject* wrap(PyTypeObject* type, Value&& value) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* wrapped = as_wrapped<std::remove_cvref_t<Value>>(self);
  new (&wrapped->borrow) BorrowFlag();
  new (&wrapped->value) std::optional<std::remove_cvref_t<Value>>(std::forward<Value>(value));
  return self;
}

template <typename Value>
void wrapped_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // An instance of a heap type holds a reference to it, given up last.
  const PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
  auto* wrapped = as_wrapped<Value>(self);
  wrapped->value.~optional();
  wrapped->borrow.~BorrowFlag();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
}

// Runs `body(value)` with the object borrowed exclusively (methods).
template <typename Value, typename Body>
PyObject* with_exclusive(PyObject* self, Body&& body) {
  auto* wrapped = as_wrapped<Value>(self);
  ExclusiveBorrow borrow(wrapped->borrow);
  if (!borrow) return nullptr;
  return guarded([&]() -> PyObject* { return body(*wrapped->value); });
}

// Runs `body(value)` with the object borrowed shared (properties, repr).
template <typename Value, typename Body>
PyObject* with_shared(PyObject* self, Body&& body) {
  auto* wrapped = as_wrapped<Value>(self);
  SharedBorrow borrow(wrapped->borrow);
  if (!borrow) return nullptr;
  return guarded([&]() -> PyObject* { return body(std::as_const(*wrapped->value)); });
}

// The type object for `spec`, created on first use and kept for the process.
inline PyTypeObject* type_once(PyObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) slot = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(slot);
}

}  // namespace quovel::py
