// What a nimbo._engine.Testbench object holds, for its lanes
// (nimbo._engine.Lanes) as for its own methods.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "engine/vectors.hpp"
#include "lib/port_table.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"
#include "lib/simulator_state.hpp"

namespace nimbo::py {

struct TestbenchState {
  TestbenchState(PyObject* simulator_object, SimulatorState& simulator_state)
      : simulator(PyRef::borrow(simulator_object)),
        state(&simulator_state),
        table(simulator_state) {}

  PyRef simulator;
  SimulatorState* state;  // the simulator's, alive while `simulator` is
  PortTable table;
  std::vector<std::size_t> outputs;             // table indices, in order
  std::vector<std::uint32_t> output_positions;  // their busses, one output after the other
  // Reused by every call: the converted values, their texts, the writes.
  std::vector<std::pair<const TablePort*, std::size_t>> given;  // port, start of its bits in texts
  std::string texts;
  std::vector<PositionInput> writes;
  std::vector<Word> words;
  std::vector<BitBusValue> values;
};

// The state of a Testbench object; null with TypeError set (naming
// `argument`) when `object` is no Testbench.
TestbenchState* testbench_state(PyObject* object, const char* argument);

}  // namespace nimbo::py
