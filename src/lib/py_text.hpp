// Python strs and exceptions from the texts the core works with (UTF-8).
#pragma once

#include <string_view>

#include "lib/python.hpp"

namespace nimbo::py {

// Sets `type(message)` as the pending exception, the message decoded from
// UTF-8; returns null for the caller to hand on. If the message cannot be
// made, the interpreter's error is pending instead.
PyObject* raise_error(PyObject* type, std::string_view message) noexcept;

// A new str holding `text`, or the "Python API call failed" fault.
PyObject* new_str(std::string_view text);

}  // namespace nimbo::py
