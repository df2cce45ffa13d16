// Schedule: how a component's update can run, worked out once its busses,
// assignments and influence lists are final.
#pragma once

#include <cstdint>
#include <vector>

#include "busses/bus_table.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

struct Schedule {
  // Some driven bus reads itself through a chain of driven busses. Only such
  // a component can fail to settle.
  bool feedback = false;
  // The update ends in exactly the values of one pass that evaluates every
  // driven bus once, in `order` (see schedule.cpp for why).
  bool one_pass = false;
  // Every driven position, each after every driven bus it reads. Empty when
  // there is feedback.
  std::vector<std::uint32_t> order;
};

Schedule make_schedule(const GateGraph& graph, const BusTable& busses);

}  // namespace nimbo
