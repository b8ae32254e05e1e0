// Python class LockVersion: an immutable holder of one header record.
#include <optional>
#include <string>

#include "arguments.hpp"
#include "bindings.hpp"
#include "borrow.hpp"
#include "callables.hpp"
#include "convert.hpp"
#include "quovel/version.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

constexpr Signature<5> kConstructor{
    "LockVersion", {"protocol_type", "protocol_version", "scene", "group_id", "org_id"}, 0};

template <typename T>
bool convert_field(PyObject* value, const char* name, T& field) {
  if (value == nullptr) return true;  // keeps the default
  const auto converted = to_unsigned<T>(value, name);
  if (converted) field = *converted;
  return converted.has_value();
}

PyObject* construct(PyTypeObject* type, const Arguments<5>& given) {
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
PyObject* field(const LockVersion& version) {
  return PyLong_FromLong(static_cast<long>(version.*Field));
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
    {"protocol_type", getter<LockVersion, field<&LockVersion::protocol_type>>, nullptr, nullptr,
     nullptr},
    {"protocol_version", getter<LockVersion, field<&LockVersion::protocol_version>>, nullptr,
     nullptr, nullptr},
    {"scene", getter<LockVersion, field<&LockVersion::scene>>, nullptr, nullptr, nullptr},
    {"group_id", getter<LockVersion, field<&LockVersion::group_id>>, nullptr, nullptr, nullptr},
    {"org_id", getter<LockVersion, field<&LockVersion::org_id>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* lock_version_type() {
  static PyObject* type = nullptr;
  return wrapped_type<LockVersion>(
      type,
      {.name = "builtins.LockVersion",
       .doc = "LockVersion(protocol_type=5, protocol_version=3, scene=2, group_id=1, org_id=1)\n"
              "--\n\n"
              "`LockVersion` describes the protocol header used when framing commands.",
       .construct = constructor<kConstructor, construct>,
       .methods = methods,
       .properties = properties,
       .repr = represent});
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
