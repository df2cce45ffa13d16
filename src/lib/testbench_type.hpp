// The Python classes nimbo._engine.Testbench (nimbo.Design's native path)
// and nimbo._engine.Lanes (its many copies side by side, nimbo.DesignLanes').
#pragma once

#include "lib/python.hpp"

namespace nimbo::py {

// The type objects, created on first need. Borrowed; null with an exception
// set when they cannot be created.
PyObject* testbench_type();
PyObject* lanes_type();

}  // namespace nimbo::py
