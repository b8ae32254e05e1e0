// Module initialisation: one execution step binds every attribute, in a
// fixed order, each name also appended to __all__.

#include "bindings.hpp"
#include "caller_constants.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "python_api.hpp"

namespace quovel::py {
namespace {

constexpr const char* kModuleName = "quovel";

class Binder {
 public:
  explicit Binder(PyObject* module) : module_(module) {}

  // Takes a new reference (nullptr means the value could not be made).
  bool bind(const char* name, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    if (!owned || !append_to_all(name)) return false;
    return PyModule_AddObjectRef(module_, name, owned.get()) == 0;
  }
  bool bind_borrowed(const char* name, PyObject* value) {
    return bind(name, PyRef::borrow(value).release());
  }
  bool bind_type(const char* name, PyTypeObject* type) {
    return bind_borrowed(name, reinterpret_cast<PyObject*>(type));
  }
  bool bind_function(PyMethodDef& method) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString(kModuleName));
    if (!module_name) return false;
    return bind(method.ml_name, PyCFunction_NewEx(&method, nullptr, module_name.get()));
  }

 private:
  bool append_to_all(const char* name) {
    if (!all_) {
      all_ = PyRef::steal(PyList_New(0));
      if (!all_ || PyModule_AddObjectRef(module_, "__all__", all_.get()) < 0) return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all_.get(), text.get()) == 0;
  }

  PyObject* module_;
  PyRef all_;
};

int execute(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "quovel: execution step was not handed a module");
    return -1;
  }
  return guarded([&]() -> int {
    Binder b(module);
    const bool bound =
        b.bind_borrowed("QuovelError", quovel_error_class()) &&
        b.bind_borrowed("CrcMismatch", crc_mismatch_class()) &&
        b.bind_borrowed("UnexpectedCommand", unexpected_command_class()) &&
        b.bind_type("LockVersion", lock_version_type()) &&
        b.bind_type("Advertisement", advertisement_type()) &&
        b.bind_type("FrameAssembler", frame_assembler_type()) &&
        b.bind_type("StatusOp", status_op_type()) && b.bind_type("LockOp", lock_op_type()) &&
        b.bind_type("UnlockOp", unlock_op_type()) &&
        b.bind_type("LockTracker", lock_tracker_type()) &&
        b.bind_function(decode_credential_method()) &&
        b.bind_function(normalize_unlock_key_method()) &&
        b.bind_function(parse_advertisement_method()) &&
        b.bind_function(select_advertisement_method()) &&
        b.bind_function(normalize_aes_key_method()) &&
        b.bind("SERVICE_UUID", PyUnicode_FromString(caller::kServiceUuid)) &&
        b.bind("WRITE_CHARACTERISTIC", PyUnicode_FromString(caller::kWriteCharacteristic)) &&
        b.bind("NOTIFY_CHARACTERISTIC", PyUnicode_FromString(caller::kNotifyCharacteristic)) &&
        b.bind("WRITE_CHUNK", PyLong_FromLong(caller::kWriteChunk)) &&
        b.bind("CRC_RETRIES", PyLong_FromLong(caller::kCrcRetries)) &&
        b.bind("MAX_STRAY_FRAMES", PyLong_FromLong(caller::kMaxStrayFrames)) &&
        b.bind("CRC_RETRY_DELAY", PyFloat_FromDouble(caller::kCrcRetryDelay)) &&
        b.bind("WRITE_CHUNK_DELAY", PyFloat_FromDouble(caller::kWriteChunkDelay)) &&
        b.bind_function(connect_backoff_method()) && b.bind("ERROR_KINDS", new_error_kinds());
    return bound ? 0 : -1;
  });
}

PyModuleDef_Slot slots[] = {
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(execute)},
    // Classes and exception types are shared by the whole process.
    {.slot = Py_mod_multiple_interpreters, .value = Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {.slot = 0, .value = nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModuleName,
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quovel::py

PyMODINIT_FUNC PyInit_quovel() { return PyModuleDef_Init(&quovel::py::definition); }
