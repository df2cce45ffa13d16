#include "engine/circuit.hpp"

#include <utility>

namespace nimbo {
namespace {

bool reads_a_clock(const GateGraph& graph, const Registers& registers, const Memories& memories) {
  if (registers.clocks.empty()) return false;
  for (const Register& reg : registers.list) {
    for (const auto read : {std::optional<std::uint32_t>(reg.d), reg.enable, reg.async_reset}) {
      if (read && registers.clock_at(*read)) return true;
    }
  }
  const auto any_clock = [&](const BitList& list) {
    for (const std::uint32_t p : list) {
      if (registers.clock_at(p)) return true;
    }
    return false;
  };
  for (const Memory& memory : memories.list) {
    for (const MemoryReadPort& port : memory.read_ports) {
      if (any_clock(port.address)) return true;
      for (const auto read : {port.enable, port.async_reset, port.sync_reset}) {
        if (read && registers.clock_at(*read)) return true;
      }
    }
    for (const MemoryWritePort& port : memory.write_ports) {
      if (any_clock(port.address) || any_clock(port.data) || any_clock(port.enable)) return true;
    }
  }
  for (std::size_t q = 0; q < graph.bus_count(); ++q) {
    bool reads = false;
    graph.for_each_bus_read(q, [&](ValueId r) { reads = reads || registers.clock_at(r); });
    if (reads) return true;
  }
  return false;
}

}  // namespace

bool Circuit::pass_changes(std::size_t position) const {
  // Copies chain without cycles in a one-pass circuit; the bound is a guard.
  for (std::size_t hops = 0; hops <= graph.bus_count(); ++hops) {
    const BusDriver& driver = graph.driver(position);
    if (driver.kind == BusDriver::Kind::kInput) return false;
    if (driver.kind == BusDriver::Kind::kGates) return true;
    if (!graph.is_bus(driver.source)) return false;  // a constant
    position = driver.source;
  }
  return true;
}

std::optional<Circuit> bind_circuit(const Component& component, std::span<const BitBusValue> values,
                                    const Registers& registers, const Memories& memories,
                                    const UpdateControl& control) {
  Circuit circuit;
  const BusTable& table = component.busses();
  const std::size_t count = table.size();
  GraphBuilder builder(table);
  for (std::size_t p = 0; p < count; ++p) {
    const Evaluator* tree = component.assignment(table.id(p));
    if (tree != nullptr) builder.add_driver(p, *tree);
    if (control.poll(1)) return std::nullopt;
  }
  circuit.graph = std::move(builder).take();
  if (control.due()) return std::nullopt;
  circuit.schedule = make_schedule(circuit.graph, table);
  if (control.due()) return std::nullopt;
  for (std::size_t p = 0; p < count; ++p) {
    if (circuit.is_input(p)) circuit.inputs.push_back(static_cast<std::uint32_t>(p));
    for (const std::uint64_t target : table.influence_list(p)) {
      circuit.influence_entries += target < count;
    }
  }
  if (circuit.schedule.one_pass) {
    circuit.plan = make_pass_plan(circuit.graph, circuit.schedule, values);
    if (control.due()) return std::nullopt;
  }
  circuit.clocks_read = reads_a_clock(circuit.graph, registers, memories);
  return circuit;
}

}  // namespace nimbo
