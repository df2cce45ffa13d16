// What an object being released does with a failure it cannot raise.
#pragma once

#include "lib/python.hpp"

namespace nimbo::py {

// Reports `error_type(message)` through the unraisable-exception hook, for
// failures met while an object is being released. `context` names the origin.
void report_unraisable(PyObject* error_type, const char* message, PyObject* context) noexcept;

// Keeps the exception that was pending when a deallocation started, and
// puts it back when the deallocation ends.
class PendingErrorKeeper {
 public:
  PendingErrorKeeper() noexcept;
  ~PendingErrorKeeper();
  // Drops the kept exception; the keeper then clears nothing at its end
  // only if no exception is pending then.
  void discard() noexcept;
  PendingErrorKeeper(const PendingErrorKeeper&) = delete;
  PendingErrorKeeper& operator=(const PendingErrorKeeper&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception_;
#else
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
#endif
};

}  // namespace nimbo::py
