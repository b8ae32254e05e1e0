// Python class Advertisement and the functions that make one:
// parse_advertisement (one entry) and select_advertisement (a whole map).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "bindings.hpp"
#include "callables.hpp"
#include "convert.hpp"
#include "py_ref.hpp"
#include "quovel/advertisement.hpp"
#include "quovel/bytes.hpp"
#include "quovel/selection.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

PyObject* kind_text_object(AdvertisementKind kind) {
  static std::array<PyObject*, 4> texts{};
  return interned(texts[static_cast<std::size_t>(kind)], kind_text(kind)).release();
}

PyObject* optional_flag(std::optional<bool> flag) { return flag ? new_bool(*flag) : none(); }

PyObject* kind(const Advertisement& ad) { return kind_text_object(ad.kind()); }
PyObject* address(const Advertisement& ad) {
  const auto text = ad.address();
  return text ? new_str(*text) : none();
}
PyObject* battery(const Advertisement& ad) {
  const auto level = ad.battery();
  return level ? PyLong_FromLong(*level) : none();
}
PyObject* is_unlocked(const Advertisement& ad) { return optional_flag(ad.is_unlocked()); }
PyObject* has_events(const Advertisement& ad) { return optional_flag(ad.has_events()); }
PyObject* is_setting_mode(const Advertisement& ad) { return optional_flag(ad.is_setting_mode()); }
PyObject* lock_version(const Advertisement& ad) {
  const auto version = ad.lock_version();
  return version ? new_lock_version(*version) : none();
}

PyGetSetDef properties[] = {
    {"kind", getter<Advertisement, kind>, nullptr,
     "Which shape of payload this was: `\"unrecognized\"`, `\"dfu\"`,\n`\"stateless\"`, or "
     "`\"stateful\"`.",
     nullptr},
    {"address", getter<Advertisement, address>, nullptr, nullptr, nullptr},
    {"battery", getter<Advertisement, battery>, nullptr, nullptr, nullptr},
    {"is_unlocked", getter<Advertisement, is_unlocked>, nullptr,
     "`True` if the lock currently reports itself unlocked, `None` if the\nadvertisement does not "
     "carry the flag.",
     nullptr},
    {"has_events", getter<Advertisement, has_events>, nullptr, nullptr, nullptr},
    {"is_setting_mode", getter<Advertisement, is_setting_mode>, nullptr, nullptr, nullptr},
    {"lock_version", getter<Advertisement, lock_version>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Parsed `Quovel` advertisement fields, used by HA passive Bluetooth\n"
    "coordinators for state/battery without connecting.\n\n"
    "Every state getter returns `None` when the payload could not carry that\n"
    "fact, rather than a plausible-looking default. Read [`Self::kind`] to tell\n"
    "\"this lock reports itself locked\" from \"this payload cannot report a bolt\n"
    "position at all\".";

constexpr Signature<2> kParse{"parse_advertisement", {"manufacturer_id", "data"}, 2};
constexpr Signature<2> kSelect{
    "select_advertisement", {"manufacturer_data", "expected_address"}, 1};

PyObject* parse_advertisement(const Arguments<2>& given) {
  const auto company_id = to_unsigned<std::uint16_t>(given[0], "manufacturer_id");
  if (!company_id) return nullptr;
  const auto data = to_bytes_view(given[1], "data");
  if (!data) return nullptr;
  return wrap(advertisement_type(), parse_manufacturer_data(*company_id, *data));
}

// The whole map, converted before anything is decoded. Bytes values are
// viewed in place (held alive by `held_`); other values are copied.
class ConvertedMap {
 public:
  bool convert(PyObject* map) {
    if (!PyDict_Check(map)) {
      raise_cannot_convert(map, "dict");
      return false;
    }
    const Py_ssize_t size = PyDict_Size(map);
    entries_.reserve(static_cast<std::size_t>(size));
    if (static_cast<std::size_t>(size) > held_inline_.size()) {
      held_.reserve(static_cast<std::size_t>(size) - held_inline_.size());
    }
    Py_ssize_t position = 0;
    Py_ssize_t seen = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (true) {
      // Converting a key or value may run caller code that alters the dict.
      if (PyDict_Size(map) != size) return changed("dictionary changed size during iteration");
      if (!PyDict_Next(map, &position, &key, &value)) break;
      if (++seen > size) return changed("dictionary keys changed during iteration");
      if (!add(PyRef::borrow(key), PyRef::borrow(value))) return false;
    }
    return true;
  }

  std::span<const ManufacturerEntry> entries() const { return entries_.entries(); }

 private:
  bool add(PyRef key, PyRef value) {
    const auto company_id = to_unsigned<std::uint16_t>(key.get(), nullptr);
    if (!company_id) return false;
    if (PyBytes_Check(value.get())) {
      const auto view = to_bytes_view(value.get(), nullptr);
      if (!view) return false;
      hold(std::move(value));
      entries_.put(*company_id, *view);
      return true;
    }
    auto bytes = to_byte_sequence(value.get(), nullptr);
    if (!bytes) return false;
    // A vector's bytes stay where they are when the vector moves, so earlier
    // views stay valid as owned_ grows.
    owned_.push_back(std::move(*bytes));
    entries_.put(*company_id, owned_.back());
    return true;
  }

  // The few values of an ordinary map are held without an allocation.
  void hold(PyRef value) {
    if (held_count_ < held_inline_.size()) {
      held_inline_[held_count_++] = std::move(value);
    } else {
      held_.push_back(std::move(value));
    }
  }

  static bool changed(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
  }

  ManufacturerEntries entries_;
  std::array<PyRef, ManufacturerEntries::kInline> held_inline_;
  std::size_t held_count_ = 0;
  std::vector<PyRef> held_;
  std::vector<Bytes> owned_;
};

// The map a device carries: a few exact int keys to bytes values. Reading
// those runs no caller code, so the dict cannot change underneath and its
// own references keep the values alive; distinct exact ints are distinct
// identifiers. False (nothing raised) for any other map: the general path
// then converts it from the start.
bool convert_plain(PyObject* map, std::array<ManufacturerEntry, ManufacturerEntries::kInline>& out,
                   std::size_t& count) {
  if (!PyDict_Check(map) || PyDict_Size(map) > static_cast<Py_ssize_t>(out.size())) return false;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  count = 0;
  while (PyDict_Next(map, &position, &key, &value)) {
    if (!PyLong_CheckExact(key) || !PyBytes_Check(value)) return false;
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow != 0 || id < 0 || id > 0xFFFF) return false;  // the general path raises
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value, &data, &size) < 0) {
      PyErr_Clear();
      return false;
    }
    out[count++] = {
        static_cast<std::uint16_t>(id),
        ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size))};
  }
  return true;
}

