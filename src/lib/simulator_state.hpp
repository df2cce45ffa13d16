// What a nimbo.Simulator object holds, for the types built on it (the
// testbench and its lanes) as for the Simulator's own methods.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "engine/simulation.hpp"
#include "engine/write_roles.hpp"
#include "lib/call_lock.hpp"
#include "lib/python.hpp"
#include "lib/value_dict.hpp"
#include "renderer/vector_lines.hpp"

namespace nimbo::py {

struct SimulatorState {
  explicit SimulatorState(Simulation settled)
      : simulation(std::move(settled)), initial(simulation.snapshot()) {}

  Simulation simulation;
  std::vector<BitBusValue> initial;        // the initial state: rendered, then settled
  BusKeys keys;                            // the ids as strs, built on first need
  VectorBlock lines;                       // reads run_jsonl's blocks, one after the other
  std::string rows;                        // run_jsonl's rows as text, reused from block to block
  std::size_t next_line = 1;               // the line after run_jsonl's last data
  std::vector<BitStringNote> bit_strings;  // noted by run_jsonl's last call
  std::vector<WriteRole> roles;            // what each bus is to a write of inputs, on first need
  CallLock calls;                          // one call at a time
};

// The state of a Simulator object; null with TypeError set (naming
// `argument`) when `object` is no Simulator.
SimulatorState* simulator_state(PyObject* object, const char* argument);

// Holds the simulator's call lock for one call (see call_lock.hpp): every
// method that reads or changes the simulation takes it first and keeps it
// until its result is built.
class SimulatorCall : public CallGuard {
 public:
  explicit SimulatorCall(SimulatorState& state) : CallGuard(state.calls, "simulator") {}
};

}  // namespace nimbo::py
