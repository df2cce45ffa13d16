// What a long update consults while it runs.
#pragma once

#include <cstdint>

namespace nimbo {

struct UpdateControl {
  // Polled every so often; true stops the update, which then reports an
  // error whose interrupted() is true.
  bool (*interrupted)() = nullptr;
  // For a component with feedback: the most work (value words evaluated)
  // the update may do; 0 for the simulation's own work_limit().
  std::uint64_t work_limit = 0;
};

}  // namespace nimbo
