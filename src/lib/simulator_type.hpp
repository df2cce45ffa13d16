// The Python class nimbo.Simulator.
#pragma once

#include "lib/python.hpp"

namespace nimbo::py {

// The Simulator type object, created on first need. Borrowed; null with an
// exception set when it cannot be created.
PyObject* simulator_type();

}  // namespace nimbo::py
