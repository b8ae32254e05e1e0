// connect_backoff: the caller's retry schedule.
#include <array>

#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "quovel/backoff.hpp"

namespace quovel::py {
namespace {

const Signature<1> kConnectBackoff{"connect_backoff", {"attempt"}, 1};

PyObject* connect_backoff(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, 1> given{};
  if (!parse_vectorcall(kConnectBackoff, args, nargsf, kwnames, given)) return nullptr;
  const auto attempt = to_unsigned<std::uint32_t>(given[0], "attempt");
  if (!attempt) return nullptr;
  return PyFloat_FromDouble(connect_backoff_seconds(*attempt));
}

}  // namespace

PyMethodDef& connect_backoff_method() {
  static PyMethodDef method = {"connect_backoff", as_method(connect_backoff),
                               METH_FASTCALL | METH_KEYWORDS,
                               "connect_backoff(attempt)\n--\n\n"
                               "Seconds to wait before connect attempt `attempt` (1-based)."};
  return method;
}

}  // namespace quovel::py
