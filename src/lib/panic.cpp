#include "lib/panic.hpp"

#include <cstdio>
#include <cstdlib>

#include "lib/py_ref.hpp"

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

PyObject* raise_error(PyObject* type, std::string_view message) noexcept {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
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

PyObject* new_str(std::string_view text) {
  PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (result == nullptr) fail_api_call();
  return result;
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

void report_unraisable(PyObject* error_type, const char* message, PyObject* context) noexcept {
  if (error_type == nullptr) {
    raise_panic(message);
  } else {
    PyErr_SetString(error_type, message);
  }
  PyErr_WriteUnraisable(context);
}

#if PY_VERSION_HEX >= 0x030C0000
PendingErrorKeeper::PendingErrorKeeper() noexcept : exception_(PyErr_GetRaisedException()) {}
PendingErrorKeeper::~PendingErrorKeeper() {
  PyErr_SetRaisedException(exception_);
}
void PendingErrorKeeper::discard() noexcept {
  Py_CLEAR(exception_);
}
#else
PendingErrorKeeper::PendingErrorKeeper() noexcept {
  PyErr_Fetch(&type_, &value_, &traceback_);
}
PendingErrorKeeper::~PendingErrorKeeper() {
  PyErr_Restore(type_, value_, traceback_);
}
void PendingErrorKeeper::discard() noexcept {
  Py_CLEAR(type_);
  Py_CLEAR(value_);
  Py_CLEAR(traceback_);
}
#endif

}  // namespace nimbo::py