PyObject* select_advertisement(const Arguments<2>& given) {
  std::optional<std::string_view> expected_address;
  if (given[1] != nullptr && given[1] != Py_None) {
    expected_address = to_utf8(given[1], "expected_address");
    if (!expected_address) return nullptr;
  }
  std::array<ManufacturerEntry, ManufacturerEntries::kInline> plain;
  std::size_t count = 0;
  if (convert_plain(given[0], plain, count)) {
    return wrap(advertisement_type(),
                quovel::select_advertisement(std::span(plain).first(count), expected_address));
  }
  ConvertedMap map;
  if (!map.convert(given[0])) return nullptr;
  return wrap(advertisement_type(), quovel::select_advertisement(map.entries(), expected_address));
}

}  // namespace

PyTypeObject* advertisement_type() {
  static PyObject* type = nullptr;
  // No constructor: only the two functions make one.
  return wrapped_type<Advertisement>(
      type, {.name = "builtins.Advertisement", .doc = kDoc, .properties = properties});
}

const Advertisement* advertisement_argument(PyObject* value, const char* argument) {
  PyTypeObject* type = advertisement_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(value, type)) {
    raise_expected_type(argument, "Advertisement", value);
    return nullptr;
  }
  // Immutable, so never borrowed exclusively: reading it needs no borrow.
  return &*as_wrapped<Advertisement>(value)->value;
}

PyMethodDef& parse_advertisement_method() {
  static PyMethodDef method = {
      "parse_advertisement", as_method(module_function<kParse, parse_advertisement>),
      METH_FASTCALL | METH_KEYWORDS,
      "parse_advertisement(manufacturer_id, data)\n--\n\n"
      "Parse a `Quovel` manufacturer-data advertisement. `manufacturer_id` is the\n"
      "16-bit company identifier; `data` is the manufacturer-specific payload that\n"
      "follows it (as delivered by bleak)."};
  return method;
}

PyMethodDef& select_advertisement_method() {
  static PyMethodDef method = {
      "select_advertisement", as_method(module_function<kSelect, select_advertisement>),
      METH_FASTCALL | METH_KEYWORDS,
      "select_advertisement(manufacturer_data, expected_address=None)\n--\n\n"
      "Choose the most informative entry from a whole manufacturer-data map.\n\n"
      "Prefer this over calling [`parse_advertisement`] per entry and picking one.\n"
      "A device can carry several entries and the Bluetooth stack accumulates them,\n"
      "so a stale entry sits indefinitely beside a live one; this applies the same\n"
      "selection rules as the companion daemon \u2014 prefer a payload carrying state,\n"
      "prefer one whose decoded address matches `expected_address`, break ties on\n"
      "the company identifier so the answer never depends on dict ordering."};
  return method;
}

}  // namespace quovel::py
