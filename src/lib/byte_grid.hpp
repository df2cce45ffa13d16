// Rows of 0/1 bytes handed to Python: a memoryview of any shape, also one
// with no rows or no columns (which memoryview.cast cannot make).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "lib/python.hpp"

namespace nimbo::py {

// A new writable memoryview of format "B" and the given shape (one to three
// dimensions, C order) over `bytes`, which it keeps; the product of the shape
// is at most bytes.size(). Null with an exception set.
PyObject* byte_grid(std::vector<std::uint8_t> bytes, std::initializer_list<std::size_t> shape);

}  // namespace nimbo::py
