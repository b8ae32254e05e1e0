// Python class LockVersion: an immutable holder of one header record.
#include <array>
#include <string>

#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

using Self = Wrapped<LockVersion>;

const Signature<5> kConstructor{
    "LockVersion", {"protocol_type", "protocol_version", "scene", "group_id", "org_id"}, 0};

template <typename T>
bool convert_field(PyObject* value, const char* name, T& field) {
  if (value == nullptr) return true;  // keeps the default
  const auto converted = to_unsigned<T>(value, name);
  if (converted) field = *converted;
  return converted.has_value();
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 5> given{};
  if (!parse_tuple(kConstructor, args, kwargs, given)) return nullptr;
  LockVersion version = default_version();
  if (!convert_field(given[0], "protocol_type", version.protocol_type) ||
      !convert_field(given[1], "protocol_version", version.protocol_version) ||
      !convert_field(given[2], "scene", version.scene) ||
      !convert_field(given[3], "group_id", version.group_id) ||
      !convert_field(given[4], "org_id", version.org_id)) {
    return nullptr;
  }
  return wrap(type, LockVersion(version));
}

PyObject* default_version_method(PyObject*, PyObject*) {
  return new_lock_version(default_version());
}

template <auto Field>
PyObject* get_field(PyObject* self, void*) {
  return with_shared<LockVersion>(self, [](const LockVersion& version) {
    return PyLong_FromLong(static_cast<long>(version.*Field));
  });
}

PyObject* represent(PyObject* self) {
  return with_shared<LockVersion>(self, [](const LockVersion& version) {
    const std::string text = "LockVersion(protocol_type=" + std::to_string(version.protocol_type) +
                             ", protocol_version=" + std::to_string(version.protocol_version) +
                             ", scene=" + std::to_string(version.scene) +
                             ", group_id=" + std::to_string(version.group_id) +
                             ", org_id=" + std::to_string(version.org_id) + ")";
    return new_str(text);
  });
}

PyMethodDef methods[] = {
    {"default_version", default_version_method, METH_NOARGS | METH_STATIC,
     "default_version()\n--\n\n"
     "The default V3 lock version used when an advertisement does not provide\none."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"protocol_type", get_field<&LockVersion::protocol_type>, nullptr, nullptr, nullptr},
    {"protocol_version", get_field<&LockVersion::protocol_version>, nullptr, nullptr, nullptr},
    {"scene", get_field<&LockVersion::scene>, nullptr, nullptr, nullptr},
    {"group_id", get_field<&LockVersion::group_id>, nullptr, nullptr, nullptr},
    {"org_id", get_field<&LockVersion::org_id>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {.slot = Py_tp_doc,
     .pfunc = const_cast<char*>(
         "LockVersion(protocol_type=5, protocol_version=3, scene=2, group_id=1, org_id=1)\n--\n\n"
         "`LockVersion` describes the protocol header used when framing commands.")},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(construct)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(wrapped_dealloc<LockVersion>)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(represent)},
    {.slot = Py_tp_methods, .pfunc = methods},
    {.slot = Py_tp_getset, .pfunc = properties},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec spec = {
    .name = "builtins.LockVersion",
    .basicsize = sizeof(Self),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = slots,
};

}  // namespace

PyTypeObject* lock_version_type() {
  static PyObject* type = nullptr;
  return type_once(type, spec);
}

PyObject* new_lock_version(const LockVersion& version) {
  return wrap(lock_version_type(), LockVersion(version));
}

std::optional<LockVersion> version_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return default_version();
  PyTypeObject* type = lock_version_type();
  if (type == nullptr) return std::nullopt;
  if (!PyObject_TypeCheck(value, type)) {
    raise_expected_type("version", "LockVersion or None", value);
    return std::nullopt;
  }
  auto* wrapped = as_wrapped<LockVersion>(value);
  SharedBorrow borrow(wrapped->borrow);
  if (!borrow) return std::nullopt;
  return wrapped->value;
}

}  // namespace quovel::py
