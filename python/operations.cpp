// Python classes StatusOp, LockOp and UnlockOp over the core step machines.
#include <array>
#include <variant>

#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "key_arguments.hpp"
#include "quovel/commands.hpp"
#include "quovel/operations.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

constexpr const char* kStartDoc = "start($self)\n--\n\nProduce the first frame to write.";
constexpr const char* kHandleFrameDoc =
    "handle_frame($self, frame)\n--\n\nFeed one reassembled response frame (CRLF stripped).";

// Takes over `value`, a new reference or nullptr after a failure.
PyObject* step_tuple(PyObject*& tag_slot, const char* tag, PyObject* value) {
  PyRef item = PyRef::steal(value);
  PyRef tag_text = interned(tag_slot, tag);
  if (!tag_text || !item) return nullptr;
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) return nullptr;
  // PyTuple_SetItem steals both references, even when it fails.
  PyTuple_SetItem(tuple.get(), 0, tag_text.release());
  PyTuple_SetItem(tuple.get(), 1, item.release());
  return tuple.release();
}

PyObject* write_tag = nullptr;
PyObject* done_tag = nullptr;

PyObject* to_python(const Write& write) {
  return step_tuple(write_tag, "write", new_bytes(write.packet));
}
PyObject* to_python(const Done<LockStatus>& done) {
  return step_tuple(done_tag, "done", new_str(done.value.text()));
}
PyObject* to_python(const Done<NoValue>&) { return step_tuple(done_tag, "done", none()); }

template <typename Step>
PyObject* step_or_raise(const Result<Step>& step) {
  if (!step) return raise_core_error(step.error());
  return std::visit([](const auto& variant) { return to_python(variant); }, *step);
}

template <typename Op>
PyObject* start(PyObject* self, PyObject*) {
  return with_exclusive<Op>(self, [](Op& op) { return step_or_raise(op.start()); });
}

template <typename Op>
PyObject* handle_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  static const Signature<1> signature{"handle_frame", {"frame"}, 1};
  std::array<PyObject*, 1> given{};
  if (!parse_vectorcall(signature, args, nargsf, kwnames, given)) return nullptr;
  return with_exclusive<Op>(self, [&](Op& op) -> PyObject* {
    const auto frame = to_bytes_view(given[0], "frame");
    if (!frame) return nullptr;
    return step_or_raise(op.handle_frame(*frame));
  });
}

template <typename Op>
PyObject* wrap_created(PyTypeObject* type, Result<Op> op) {
  if (!op) return raise_core_error(op.error());
  return wrap(type, std::move(*op));
}

PyObject* construct_status(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature<2> signature{"StatusOp", {"aes_key", "version"}, 1};
  std::array<PyObject*, 2> given{};
  if (!parse_tuple(signature, args, kwargs, given)) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto version = version_argument(given[1]);
    if (!version) return nullptr;
    const auto key = aes_key_argument(given[0]);
    if (!key) return nullptr;
    return wrap_created(type, StatusOp::create(*key, *version));
  });
}

template <std::uint8_t Command>
PyObject* construct_actuation(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature<3> signature{
      Command == command::kLock ? "LockOp" : "UnlockOp", {"aes_key", "unlock_key", "version"}, 2};
  std::array<PyObject*, 3> given{};
  if (!parse_tuple(signature, args, kwargs, given)) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto version = version_argument(given[2]);
    if (!version) return nullptr;
    const auto key = aes_key_argument(given[0]);
    if (!key) return nullptr;
    const auto unlock_key = unlock_key_argument(given[1]);
    if (!unlock_key) return nullptr;
    return wrap_created(type, ActuationOp::create(*key, *version, *unlock_key, Command));
  });
}

template <typename Op>
PyMethodDef* step_methods() {
  static PyMethodDef methods[] = {
      {"start", start<Op>, METH_NOARGS, kStartDoc},
      {"handle_frame", as_method(handle_frame<Op>), METH_FASTCALL | METH_KEYWORDS, kHandleFrameDoc},
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

template <typename Op>
PyTypeObject* operation_type(PyObject*& slot, const char* name, const char* doc,
                             newfunc construct) {
  if (slot != nullptr) return reinterpret_cast<PyTypeObject*>(slot);
  PyType_Slot slots[] = {
      {.slot = Py_tp_doc, .pfunc = const_cast<char*>(doc)},
      {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(construct)},
      {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(wrapped_dealloc<Op>)},
      {.slot = Py_tp_methods, .pfunc = step_methods<Op>()},
      {.slot = 0, .pfunc = nullptr},
  };
  PyType_Spec spec = {
      .name = name,
      .basicsize = sizeof(Wrapped<Op>),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return type_once(slot, spec);
}

}  // namespace

PyTypeObject* status_op_type() {
  static PyObject* type = nullptr;
  return operation_type<StatusOp>(
      type, "builtins.StatusOp",
      "StatusOp(aes_key, version=None)\n--\n\n"
      "Query the lock state. Steps: `(\"write\", bytes)` then `(\"done\", str)` where\n"
      "the string is `\"LOCKED\"`, `\"UNLOCKED\"`, or `\"UNKNOWN:<n>\"`.",
      construct_status);
}

PyTypeObject* lock_op_type() {
  static PyObject* type = nullptr;
  return operation_type<ActuationOp>(
      type, "builtins.LockOp",
      "LockOp(aes_key, unlock_key, version=None)\n--\n\n"
      "Lock the lock.\n\n"
      "Steps: `(\"write\", bytes)` for the check-user-time handshake, `(\"write\",\n"
      "bytes)` for the actuation itself, then `(\"done\", None)`.",
      construct_actuation<command::kLock>);
}

PyTypeObject* unlock_op_type() {
  static PyObject* type = nullptr;
  return operation_type<ActuationOp>(
      type, "builtins.UnlockOp",
      "UnlockOp(aes_key, unlock_key, version=None)\n--\n\n"
      "Unlock the lock.\n\n"
      "Steps: `(\"write\", bytes)` for the check-user-time handshake, `(\"write\",\n"
      "bytes)` for the actuation itself, then `(\"done\", None)`.",
      construct_actuation<command::kUnlock>);
}

}  // namespace quovel::py
