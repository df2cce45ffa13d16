#include "lib/fault.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/py_text.hpp"

namespace nimbo::py {
namespace {

constexpr const char* kPanicName = "nimbo.PanicException";
constexpr const char* kPanicDoc =
    "Raised when nimbo meets an internal fault it cannot recover from.\n\n"
    "It derives from BaseException, so `except Exception` does not catch it.";

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("nimbo.core: uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(std::string_view message) noexcept {
  try {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation failure is pending
    raise_error(type, message);
  } catch (...) {
    abort_at_boundary();
  }
}

void fail_api_call() {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  throw Fault(std::string(kApiCallFailed));
}

void raise_current_fault() noexcept {
  try {
    throw;
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("internal fault");
  }
}

}  // namespace nimbo::py
