// Exception classes, the mapping from a core error to its class and message,
// and the guard that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "python_api.hpp"
#include "quovel/errors.hpp"

namespace quovel::py {

// Each created once per process, on first use; nullptr (error set) on failure.
PyObject* quovel_error_class();
PyObject* crc_mismatch_class();
PyObject* unexpected_command_class();

// Kinds of the errors the binding raises itself, beside the core's.
inline constexpr const char* kUnknownActuation = "unknown_actuation";
inline constexpr const char* kInvalidAesKey = "invalid_aes_key";

// Raises the class that the error's kind maps to, with its message as the
// one argument and its kind name as `kind`. Always returns nullptr, for
// `return raise_core_error(e);`.
PyObject* raise_core_error(const CoreError& error);

// Raises QuovelError with a message and kind of the binding layer.
PyObject* raise_quovel_error(const char* kind, std::string_view message);

// A new frozenset of every kind name the module's errors may carry.
PyObject* new_error_kinds();

// Raises the internal-failure exception (derived from BaseException).
void raise_internal_failure(const char* what) noexcept;

// Runs `body` and turns any escaping C++ exception into a Python exception.
template <typename Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    raise_internal_failure("unknown C++ exception");
  }
  return {};
}

}  // namespace quovel::py
