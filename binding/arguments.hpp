// Matching positional and keyword arguments to parameter names, with the
// interpreter's usual TypeError wording for counts and keywords.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "python_api.hpp"

namespace quovel::py {

struct ParameterList {
  const char* function;  // as named in messages, e.g. "StatusOp.handle_frame"
  std::span<const char* const> names;
  std::size_t required;  // the first `required` names have no default
};

// Fills `out` (one borrowed reference per name, nullptr where omitted).
// Returns false with TypeError set on a count or keyword fault.
bool match_vectorcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, std::span<PyObject*> out);
bool match_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                 std::span<PyObject*> out);

template <std::size_t N>
struct Signature {
  static constexpr std::size_t size = N;
  const char* function;
  std::array<const char*, N> names;
  std::size_t required;

  ParameterList list() const { return {function, names, required}; }
};

template <std::size_t N>
bool parse_vectorcall(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, std::array<PyObject*, N>& out) {
  // The common case: every argument by position, nothing to match.
  if (kwnames == nullptr) {
    const Py_ssize_t given = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    if (given >= static_cast<Py_ssize_t>(signature.required) &&
        given <= static_cast<Py_ssize_t>(N)) {
      for (std::size_t i = 0; i < N; ++i)
        out[i] = i < static_cast<std::size_t>(given) ? args[i] : nullptr;
      return true;
    }
  }
  return match_vectorcall(signature.list(), args, nargsf, kwnames, out);
}

template <std::size_t N>
bool parse_tuple(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                 std::array<PyObject*, N>& out) {
  return match_tuple(signature.list(), args, kwargs, out);
}

}  // namespace quovel::py

namespace quovel::py {

// A METH_FASTCALL | METH_KEYWORDS function, stored in a PyMethodDef.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyCFunction as_method(FastcallFunction function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quovel::py
