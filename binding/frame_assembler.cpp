// Python class FrameAssembler over the core's frame assembler.
#include "arguments.hpp"
#include "bindings.hpp"
#include "callables.hpp"
#include "convert.hpp"
#include "quovel/frames.hpp"
#include "wrapped.hpp"

namespace quovel::py {
namespace {

constexpr Signature<0> kConstructor{"FrameAssembler", {}, 0};
constexpr Signature<1> kPush{"FrameAssembler.push", {"data"}, 1};

PyObject* construct(PyTypeObject* type, const Arguments<0>&) {
  return wrap(type, FrameAssembler());
}

PyObject* push(FrameAssembler& assembler, const Arguments<1>& given) {
  const auto data = to_bytes_view(given[0], "data");
  if (!data) return nullptr;
  assembler.push(*data);
  return none();
}

PyObject* next_frame(FrameAssembler& assembler) {
  const auto frame = assembler.next_frame();
  return frame ? new_bytes(*frame) : none();
}

PyMethodDef methods[] = {
    {"push", as_method(method<FrameAssembler, kPush, push>), METH_FASTCALL | METH_KEYWORDS,
     "push($self, data)\n--\n\nFeed raw notification bytes."},
    {"next_frame", method_without_arguments<FrameAssembler, next_frame>, METH_NOARGS,
     "next_frame($self)\n--\n\nReturn the next complete frame (CRLF stripped), or `None`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* frame_assembler_type() {
  static PyObject* type = nullptr;
  return wrapped_type<FrameAssembler>(
      type, {.name = "builtins.FrameAssembler",
             .doc = "FrameAssembler()\n--\n\nReassembles complete protocol frames from BLE "
                    "notification chunks.",
             .construct = constructor<kConstructor, construct>,
             .methods = methods});
}

}  // namespace quovel::py
