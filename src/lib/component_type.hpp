// The Python class Component: a light handle on a component in the store.
#pragma once

#include <cstdint>
#include <string>

#include "lib/python.hpp"

namespace nimbo::py {

// The Component type object, created on first need. Borrowed; null with an
// exception set when it cannot be created.
PyObject* component_type();

// A new handle for the component stored under `key`, whose id is `id`.
// Null with an exception set when the object cannot be created.
PyObject* make_component_handle(std::string id, std::uint64_t key);

}  // namespace nimbo::py
