#include "arguments.hpp"

#include <cstddef>
#include <span>
#include <string>

#include "errors.hpp"
#include "py_ref.hpp"

namespace quovel::py {
namespace {

std::string plural(std::size_t count, const char* singular, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? singular : many);
}

bool too_many_positional(const ParameterList& parameters, std::size_t given) {
  const std::size_t limit = parameters.names.size();
  std::string message = std::string(parameters.function) + "() takes ";
  if (parameters.required == limit) {
    message += plural(limit, "positional argument", "positional arguments");
  } else {
    message += "from " + std::to_string(parameters.required) + " to " + std::to_string(limit) +
               " positional arguments";
  }
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool keyword_fault(const ParameterList& parameters, const char* what, PyObject* name) {
  const PyRef text =
      PyRef::steal(PyUnicode_FromFormat("%s() %s '%U'", parameters.function, what, name));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return false;
}

bool assign_keyword(const ParameterList& parameters, PyObject* name, PyObject* value,
                    std::span<PyObject*> out) {
  if (PyUnicode_Check(name)) {
    for (std::size_t i = 0; i < parameters.names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, parameters.names[i]) != 0) continue;
      if (out[i] != nullptr)
        return keyword_fault(parameters, "got multiple values for argument", name);
      out[i] = value;
      return true;
    }
  }
  return keyword_fault(parameters, "got an unexpected keyword argument", name);
}

bool check_required(const ParameterList& parameters, std::span<PyObject*> out) {
  std::string missing;
  std::size_t count = 0;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (out[i] != nullptr) continue;
    if (count > 0) missing += ", ";
    missing += "'" + std::string(parameters.names[i]) + "'";
    ++count;
  }
  if (count == 0) return true;
  const std::string message =
      std::string(parameters.function) + "() missing " +
      plural(count, "required positional argument", "required positional arguments") + ": " +
      missing;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool place_positional(const ParameterList& parameters, std::size_t given,
                      std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  return given <= parameters.names.size() || too_many_positional(parameters, given);
}

bool match_vectorcall_unguarded(const ParameterList& parameters, PyObject* const* args,
                                Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> out) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
  if (!place_positional(parameters, given, out)) return false;
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    if (name == nullptr) return false;
    if (!assign_keyword(parameters, name, args[given + static_cast<std::size_t>(k)], out))
      return false;
  }
  return check_required(parameters, out);
}

bool match_tuple_unguarded(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                           std::span<PyObject*> out) {
  const Py_ssize_t count = PyTuple_Size(args);
  if (count < 0) return false;
  const auto given = static_cast<std::size_t>(count);
  if (!place_positional(parameters, given, out)) return false;
  for (std::size_t i = 0; i < given; ++i)
    out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!assign_keyword(parameters, name, value, out)) return false;
    }
  }
  return check_required(parameters, out);
}

}  // namespace

bool match_vectorcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, std::span<PyObject*> out) {
  // The messages are built in std::string: no exception may leave.
  return guarded(
      [&] { return match_vectorcall_unguarded(parameters, args, nargsf, kwnames, out); });
}

bool match_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                 std::span<PyObject*> out) {
  return guarded([&] { return match_tuple_unguarded(parameters, args, kwargs, out); });
}

}  // namespace quovel::py
