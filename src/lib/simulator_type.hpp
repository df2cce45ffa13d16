// The Python class nimbo.Simulator and the nimbo.VectorError exception.
#pragma once

#include "lib/python.hpp"

namespace nimbo::py {

// The Simulator type object, created on first need. Borrowed; null with an
// exception set when it cannot be created.
PyObject* simulator_type();

// The VectorError exception type (a RuntimeError), created on first need.
PyObject* vector_error_type();

}  // namespace nimbo::py
