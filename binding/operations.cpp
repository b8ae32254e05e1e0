// Python classes StatusOp, LockOp and UnlockOp over the core step machines.
#include <cstdint>
#include <variant>

#include "arguments.hpp"
#include "bindings.hpp"
#include "callables.hpp"
#include "convert.hpp"
#include "key_arguments.hpp"
#include "py_ref.hpp"
#include "quovel/commands.hpp"
#include "quovel/errors.hpp"
#include "quovel/operations.hpp"
#include "quovel/step.hpp"
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

constexpr Signature<1> kHandleFrame{"handle_frame", {"frame"}, 1};
constexpr Signature<2> kStatusOp{"StatusOp", {"aes_key", "version"}, 1};
constexpr Signature<3> kLockOp{"LockOp", {"aes_key", "unlock_key", "version"}, 2};
constexpr Signature<3> kUnlockOp{"UnlockOp", {"aes_key", "unlock_key", "version"}, 2};

template <typename Op>
PyObject* start(Op& op) {
  return step_or_raise(op.start());
}

template <typename Op>
PyObject* handle_frame(Op& op, const Arguments<1>& given) {
  const auto frame = to_bytes_view(given[0], "frame");
  if (!frame) return nullptr;
  return step_or_raise(op.handle_frame(*frame));
}

template <typename Op>
PyObject* wrap_created(PyTypeObject* type, Result<Op> op) {
  if (!op) return raise_core_error(op.error());
  return wrap(type, std::move(*op));
}

PyObject* construct_status(PyTypeObject* type, const Arguments<2>& given) {
  const auto version = version_argument(given[1]);
  if (!version) return nullptr;
  const auto key = aes_key_argument(given[0]);
  if (!key) return nullptr;
  return wrap_created(type, StatusOp::create(*key, *version));
}

template <std::uint8_t Command>
PyObject* construct_actuation(PyTypeObject* type, const Arguments<3>& given) {
  const auto version = version_argument(given[2]);
  if (!version) return nullptr;
  const auto key = aes_key_argument(given[0]);
  if (!key) return nullptr;
  const auto unlock_key = unlock_key_argument(given[1]);
  if (!unlock_key) return nullptr;
  return wrap_created(type, ActuationOp::create(*key, *version, *unlock_key, Command));
}

template <typename Op>
PyMethodDef* step_methods() {
  static PyMethodDef methods[] = {
      {"start", method_without_arguments<Op, start<Op>>, METH_NOARGS, kStartDoc},
      {"handle_frame", as_method(method<Op, kHandleFrame, handle_frame<Op>>),
       METH_FASTCALL | METH_KEYWORDS, kHandleFrameDoc},
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace

PyTypeObject* status_op_type() {
  static PyObject* type = nullptr;
  return wrapped_type<StatusOp>(
      type, {.name = "builtins.StatusOp",
             .doc = "StatusOp(aes_key, version=None)\n--\n\n"
                    "Query the lock state. Steps: `(\"write\", bytes)` then `(\"done\", str)` "
                    "where\nthe string is `\"LOCKED\"`, `\"UNLOCKED\"`, or `\"UNKNOWN:<n>\"`.",
             .construct = constructor<kStatusOp, construct_status>,
             .methods = step_methods<StatusOp>()});
}

PyTypeObject* lock_op_type() {
  static PyObject* type = nullptr;
  return wrapped_type<ActuationOp>(
      type, {.name = "builtins.LockOp",
             .doc = "LockOp(aes_key, unlock_key, version=None)\n--\n\n"
                    "Lock the lock.\n\n"
                    "Steps: `(\"write\", bytes)` for the check-user-time handshake, `(\"write\",\n"
                    "bytes)` for the actuation itself, then `(\"done\", None)`.",
             .construct = constructor<kLockOp, construct_actuation<command::kLock>>,
             .methods = step_methods<ActuationOp>()});
}

PyTypeObject* unlock_op_type() {
  static PyObject* type = nullptr;
  return wrapped_type<ActuationOp>(
      type, {.name = "builtins.UnlockOp",
             .doc = "UnlockOp(aes_key, unlock_key, version=None)\n--\n\n"
                    "Unlock the lock.\n\n"
                    "Steps: `(\"write\", bytes)` for the check-user-time handshake, `(\"write\",\n"
                    "bytes)` for the actuation itself, then `(\"done\", None)`.",
             .construct = constructor<kUnlockOp, construct_actuation<command::kUnlock>>,
             .methods = step_methods<ActuationOp>()});
}

}  // namespace quovel::py
