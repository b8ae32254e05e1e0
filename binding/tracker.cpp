// Python class LockTracker over the core tracker.
#include <optional>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "bindings.hpp"
#include "callables.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "quovel/advertisement.hpp"
#include "quovel/text.hpp"
#include "quovel/tracker.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

using tracker::Actuation;
using tracker::ChangeSet;
using tracker::LockTracker;

PyObject* state_name = nullptr;
PyObject* available_name = nullptr;
PyObject* battery_name = nullptr;

bool add_if(PyObject* set, bool changed, PyObject*& slot, const char* name) {
  if (!changed) return true;
  const PyRef text = interned(slot, name);
  return text && PySet_Add(set, text.get()) == 0;
}

PyObject* change_set(const ChangeSet& changes) {
  PyRef set = PyRef::steal(PySet_New(nullptr));
  if (!set) return nullptr;
  if (!add_if(set.get(), changes.state, state_name, "state") ||
      !add_if(set.get(), changes.available, available_name, "available") ||
      !add_if(set.get(), changes.battery, battery_name, "battery")) {
    return nullptr;
  }
  return set.release();
}

std::string unknown_actuation_message(std::string_view text) {
  std::string message = "unknown actuation ";
  append_debug_quoted(message, text);
  message += ": expected 'lock' or 'unlock'";
  return message;
}

// "lock" or "unlock", exactly; anything else raises before the tracker is touched.
std::optional<Actuation> action_argument(PyObject* value) {
  const auto text = to_utf8(value, "action");
  if (!text) return std::nullopt;
  const auto action = tracker::parse_actuation(*text);
  if (!action) raise_quovel_error(kUnknownActuation, unknown_actuation_message(*text));
  return action;
}

constexpr Signature<0> kConstructor{"LockTracker", {}, 0};
constexpr Signature<2> kOnAdvertisement{"on_advertisement", {"now_ms", "advertisement"}, 2};
constexpr Signature<1> kOnCommandStarted{"on_command_started", {"action"}, 1};
constexpr Signature<2> kOnCommandAcknowledged{"on_command_acknowledged", {"now_ms", "action"}, 2};
constexpr Signature<2> kOnStatus{"on_status", {"now_ms", "status"}, 2};
constexpr Signature<1> kCreditBlindTime{"credit_blind_time", {"blind_ms"}, 1};
constexpr Signature<2> kPollAvailability{"poll_availability", {"now_ms", "offline_after_ms"}, 2};

PyObject* construct(PyTypeObject* type, const Arguments<0>&) { return wrap(type, LockTracker()); }

PyObject* on_advertisement(LockTracker& tracker, const Arguments<2>& given) {
  const auto now_ms = to_u64(given[0], "now_ms");
  if (!now_ms) return nullptr;
  const Advertisement* advertisement = advertisement_argument(given[1], "advertisement");
  if (advertisement == nullptr) return nullptr;
  return change_set(tracker.on_advertisement(*now_ms, *advertisement));
}

PyObject* on_command_started(LockTracker& tracker, const Arguments<1>& given) {
  const auto action = action_argument(given[0]);
  if (!action) return nullptr;
  return change_set(tracker.on_command_started(*action));
}

PyObject* on_command_acknowledged(LockTracker& tracker, const Arguments<2>& given) {
  const auto now_ms = to_u64(given[0], "now_ms");
  if (!now_ms) return nullptr;
  const auto action = action_argument(given[1]);
  if (!action) return nullptr;
  return change_set(tracker.on_command_acknowledged(*now_ms, *action));
}

PyObject* on_command_failed(LockTracker& tracker) {
  return change_set(tracker.on_command_failed());
}

// A status text decides only by its value; None means the query failed.
PyObject* on_status(LockTracker& tracker, const Arguments<2>& given) {
  const auto now_ms = to_u64(given[0], "now_ms");
  if (!now_ms) return nullptr;
  if (given[1] == Py_None) return change_set(tracker.on_status_failed());
  // A lone surrogate is just another text that names no position.
  PyRef surrogates;
  const auto text = to_utf8_keeping_surrogates(given[1], "status", surrogates);
  if (!text) return nullptr;
  return change_set(tracker.on_status(*now_ms, tracker::parse_status(*text)));
}

PyObject* credit_blind_time(LockTracker& tracker, const Arguments<1>& given) {
  const auto blind_ms = to_u64(given[0], "blind_ms");
  if (!blind_ms) return nullptr;
  tracker.credit_blind_time(*blind_ms);
  return none();
}

PyObject* poll_availability(LockTracker& tracker, const Arguments<2>& given) {
  const auto now_ms = to_u64(given[0], "now_ms");
  if (!now_ms) return nullptr;
  const auto offline_after_ms = to_u64(given[1], "offline_after_ms");
  if (!offline_after_ms) return nullptr;
  return change_set(tracker.poll_availability(*now_ms, *offline_after_ms));
}

PyObject* on_unavailable(LockTracker& tracker) { return change_set(tracker.on_unavailable()); }

PyObject* optional_text(std::optional<const char*> text) {
  return text ? PyUnicode_FromString(*text) : none();
}

