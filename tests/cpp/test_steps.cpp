// Steps of designs with registers and memories against the plain clocked
// model: the word pass's steps (WordSteps) and the plain cycles over the worklist or
// the word pass (Cycles), one step at a time and in batches, and updates
// that apply the asynchronous resets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/cycles.hpp"
#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::ClockedCircuit;
using testing_model::ClockedShape;
using testing_model::Values;

struct StepCase {
  const char* name;
  ClockedShape shape;
};

const StepCase kStepCases[] = {
    {"OnePass", {}},
    {"Feedback", {.feedback = true}},
    {"PartialLists", {.dropped_influence = 3}},
    {"OneBit", {.widths = {1}}},
    {"Wide", {.widths = {1, 64, 65, 130}}},
    {"WideFollowed", {.widths = {1, 65, 130}, .filler = 60}},
    // All one bit, over many words of gates: the per-gate sweep, its readers
    // in the same word and in later ones.
    {"OneBitFollowed",
     {.widths = {1}, .reset_chains = true, .registers = 12, .logic = 120, .filler = 300}},
    {"MemoriesOneBitFollowed", {.widths = {1}, .logic = 120, .filler = 300, .memories = 2}},
    {"ResetChains", {.widths = {1}, .reset_chains = true, .registers = 8}},
    {"ResetChainsFeedback", {.feedback = true, .widths = {1, 65}, .reset_chains = true}},
    {"ClocksAsData", {.widths = {1, 3}, .clocks_as_data = true}},
    {"Memories", {.memories = 2}},
    {"MemoriesFeedback", {.feedback = true, .memories = 2}},
    {"MemoriesAlone", {.registers = 0, .memories = 3}},
    {"MemoriesOneBit", {.widths = {1}, .memories = 3}},
    {"MemoriesWide", {.widths = {1, 65, 130}, .reset_chains = true, .memories = 2}},
    {"MemoriesClocksAsData", {.widths = {1, 3}, .clocks_as_data = true, .memories = 2}},
};

class StepsAgainstModel : public ::testing::TestWithParam<std::tuple<StepCase, unsigned>> {
 protected:
  // The circuit of this case, started; false when the model does not settle
  // from the start (the simulation then gives the same error).
  bool start(ClockedCircuit& circuit) {
    const std::string expected = circuit.model->settle({});
    const std::string error = testing_model::start(*circuit.simulation);
    EXPECT_EQ(error, expected);
    if (!expected.empty()) return false;
    EXPECT_EQ(testing_model::values_of(*circuit.simulation), circuit.model->values());
    return true;
  }
};

TEST_P(StepsAgainstModel, StepOneByOne) {
  const auto& [step_case, seed] = GetParam();
  std::mt19937_64 rng(seed);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, step_case.shape);
  if (!start(circuit)) return;
  Simulation& simulation = *circuit.simulation;
  const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
  for (int s = 0; s < 40; ++s) {
    const Values step = testing_model::random_step(rng, circuit, 50);
    const std::string expected = circuit.model->step(step);
    const Status status = simulation.step(testing_model::positions_of(simulation, step), control);
    ASSERT_EQ(status.ok() ? "" : status.error(), expected) << "step " << s;
    ASSERT_EQ(testing_model::values_of(simulation), circuit.model->values()) << "step " << s;
    if (expected.find("settle") != std::string::npos) break;
  }
}

// The plain cycles over the simulation's own update give what its runner
// gives (WordSteps on a one-pass circuit, Cycles over the worklist).
class PublicUpdates final : public PlainUpdates {
 public:
  explicit PublicUpdates(Simulation& simulation) : simulation_(simulation) {}
  Status update(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                const UpdateControl& control) override {
    std::vector<std::string> kept;
    for (const ValueWrite& write : values) kept.push_back(write.value->to_string());
    std::vector<PositionInput> all(texts.begin(), texts.end());
    for (std::size_t i = 0; i < values.size(); ++i) all.push_back({values[i].position, kept[i]});
    return simulation_.update_positions(all, control);
  }
  void read(std::size_t position, BitBusValue& value) override {
    simulation_.read_value(position, value);
  }

 private:
  Simulation& simulation_;
};

TEST_P(StepsAgainstModel, PlainCyclesGiveTheRunnersSteps) {
  const auto& [step_case, seed] = GetParam();
  std::mt19937_64 rng(seed + 500);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, step_case.shape);
  std::mt19937_64 twin_rng(seed + 500);
  ClockedCircuit twin = testing_model::make_clocked_circuit(twin_rng, step_case.shape);
  if (!start(circuit) || !testing_model::start(*twin.simulation).empty()) return;
  const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
  Cycles cycles;
  PublicUpdates updates(*twin.simulation);
  MemoryWords words(twin.simulation->memories());
  const StateElements elements{twin.simulation->registers(), twin.simulation->memories(), words};
  for (int s = 0; s < 30; ++s) {
    const Values step = testing_model::random_step(rng, circuit, 0);
    const Status ran =
        circuit.simulation->step(testing_model::positions_of(*circuit.simulation, step), control);
    const Status plain = cycles.step(updates, elements,
                                     testing_model::positions_of(*twin.simulation, step), control);
    ASSERT_EQ(ran.ok() ? "" : ran.error(), plain.ok() ? "" : plain.error()) << "step " << s;
    ASSERT_EQ(testing_model::values_of(*circuit.simulation),
              testing_model::values_of(*twin.simulation))
        << "step " << s;
    if (!ran.ok()) break;
  }
}

