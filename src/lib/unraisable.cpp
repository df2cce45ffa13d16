#include "lib/unraisable.hpp"

#include "lib/fault.hpp"

namespace nimbo::py {

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