PyObject* reported_state(const LockTracker& t) { return optional_text(t.reported_state()); }
PyObject* is_locked(const LockTracker& t) {
  const auto locked = t.is_locked();
  return locked ? new_bool(*locked) : none();
}
PyObject* pending(const LockTracker& t) { return optional_text(t.pending()); }
PyObject* available(const LockTracker& t) { return new_bool(t.available()); }
PyObject* battery(const LockTracker& t) {
  const auto level = t.battery();
  return level ? PyLong_FromLong(*level) : none();
}
PyObject* lock_version(const LockTracker& t) {
  const auto version = t.lock_version();
  return version ? new_lock_version(*version) : none();
}

PyMethodDef methods[] = {
    {"on_advertisement", as_method(method<LockTracker, kOnAdvertisement, on_advertisement>),
     METH_FASTCALL | METH_KEYWORDS,
     "on_advertisement($self, now_ms, advertisement)\n--\n\nRecord an advertisement observed at "
     "`now_ms`."},
    {"on_command_started", as_method(method<LockTracker, kOnCommandStarted, on_command_started>),
     METH_FASTCALL | METH_KEYWORDS,
     "on_command_started($self, action)\n--\n\nRecord that a `\"lock\"` or `\"unlock\"` command "
     "has been sent."},
    {"on_command_acknowledged",
     as_method(method<LockTracker, kOnCommandAcknowledged, on_command_acknowledged>),
     METH_FASTCALL | METH_KEYWORDS,
     "on_command_acknowledged($self, now_ms, action)\n--\n\nRecord that the lock acknowledged the "
     "command."},
    {"on_command_failed", method_without_arguments<LockTracker, on_command_failed>, METH_NOARGS,
     "on_command_failed($self)\n--\n\n"
     "Record that a command failed, leaving the outcome unknown. The reported\n"
     "state deliberately stays in progress rather than reverting."},
    {"on_status", as_method(method<LockTracker, kOnStatus, on_status>),
     METH_FASTCALL | METH_KEYWORDS,
     "on_status($self, now_ms, status)\n--\n\n"
     "Record what a status query returned at `now_ms`: `\"LOCKED\"` or\n"
     "`\"UNLOCKED\"` settles the state, any other answer ends a command in flight\n"
     "at the last known position, and `None` (the query failed, nothing was\n"
     "heard) does the same without touching availability."},
    {"credit_blind_time", as_method(method<LockTracker, kCreditBlindTime, credit_blind_time>),
     METH_FASTCALL | METH_KEYWORDS,
     "credit_blind_time($self, blind_ms)\n--\n\n"
     "Give back time during which the radio was busy connecting and could not\n"
     "have heard an advertisement."},
    {"poll_availability", as_method(method<LockTracker, kPollAvailability, poll_availability>),
     METH_FASTCALL | METH_KEYWORDS,
     "poll_availability($self, now_ms, offline_after_ms)\n--\n\n"
     "Expire availability if nothing has been heard for `offline_after_ms`."},
    {"on_unavailable", method_without_arguments<LockTracker, on_unavailable>, METH_NOARGS,
     "on_unavailable($self)\n--\n\n"
     "Record that the lock can no longer be heard, clearing any pending\ncommand."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"reported_state", getter<LockTracker, reported_state>, nullptr,
     "`\"LOCKED\"`, `\"UNLOCKED\"`, `\"LOCKING\"`, `\"UNLOCKING\"`, or `None` when\nnothing has "
     "been observed yet.",
     nullptr},
    {"is_locked", getter<LockTracker, is_locked>, nullptr,
     "Last observed bolt position, ignoring any command in flight.", nullptr},
    {"pending", getter<LockTracker, pending>, nullptr,
     R"(`"lock"`, `"unlock"`, or `None` when no command is in flight.)", nullptr},
    {"available", getter<LockTracker, available>, nullptr, nullptr, nullptr},
    {"battery", getter<LockTracker, battery>, nullptr, nullptr, nullptr},
    {"lock_version", getter<LockTracker, lock_version>, nullptr,
     "Protocol version learned from advertisements, to build commands with.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "LockTracker()\n--\n\n"
    "What a lock is believed to be doing, tracked from evidence.\n\n"
    "Mirrors `quovel_core::tracker::LockTracker`, so that a Home Assistant\n"
    "integration reports state through exactly the same rules as the product's\n"
    "companion MQTT daemon instead of re-implementing them. Times are monotonic\n"
    "milliseconds supplied by the caller (`time.monotonic() * 1000`); nothing\n"
    "here reads a clock.\n\n"
    "Each mutating method returns a `set` of the names that changed, drawn from\n"
    "`{\"state\", \"available\", \"battery\"}`, so a caller can publish only what moved.";

}  // namespace

PyTypeObject* lock_tracker_type() {
  static PyObject* type = nullptr;
  return wrapped_type<LockTracker>(type, {.name = "builtins.LockTracker",
                                          .doc = kDoc,
                                          .construct = constructor<kConstructor, construct>,
                                          .methods = methods,
                                          .properties = properties});
}

}  // namespace quovel::py
