// Circuit: what a simulation runs, worked out once when it is bound (the
// first update does it), after the component's table is final.
//
// The trees are lowered to gates (GateGraph), the schedule says how an
// update may run (schedule.cpp), and a component without feedback whose
// reads settle gets the pass plan both one-pass engines are built from. It
// never changes afterwards; the values are the BusState's and the ways of
// running it are the runners'.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "component/component.hpp"
#include "component/memories.hpp"
#include "engine/pass_plan.hpp"
#include "engine/registers.hpp"
#include "engine/schedule.hpp"
#include "engine/update_control.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

struct Circuit {
  GateGraph graph;
  Schedule schedule;
  std::optional<PassPlan> plan;       // one-pass circuits only
  std::vector<std::uint32_t> inputs;  // positions of busses without an assignment
  // Some gate, some register (as its d, enable or asynchronous reset) or
  // some memory port reads a clock: the clock's level within a step is then
  // seen.
  bool clocks_read = false;
  // Influence entries that name a bus of the component.
  std::size_t influence_entries = 0;

  bool one_pass() const noexcept { return schedule.one_pass; }
  bool is_input(std::size_t position) const {
    return graph.driver(position).kind == BusDriver::Kind::kInput;
  }
  // Whether a pass of a one-pass circuit can change the bus at `position`:
  // it is driven by gates, or copies (through other copies) a bus that is.
  // A copy of an input or a constant shares its value.
  bool pass_changes(std::size_t position) const;
};

// Binds `component`, whose busses hold `values` (their widths fix those of
// the one-pass form). A large component takes a while: `control` is polled
// along the busses and between the steps, and an interrupt gives nullopt.
std::optional<Circuit> bind_circuit(const Component& component, std::span<const BitBusValue> values,
                                    const Registers& registers, const Memories& memories,
                                    const UpdateControl& control);

}  // namespace nimbo
