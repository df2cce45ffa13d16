// Internal faults and the boundary that keeps them out of the interpreter.
//
// A fault is an operation that cannot go on (a poisoned lock, a Renderer used
// on a foreign thread, an object the interpreter cannot create, or any C++
// exception such as std::bad_alloc). Inside the modules it travels as a C++
// exception; every entry point catches it and raises PanicException, which
// derives from BaseException so that `except Exception` lets it pass.
#pragma once

#include <stdexcept>
#include <string_view>
#include <utility>

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

// Sets PanicException(message) as the pending exception. A fault while doing
// so aborts the process.
void raise_panic(std::string_view message) noexcept;

// Prints the interpreter's pending error and raises the "Python API call
// failed" fault.
[[noreturn]] void fail_api_call();

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

}  // namespace nimbo::py
