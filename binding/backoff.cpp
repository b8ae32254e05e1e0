// connect_backoff: the caller's retry schedule.
#include "quovel/backoff.hpp"
#include <cstdint>

#include "arguments.hpp"
#include "bindings.hpp"
#include "callables.hpp"
#include "convert.hpp"

namespace quovel::py {
namespace {

constexpr Signature<1> kConnectBackoff{"connect_backoff", {"attempt"}, 1};

PyObject* connect_backoff(const Arguments<1>& given) {
  const auto attempt = to_unsigned<std::uint32_t>(given[0], "attempt");
  if (!attempt) return nullptr;
  return PyFloat_FromDouble(connect_backoff_seconds(*attempt));
}

}  // namespace

PyMethodDef& connect_backoff_method() {
  static PyMethodDef method = {"connect_backoff",
                               as_method(module_function<kConnectBackoff, connect_backoff>),
                               METH_FASTCALL | METH_KEYWORDS,
                               "connect_backoff(attempt)\n--\n\n"
                               "Seconds to wait before connect attempt `attempt` (1-based)."};
  return method;
}

}  // namespace quovel::py
