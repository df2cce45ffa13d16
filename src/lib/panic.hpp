// Internal faults and the boundary that keeps them out of the interpreter.
//
// A fault is an operation that cannot go on (a poisoned lock, a Renderer used
// on a foreign thread, an object the interpreter cannot create, or any C++
// exception such as std::bad_alloc). Inside the module it travels as a C++
// exception; every entry point catches it and raises PanicException, which
// derives from BaseException so that `except Exception` lets it pass.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "lib/python.hpp"

namespace nimbo::py {

class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Message of the fault raised when the interpreter fails to create a str or
// an empty dict that a result needs.
inline constexpr std::string_view kApiCallFailed = "Python API call failed";

// The PanicException type, created on first need; null with an error set
// when it cannot be created. Borrowed: it lives for the rest of the process.
PyObject* panic_exception_type() noexcept;

// Sets `type(message)` as the pending exception, the message decoded from
// UTF-8; returns null for the caller to hand on. If the message cannot be
// made, the interpreter's error is pending instead.
PyObject* raise_error(PyObject* type, std::string_view message) noexcept;

// Sets PanicException(message) as the pending exception. A fault while doing
// so aborts the process.
void raise_panic(std::string_view message) noexcept;

// Prints the interpreter's pending error and raises the "Python API call
// failed" fault.
[[noreturn]] void fail_api_call();

// A new str holding `text`, or the "Python API call failed" fault.
PyObject* new_str(std::string_view text);

// Raises the fault described by the exception being handled.
void raise_current_fault() noexcept;

// Runs an entry point's body; a fault becomes PanicException and the entry
// point returns `on_fault` (null, or -1 for int slots).
template <class Result, class Body>
Result run_entry(Result on_fault, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_fault();
    return on_fault;
  }
}

template <class Body>
PyObject* entry(Body&& body) noexcept {
  return run_entry<PyObject*>(nullptr, std::forward<Body>(body));
}

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
