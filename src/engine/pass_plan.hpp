// PassPlan: the static facts both one-pass engines are built from.
//
// In a component without feedback every width is fixed once the inputs'
// widths are: a gate's result has the smaller width of its operands, a copy
// the width of what it copies. Gates are grouped into levels (a gate reads
// only values of lower levels) and, inside a level, by truth table and
// width, so an engine runs long stretches of the same operation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "engine/schedule.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

struct PassPlan {
  // Width of every value: busses (driven ones as evaluated), constants, and
  // temporaries that some gate writes.
  std::vector<std::uint64_t> widths;
  // Indices into graph.gates(), level by level, grouped by (table, width)
  // inside a level.
  std::vector<std::uint32_t> gate_order;
  // gate_order[run_starts[k] .. run_starts[k + 1]) share level, table and width.
  std::vector<std::uint32_t> run_starts;
  // The level of each run (1 for gates that read only inputs and constants).
  std::vector<std::uint32_t> run_levels;
  std::uint32_t levels = 0;
};

// The plan of a one-pass circuit whose busses hold `values` (the inputs'
// widths are theirs).
PassPlan make_pass_plan(const GateGraph& graph, const Schedule& schedule,
                        std::span<const BitBusValue> values);

// `plan.gate_order` with the gates of each run sorted by the earliest place
// of their operands (inputs and constants first, by id; results by their
// place in this order): the readers of one value sit side by side, which
// is what an engine that marks readers by words of gates wants. The runs
// (their gates as sets, their starts and levels) stay those of `plan`.
std::vector<std::uint32_t> gates_by_operands(const GateGraph& graph, const Schedule& schedule,
                                             const PassPlan& plan);

}  // namespace nimbo
