// The names a testbench writes and reads (nimbo.Design's): each a port over
// busses of the simulator, least significant bit first (VectorNames' rule: a
// port of one bus takes that bus's whole value, a port of many one bit of
// each), with what messages call it and which calls may write it. Ports and
// nets are handed over by name; a bus is found by its id on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "lib/py_ref.hpp"
#include "lib/python.hpp"
#include "lib/simulator_state.hpp"
#include "renderer/vector_names.hpp"

namespace nimbo::py {

// Which calls may write a name.
enum class PortRole : std::uint8_t {
  kRead = 0,   // none: an output or a net driven by logic, a driven bus
  kInput = 1,  // step and settle: an input port, a bus without assignment that is no q
  kState = 2,  // poke: a register's state (a q, or a name whose busses are all q's)
};

struct TablePort {
  PyRef name;
  VectorNames::Port port;  // its name is not kept: `name` is
  std::size_t width = 0;   // of a value written to it or read from it
  std::string label;       // "port 'a'", "bus 'a[1]'"
  PortRole role = PortRole::kRead;
  std::size_t index = 0;  // in its table
};

class PortTable {
 public:
  explicit PortTable(SimulatorState& state);

  // Adds `entries`, a sequence of (name, bus ids, label, input) tuples: an
  // entry with `input` true is written by steps, another is a register's
  // state when its busses are all q's. A name given again replaces nothing.
  // False with an exception set (a bus id that names no bus: ValueError).
  bool add(PyObject* entries);

  // The entry named by the str `name`, a bus without an entry being added
  // on first use ("bus 'id'"); null when there is neither (nothing set) or
  // on an error (`error` set true, with the exception).
  const TablePort* find(PyObject* name, bool& error);
  const TablePort& at(std::size_t index) const { return ports_[index]; }

  // The role of each bus, by position.
  const std::vector<PortRole>& bus_roles() const noexcept { return bus_roles_; }

 private:
  bool add_port(PyObject* name, std::vector<std::uint32_t> positions, std::string label,
                bool input);

  SimulatorState& state_;
  std::vector<PortRole> bus_roles_;
  PyRef index_ = PyRef::steal(PyDict_New());  // name -> its index in ports_
  std::deque<TablePort> ports_;               // entries never move: calls keep pointers to them
};

}  // namespace nimbo::py
