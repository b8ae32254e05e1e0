// A Python object that owns exactly one core value, plus its borrow flag.
// Every class of the module is a heap type built around one (wrapped_type).
// Spec names are "builtins.<Class>": the classes declare no module of their
// own, so __module__ reads "builtins" and __qualname__ is the bare name.
#pragma once

#include <array>
#include <cstddef>
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

// What a class adds to its value type; parts left nullptr are not given.
struct ClassParts {
  const char* name;  // "builtins.<Class>"
  const char* doc = nullptr;
  newfunc construct = nullptr;  // without one, Python cannot make instances
  PyMethodDef* methods = nullptr;
  PyGetSetDef* properties = nullptr;
  reprfunc repr = nullptr;
};

// The heap type of a class over Wrapped<Value>, created on first use and
// kept in `slot` for the process. The methods and properties must outlive it.
template <typename Value>
PyTypeObject* wrapped_type(PyObject*& slot, const ClassParts& parts) {
  if (slot != nullptr) return reinterpret_cast<PyTypeObject*>(slot);
  std::array<PyType_Slot, 7> slots{};  // the last one stays {0, nullptr}, the end
  std::size_t count = 0;
  const auto add = [&](int id, void* part) {
    if (part != nullptr) slots.at(count++) = {.slot = id, .pfunc = part};
  };
  add(Py_tp_doc, const_cast<char*>(parts.doc));
  add(Py_tp_new, reinterpret_cast<void*>(parts.construct));
  add(Py_tp_dealloc, reinterpret_cast<void*>(wrapped_dealloc<Value>));
  add(Py_tp_methods, parts.methods);
  add(Py_tp_getset, parts.properties);
  add(Py_tp_repr, reinterpret_cast<void*>(parts.repr));
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (parts.construct == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec spec = {
      .name = parts.name,
      .basicsize = sizeof(Wrapped<Value>),
      .itemsize = 0,
      .flags = flags,
      .slots = slots.data(),
  };
  slot = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(slot);
}

}  // namespace quovel::py
