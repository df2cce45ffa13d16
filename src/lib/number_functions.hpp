// The module functions of nimbo._engine that read and write values as
// numbers (busses/number_text.hpp), so that Python reads numbers by the
// same rule as the simulator.
#pragma once

#include "lib/python.hpp"

namespace nimbo::py {

// parse_value(value, width) and format_value(bits, radix).
extern PyMethodDef number_functions[];

}  // namespace nimbo::py