// An update with Resets::kApply is the plain update, then the resets; with
// Resets::kLeave the plain update alone. Inputs include q's and resets.
TEST_P(StepsAgainstModel, UpdatesApplyTheResetsOnRequest) {
  const auto& [step_case, seed] = GetParam();
  std::mt19937_64 rng(seed + 900);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, step_case.shape);
  if (!start(circuit)) return;
  Simulation& simulation = *circuit.simulation;
  const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
  for (int u = 0; u < 30; ++u) {
    Values inputs = testing_model::random_step(rng, circuit, 30);
    for (const std::string& q : circuit.qs) {
      if (rng() % 4 == 0) {
        inputs.emplace_back(q,
                            testing_model::random_bits(rng, simulation.width(*simulation.find(q))));
      }
    }
    const Resets resets = rng() % 3 != 0 ? Resets::kApply : Resets::kLeave;
    std::string expected = circuit.model->update(inputs);
    if (expected.empty() && resets == Resets::kApply) expected = circuit.model->resets();
    const Status status = simulation.update_positions(
        testing_model::positions_of(simulation, inputs), control, resets);
    ASSERT_EQ(status.ok() ? "" : status.error(), expected) << "update " << u;
    ASSERT_EQ(testing_model::values_of(simulation), circuit.model->values()) << "update " << u;
    if (expected.find("settle") != std::string::npos) break;
  }
}

// A batch steps once per vector, showing every bus or a single driven one
// (the shown cone of the word pass); a bad vector stops it with its index,
// and the state is that after the last good vector.
TEST_P(StepsAgainstModel, BatchesStepOncePerVector) {
  const auto& [step_case, seed] = GetParam();
  for (const int shown_kind : {0, 1, 2}) {
    std::mt19937_64 rng(seed + 1300);
    ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, step_case.shape);
    if (!start(circuit)) return;
    Simulation& simulation = *circuit.simulation;
    std::vector<Values> steps;
    for (int s = 0; s < 40; ++s) steps.push_back(testing_model::random_step(rng, circuit, 10));
    std::vector<std::uint32_t> shown;
    for (std::uint32_t p = 0; p < simulation.bus_count(); ++p) {
      if (shown_kind == 0 || simulation.is_driven(p)) shown.push_back(p);
    }
    if (shown_kind == 1 && !shown.empty()) shown.resize(1);
    if (shown_kind == 2 && !shown.empty()) shown.erase(shown.begin(), shown.end() - 1);
    testing_model::ShownRows sink;
    const auto fault =
        simulation.run_vectors(testing_model::text_batch(simulation, steps).vectors(), shown, sink,
                               {nullptr, testing_model::kModelWorkLimit});
    testing_model::expect_rows_of_model(
        sink.rows, fault, steps.size(), shown,
        [&](std::size_t v) { return circuit.model->step(steps[v]); },
        [&] { return circuit.model->values(); });
    EXPECT_EQ(testing_model::values_of(simulation), circuit.model->values());
  }
}

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
  ASSERT_EQ(testing_model::start(simulation), "");
  ASSERT_TRUE(simulation.runs_one_pass());
  BitBusValue y;
  for (int step = 1; step <= 4; ++step) {
    ASSERT_TRUE(simulation.step({}).ok());
    simulation.read_value(*simulation.find("y"), y);
    EXPECT_EQ(y.to_string(), high + (step % 2 == 1 ? "1" : "0")) << "step " << step;
  }
}

// A one-bit design over many words of gates whose inputs change one at a
// time: its updates and steps follow the changes gate by gate (fewer gates
// evaluated than there are), through readers in the same word of the sweep
// and in later ones, and give the model's values.
TEST(Steps, OneBitDesignsFollowOneChangeAtATimeAsTheModel) {
  const ClockedShape shape{.widths = {1}, .registers = 12, .logic = 160, .filler = 40};
  for (unsigned seed = 1; seed < 9; ++seed) {
    std::mt19937_64 rng(seed);
    ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, shape);
    Simulation& simulation = *circuit.simulation;
    ASSERT_EQ(circuit.model->settle({}), "");
    ASSERT_EQ(testing_model::start(simulation), "") << "seed " << seed;
    ASSERT_TRUE(simulation.runs_one_pass()) << "seed " << seed;
    std::vector<std::string> inputs;
    for (const auto& [id, width] : circuit.inputs) inputs.push_back(id);
    const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
    const std::uint64_t gates = simulation.graph().gates().size();
    std::uint64_t fewest = gates;
    for (int s = 0; s < 60; ++s) {
      const Values change{{inputs[rng() % inputs.size()], rng() % 2 ? "1" : "0"}};
      const auto positions = testing_model::positions_of(simulation, change);
      if (s % 3 == 2) {
        ASSERT_EQ(circuit.model->step(change), "");
        ASSERT_TRUE(simulation.step(positions, control).ok());
      } else {
        ASSERT_EQ(circuit.model->update(change), "");
        ASSERT_TRUE(simulation.update_positions(positions, control).ok());
        fewest = std::min(fewest, simulation.last_evaluation_count());
      }
      ASSERT_EQ(testing_model::values_of(simulation), circuit.model->values())
          << "seed " << seed << ", step " << s;
    }
    EXPECT_LT(fewest, gates) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Designs, StepsAgainstModel,
                         ::testing::Combine(::testing::ValuesIn(kStepCases),
                                            ::testing::Range(1U, 9U)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace nimbo
