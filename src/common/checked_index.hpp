// Indices kept in 32 bits: the simulation's arrays hold positions, slots and
// signals as std::uint32_t, half the memory of size_t for the reads that
// land anywhere. A component too large for that fails when it is bound,
// with a std::length_error naming what overflowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace nimbo {

// `index` as a 32-bit index; std::length_error ("too many <what> in one
// component") when it does not fit (the largest value is kept free as a
// "none" marker).
inline std::uint32_t checked_index(std::size_t index, const char* what) {
  if (index >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error(std::string("too many ") + what + " in one component");
  }
  return static_cast<std::uint32_t>(index);
}

}  // namespace nimbo
