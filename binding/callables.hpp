// The opening every callable of the module shares, written once: match the
// arguments to the signature, then run the body guarded, with the object
// borrowed exclusively for a method and shared for a property. A body gets
// the matched arguments (borrowed, nullptr where omitted) and converts them
// itself, so that a conversion fault leaves the object as it was.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "arguments.hpp"
#include "errors.hpp"
#include "python_api.hpp"
#include "wrapped.hpp"

namespace quovel::py {

template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

template <const auto& Parameters>
using ArgumentsOf = Arguments<std::remove_cvref_t<decltype(Parameters)>::size>;

// METH_FASTCALL | METH_KEYWORDS method of Wrapped<Value>: Body(value, arguments).
template <typename Value, const auto& Parameters, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  ArgumentsOf<Parameters> given{};
  if (!parse_vectorcall(Parameters, args, nargsf, kwnames, given)) return nullptr;
  return with_exclusive<Value>(self, [&](Value& value) -> PyObject* { return Body(value, given); });
}

// METH_NOARGS method of Wrapped<Value>: Body(value).
template <typename Value, auto Body>
PyObject* method_without_arguments(PyObject* self, PyObject*) {
  return with_exclusive<Value>(self, [](Value& value) -> PyObject* { return Body(value); });
}

// Getter of a Wrapped<Value> property: Body(value), with the object shared.
template <typename Value, auto Body>
PyObject* getter(PyObject* self, void*) {
  return with_shared<Value>(self, [](const Value& value) -> PyObject* { return Body(value); });
}

// METH_FASTCALL | METH_KEYWORDS module function: Body(arguments).
template <const auto& Parameters, auto Body>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  ArgumentsOf<Parameters> given{};
  if (!parse_vectorcall(Parameters, args, nargsf, kwnames, given)) return nullptr;
  return guarded([&]() -> PyObject* { return Body(given); });
}

// Py_tp_new of a class: Body(type, arguments).
template <const auto& Parameters, auto Body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ArgumentsOf<Parameters> given{};
  if (!parse_tuple(Parameters, args, kwargs, given)) return nullptr;
  return guarded([&]() -> PyObject* { return Body(type, given); });
}

}  // namespace quovel::py
