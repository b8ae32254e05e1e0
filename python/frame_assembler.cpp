// Python class FrameAssembler over the core's frame assembler.
#include <array>

#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "quovel/frames.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

using Self = Wrapped<FrameAssembler>;

const Signature<0> kConstructor{"FrameAssembler", {}, 0};
const Signature<1> kPush{"FrameAssembler.push", {"data"}, 1};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 0> none_given{};
  if (!parse_tuple(kConstructor, args, kwargs, none_given)) return nullptr;
  return guarded([&] { return wrap(type, FrameAssembler()); });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, 1> given{};
  if (!parse_vectorcall(kPush, args, nargsf, kwnames, given)) return nullptr;
  return with_exclusive<FrameAssembler>(self, [&](FrameAssembler& assembler) -> PyObject* {
    const auto data = to_bytes_view(given[0], "data");
    if (!data) return nullptr;
    assembler.push(*data);
    return none();
  });
}

PyObject* next_frame(PyObject* self, PyObject*) {
  return with_exclusive<FrameAssembler>(self, [](FrameAssembler& assembler) {
    const auto frame = assembler.next_frame();
    return frame ? new_bytes(*frame) : none();
  });
}

PyMethodDef methods[] = {
    {"push", as_method(push), METH_FASTCALL | METH_KEYWORDS,
     "push($self, data)\n--\n\nFeed raw notification bytes."},
    {"next_frame", next_frame, METH_NOARGS,
     "next_frame($self)\n--\n\nReturn the next complete frame (CRLF stripped), or `None`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {.slot = Py_tp_doc,
     .pfunc = const_cast<char*>("FrameAssembler()\n--\n\nReassembles complete protocol frames from "
                                "BLE notification chunks.")},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(construct)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(wrapped_dealloc<FrameAssembler>)},
    {.slot = Py_tp_methods, .pfunc = methods},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec spec = {
    .name = "builtins.FrameAssembler",
    .basicsize = sizeof(Self),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = slots,
};

}  // namespace

PyTypeObject* frame_assembler_type() {
  static PyObject* type = nullptr;
  return type_once(type, spec);
}

}  // namespace quovel::py
