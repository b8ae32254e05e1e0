// What each binding file offers to module initialisation and to the others.
#pragma once

#include <optional>

#include "python_api.hpp"
#include "quovel/advertisement.hpp"
#include "quovel/version.hpp"

namespace quovel::py {

// Class type objects, created once per process on first use.
PyTypeObject* lock_version_type();
PyTypeObject* advertisement_type();
PyTypeObject* frame_assembler_type();
PyTypeObject* status_op_type();
PyTypeObject* lock_op_type();
PyTypeObject* unlock_op_type();
PyTypeObject* lock_tracker_type();

// Module-level functions.
PyMethodDef& decode_credential_method();
PyMethodDef& normalize_unlock_key_method();
PyMethodDef& parse_advertisement_method();
PyMethodDef& select_advertisement_method();
PyMethodDef& normalize_aes_key_method();
PyMethodDef& connect_backoff_method();

// A new LockVersion object holding a copy of `version`.
PyObject* new_lock_version(const LockVersion& version);

// The decoded value of an Advertisement argument, or nullptr (TypeError
// naming `argument`). Valid while the argument object lives.
const Advertisement* advertisement_argument(PyObject* value, const char* argument);

// The `version` argument of the operations: omitted or None gives the
// default; a LockVersion is copied; anything else raises TypeError.
std::optional<LockVersion> version_argument(PyObject* value);

}  // namespace quovel::py
