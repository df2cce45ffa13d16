// The gate order of the one-bit word pass (gates_by_operands) against what
// a pass needs of an order: the runs of the plan, each gate after the gates
// whose results it reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/circuit.hpp"
#include "engine/pass_plan.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::ClockedShape;

struct OrderCase {
  const char* name;
  ClockedShape shape;
};

const OrderCase kOrderCases[] = {
    {"OneBit", {.widths = {1}, .registers = 12, .logic = 160, .filler = 40}},
    {"OneBitMemories", {.widths = {1}, .logic = 80, .memories = 2}},
    {"Wide", {.widths = {1, 3, 64, 65, 130}, .logic = 60}},
};

class GatesByOperands : public ::testing::TestWithParam<std::tuple<OrderCase, unsigned>> {};

TEST_P(GatesByOperands, KeepsTheRunsAndPutsEachGateAfterWhatItReads) {
  const auto& [order_case, seed] = GetParam();
  std::mt19937_64 rng(seed);
  const auto pick = [&](std::size_t count) { return static_cast<std::size_t>(rng() % count); };
  const testing_model::ClockedDesign design =
      testing_model::make_clocked_design(pick, order_case.shape);
  Component component = design.component();
  Result<Registers> registers = resolve_registers(component, design.registers);
  ASSERT_TRUE(registers.ok());
  Result<Memories> memories = resolve_memories(component, design.registers, design.memories);
  ASSERT_TRUE(memories.ok());
  const std::optional<Circuit> circuit =
      bind_circuit(component, component.busses().values(), registers.value(), memories.value(),
                   UpdateControl{nullptr, testing_model::kModelWorkLimit});
  ASSERT_TRUE(circuit.has_value());
  ASSERT_TRUE(circuit->plan.has_value());
  const PassPlan& plan = *circuit->plan;
  const GateGraph& graph = circuit->graph;
  const std::vector<std::uint32_t> order = gates_by_operands(graph, circuit->schedule, plan);

  ASSERT_EQ(order.size(), plan.gate_order.size());
  for (std::size_t k = 0; k + 1 < plan.run_starts.size(); ++k) {
    std::vector<std::uint32_t> planned(plan.gate_order.begin() + plan.run_starts[k],
                                       plan.gate_order.begin() + plan.run_starts[k + 1]);
    std::vector<std::uint32_t> got(order.begin() + plan.run_starts[k],
                                   order.begin() + plan.run_starts[k + 1]);
    std::sort(planned.begin(), planned.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, planned) << "run " << k;
  }

  const auto gates = graph.gates();
  std::vector<std::size_t> at(gates.size());
  for (std::size_t i = 0; i < order.size(); ++i) at[order[i]] = i;
  std::vector<std::optional<std::uint32_t>> writer(graph.value_count());
  for (std::uint32_t g = 0; g < gates.size(); ++g) writer[gates[g].out] = g;
  const auto writer_of = [&](ValueId value) {
    while (value < graph.bus_count() && graph.driver(value).kind == BusDriver::Kind::kCopy) {
      value = graph.driver(value).source;
    }
    return writer[value];
  };
  std::size_t reads = 0;
  for (std::uint32_t g = 0; g < gates.size(); ++g) {
    for (const ValueId operand : {gates[g].left, gates[g].right}) {
      const std::optional<std::uint32_t> source = writer_of(operand);
      if (!source) continue;
      ++reads;
      EXPECT_LT(at[*source], at[g]) << "gate " << g;
    }
  }
  EXPECT_GT(reads, 0U);
}

INSTANTIATE_TEST_SUITE_P(Designs, GatesByOperands,
                         ::testing::Combine(::testing::ValuesIn(kOrderCases),
                                            ::testing::Range(1U, 9U)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace nimbo
