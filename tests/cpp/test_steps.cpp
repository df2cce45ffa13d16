// Steps of designs with registers on the word pass.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"

namespace nimbo {
namespace {

// A register of 65 bits whose last bit alone changes at each edge (d = q
// xor a constant with only that bit set), read by logic among enough gates
// that a step follows its changes instead of running every gate.
TEST(Steps, AChangeOfAWideRegistersUpperWordReachesItsReaders) {
  const std::string high(64, '0');
  Component component("wide");
  component.add_bus("clk", BitBus());
  component.add_bus("q", BitBus(BitBusValue::zeros(65)));
  component.add_bus("d", BitBus(BitBusValue::zeros(65)));
  component.add_bus("y", BitBus(BitBusValue::zeros(65)));
  const auto mask = [&] {
    return std::make_unique<Const>(BitBusValue::from_string(high + "1").value());
  };
  component.set_assignment("d", make_gate_node(Gate::kXor, std::make_unique<BusRef>("q"), mask()));
  component.set_assignment("y", make_gate_node(Gate::kAnd, std::make_unique<BusRef>("q"), mask()));
  EXPECT_TRUE(component.add_influence("q", "d").ok());
  EXPECT_TRUE(component.add_influence("q", "y").ok());
  component.add_bus("a", BitBus());
  for (int i = 0; i < 40; ++i) {  // unrelated gates
    const std::string id = "f" + std::to_string(i);
    component.add_bus(id, BitBus());
    component.set_assignment(id, std::make_unique<Not>(std::make_unique<BusRef>("a")));
    EXPECT_TRUE(component.add_influence("a", id).ok());
  }
  RegisterRecord reg;
  reg.q = "q";
  reg.d = "d";
  reg.clock = "clk";
  Result<Registers> registers = resolve_registers(component, {&reg, 1});
  ASSERT_TRUE(registers.ok());
  Simulation simulation(std::move(component), std::move(registers).value());
  ASSERT_TRUE(simulation.settle().ok());
  ASSERT_TRUE(simulation.runs_one_pass());
  BitBusValue y;
  for (int step = 1; step <= 4; ++step) {
    ASSERT_TRUE(simulation.step({}).ok());
    simulation.read_value(*simulation.find("y"), y);
    EXPECT_EQ(y.to_string(), high + (step % 2 == 1 ? "1" : "0")) << "step " << step;
  }
}

}  // namespace
}  // namespace nimbo
