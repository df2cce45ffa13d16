// The Python class Renderer: renders an IR text and hands out its component.
#pragma once

#include "lib/python.hpp"

namespace nimbo::py {

// The Renderer type object, created on first need. Borrowed; null with an
// exception set when it cannot be created.
PyObject* renderer_type();

}  // namespace nimbo::py
