// Sequences side by side (SequenceLanes on a one-pass circuit, one after the
// other otherwise) against the plain clocked model: each sequence gives
// what it gives alone from the same start, faults stay with their sequence,
// and the state is left as it was.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::ClockedCircuit;
using testing_model::ClockedShape;
using testing_model::Values;

// The shown texts of every step of every sequence, from lanes or one by one.
class SequenceRows final : public SequenceSink {
 public:
  SequenceRows(std::size_t sequences, std::size_t shown) : rows(sequences), shown_(shown) {}
  bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                 const ShownLanes& values) override {
    for (std::size_t w = 0; w < live.size(); ++w) {
      for (Word left = live[w]; left != 0; left &= left - 1) {
        const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
        std::vector<std::string> row;
        for (std::size_t i = 0; i < shown_; ++i) {
          std::string text;
          for (std::size_t b = 0; b < values.width(i); ++b) {
            text += ((values.lanes(i, b)[lane / 64] >> (lane % 64)) & 1U) ? '1' : '0';
          }
          row.push_back(text);
        }
        EXPECT_EQ(rows[first + lane].size(), step);
        rows[first + lane].push_back(std::move(row));
      }
    }
    return true;
  }
  bool take(std::size_t sequence, std::size_t step, std::span<const BitBusValue> values) override {
    EXPECT_EQ(rows[sequence].size(), step);
    std::vector<std::string> row;
    for (const BitBusValue& value : values) row.push_back(value.to_string());
    rows[sequence].push_back(std::move(row));
    return true;
  }
  std::vector<std::vector<std::vector<std::string>>> rows;  // sequence, step, shown bus

 private:
  std::size_t shown_;
};

struct SequenceCase {
  const char* name;
  ClockedShape shape;
};

const SequenceCase kSequenceCases[] = {
    {"OnePass", {}},
    {"Feedback", {.feedback = true}},
    {"OneBit", {.widths = {1}}},
    {"Wide", {.widths = {1, 64, 65, 130}}},
    {"ResetChains", {.widths = {1}, .reset_chains = true, .registers = 8}},
    {"ClocksAsData", {.widths = {1, 3}, .clocks_as_data = true}},
    {"NoRegisters", {.registers = 0}},
    {"Memories", {.memories = 2}},
    {"MemoriesAlone", {.registers = 0, .memories = 3}},
    {"MemoriesWide", {.widths = {1, 65, 130}, .memories = 2}},
    {"MemoriesFeedback", {.feedback = true, .widths = {1, 3}, .memories = 2}},
};

class SequencesAgainstModel : public ::testing::TestWithParam<std::tuple<SequenceCase, unsigned>> {
};

TEST_P(SequencesAgainstModel, EachSequenceGivesWhatItGivesAlone) {
  const auto& [sequence_case, seed] = GetParam();
  std::mt19937_64 rng(seed);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, sequence_case.shape);
  if (!circuit.model->settle({}).empty()) return;  // does not settle: see test_steps
  ASSERT_EQ(testing_model::start(*circuit.simulation), "");
  Simulation& simulation = *circuit.simulation;
  const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
  // Sequences start from the current state, here after one step.
  const Values first = testing_model::random_step(rng, circuit);
  if (!circuit.model->step(first).empty()) return;
  ASSERT_TRUE(simulation.step(testing_model::positions_of(simulation, first), control).ok());
  const Values start = testing_model::values_of(simulation);

  const std::size_t count = seed % 2 == 0 ? 3 : 70;
  std::vector<std::vector<Values>> sequences(count);
  std::vector<std::vector<PositionInput>> writes(count);
  std::vector<std::vector<std::size_t>> ends(count);
  std::vector<TextVectors> vectors;
  for (std::size_t s = 0; s < count; ++s) {
    for (std::size_t t = 0, length = rng() % 12; t < length; ++t) {
      sequences[s].push_back(testing_model::random_step(rng, circuit, 20));
    }
  }
  for (std::size_t s = 0; s < count; ++s) {
    for (const Values& step : sequences[s]) {
      for (const PositionInput& input : testing_model::positions_of(simulation, step)) {
        writes[s].push_back(input);
      }
      ends[s].push_back(writes[s].size());
    }
    vectors.push_back(TextVectors{writes[s], ends[s]});
  }
  std::vector<std::uint32_t> shown;
  for (std::uint32_t p = 0; p < simulation.bus_count(); ++p) shown.push_back(p);
  SequenceRows sink(count, shown.size());
  std::vector<std::optional<VectorFault>> faults;
  const auto stop = simulation.run_sequences(vectors, shown, sink, faults, control);
  ASSERT_FALSE(stop.has_value());
  EXPECT_EQ(testing_model::values_of(simulation), start);

  for (std::size_t s = 0; s < count; ++s) {
    std::mt19937_64 twin_rng(seed);
    ClockedCircuit twin = testing_model::make_clocked_circuit(twin_rng, sequence_case.shape);
    ASSERT_EQ(twin.model->settle({}), "");
    ASSERT_EQ(twin.model->step(first), "");
    std::size_t t = 0;
    for (; t < sequences[s].size(); ++t) {
      const std::string error = twin.model->step(sequences[s][t]);
      if (!error.empty()) {
        ASSERT_TRUE(faults[s].has_value()) << "sequence " << s << " step " << t;
        EXPECT_EQ(faults[s]->vector, t);
        EXPECT_EQ(faults[s]->message, error);
        break;
      }
      ASSERT_LT(t, sink.rows[s].size()) << "sequence " << s;
      const Values expected = twin.model->values();
      for (std::size_t i = 0; i < shown.size(); ++i) {
        ASSERT_EQ(sink.rows[s][t][i], expected[i].second)
            << "sequence " << s << " step " << t << " bus " << expected[i].first;
      }
    }
    EXPECT_EQ(sink.rows[s].size(), t) << "sequence " << s;
    if (t == sequences[s].size()) {
      EXPECT_FALSE(faults[s].has_value()) << "sequence " << s;
    }
  }
}

// The same sequences as bytes, every input written in every step.
TEST_P(SequencesAgainstModel, ByteSequencesGiveWhatEachGivesAlone) {
  const auto& [sequence_case, seed] = GetParam();
  std::mt19937_64 rng(seed + 50);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, sequence_case.shape);
  if (!circuit.model->settle({}).empty()) return;
  ASSERT_EQ(testing_model::start(*circuit.simulation), "");
  Simulation& simulation = *circuit.simulation;
  std::vector<std::uint32_t> inputs;
  std::vector<std::string> names;
  std::size_t columns = 0;
  for (const auto& [id, width] : circuit.inputs) {
    inputs.push_back(*simulation.find(id));
    names.push_back(id);
    columns += width;
  }
  const std::size_t count = seed % 2 == 0 ? 5 : 67;
  const std::size_t steps = 6;
  std::vector<std::uint8_t> data(count * steps * columns);
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(rng() & 1);
  if (seed % 3 == 0) data[rng() % data.size()] = 3;  // one bad byte
  std::vector<std::uint32_t> shown;
  for (std::uint32_t p = 0; p < simulation.bus_count(); p += 2) shown.push_back(p);
  SequenceRows sink(count, shown.size());
  std::vector<std::optional<VectorFault>> faults;
  const auto columns_stride = static_cast<std::ptrdiff_t>(columns);
  const ByteSequences sequences{inputs,         data.data(),
                                count,          steps,
                                columns,        columns_stride * static_cast<std::ptrdiff_t>(steps),
                                columns_stride, 1};
  const auto stop = simulation.run_sequences(sequences, shown, sink, faults,
                                             {nullptr, testing_model::kModelWorkLimit});
  ASSERT_FALSE(stop.has_value());

  for (std::size_t s = 0; s < count; ++s) {
    std::mt19937_64 twin_rng(seed + 50);
    ClockedCircuit twin = testing_model::make_clocked_circuit(twin_rng, sequence_case.shape);
    ASSERT_EQ(twin.model->settle({}), "");
    for (std::size_t t = 0; t < steps; ++t) {
      Values step;
      bool bad = false;
      for (std::size_t i = 0, column = 0; i < names.size(); ++i) {
        std::string text;
        for (std::size_t b = 0; b < circuit.inputs.at(names[i]); ++b) {
          const std::uint8_t byte = data[(s * steps + t) * columns + column++];
          bad = bad || byte > 1;
          text += static_cast<char>('0' + byte);
        }
        step.emplace_back(names[i], text);
      }
      const std::string error = bad ? "Invalid bit 3 (bits are 0 or 1)" : twin.model->step(step);
      if (!error.empty()) {
        ASSERT_TRUE(faults[s].has_value()) << "sequence " << s << " step " << t;
        EXPECT_EQ(faults[s]->vector, t);
        EXPECT_EQ(faults[s]->message, error);
        break;
      }
      ASSERT_LT(t, sink.rows[s].size());
      const Values expected = twin.model->values();
      for (std::size_t i = 0; i < shown.size(); ++i) {
        ASSERT_EQ(sink.rows[s][t][i], expected[shown[i]].second) << "sequence " << s;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Designs, SequencesAgainstModel,
                         ::testing::Combine(::testing::ValuesIn(kSequenceCases),
                                            ::testing::Range(1U, 7U)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// A driven bus written by sequences from a state not evaluated since it was
// rendered: its first step takes the width it was rendered with, later
// steps the width its evaluation gives, as updates one after the other do;
// the columns of bytes stay those of the rendered width.
TEST(Sequences, ADrivenBusTakesItsRenderedWidthOnlyInTheFirstStep) {
  for (const bool feedback : {false, true}) {
    const auto make = [&] {
      Component component("w");
      component.add_bus("x", BitBus(BitBusValue::from_string("0000").value()));
      component.add_bus("y", BitBus(BitBusValue::from_string("0").value()));
      component.set_assignment("y", std::make_unique<Not>(std::make_unique<BusRef>("x")));
      EXPECT_TRUE(component.add_influence("x", "y").ok());
      if (feedback) {
        component.add_bus("f", BitBus());
        component.set_assignment("f", std::make_unique<BusRef>("f"));
      }
      return Simulation(std::move(component));
    };
    Simulation simulation = make();
    const std::uint32_t y = *simulation.find("y");
    const std::vector<std::uint32_t> inputs = {y};
    const std::vector<std::uint8_t> data(2 * 2, 1);  // 2 sequences of 2 steps of 1 column
    const ByteSequences bytes{inputs, data.data(), 2, 2, 1, 2, 1, 1};
    const std::vector<std::uint32_t> shown = {y};
    SequenceRows sink(2, 1);
    std::vector<std::optional<VectorFault>> faults;
    ASSERT_FALSE(simulation.run_sequences(bytes, shown, sink, faults).has_value());
    ASSERT_EQ(simulation.runs_one_pass(), !feedback);
    const std::string refused = "Invalid value \"1\". The value must have 4 bits.";
    for (std::size_t s = 0; s < 2; ++s) {
      ASSERT_TRUE(faults[s].has_value()) << feedback;
      EXPECT_EQ(faults[s]->vector, 1U) << feedback;
      EXPECT_EQ(faults[s]->message, refused) << feedback;
      EXPECT_EQ(sink.rows[s], (std::vector<std::vector<std::string>>{{"1111"}})) << feedback;
    }
    // The same as texts.
    Simulation texts = make();
    const std::vector<PositionInput> writes = {{y, "1"}, {y, "1"}};
    const std::vector<std::size_t> ends = {1, 2};
    const std::vector<TextVectors> sequences(2, TextVectors{writes, ends});
    SequenceRows text_sink(2, 1);
    ASSERT_FALSE(texts.run_sequences(sequences, shown, text_sink, faults).has_value());
    for (std::size_t s = 0; s < 2; ++s) {
      ASSERT_TRUE(faults[s].has_value()) << feedback;
      EXPECT_EQ(faults[s]->vector, 1U) << feedback;
      EXPECT_EQ(faults[s]->message, refused) << feedback;
    }
  }
}

// A row of bytes is read before the step checks it, in lanes as one step
// after another: a byte that is no bit is the fault of its row, before a
// clock among the inputs is.
TEST(Sequences, ARowIsReadBeforeItsStepIsChecked) {
  for (const bool loop : {false, true}) {
    Component component("r");
    component.add_bus("clk", BitBus());
    component.add_bus("x", BitBus());
    component.add_bus("q", BitBus());
    if (loop) {
      component.add_bus("loop", BitBus());
      component.set_assignment("loop", std::make_unique<BusRef>("loop"));
    }
    RegisterRecord reg;
    reg.q = "q";
    reg.d = "x";
    reg.clock = "clk";
    Result<Registers> registers = resolve_registers(component, {&reg, 1});
    ASSERT_TRUE(registers.ok());
    Simulation simulation(std::move(component), std::move(registers).value());
    ASSERT_EQ(testing_model::start(simulation), "");
    ASSERT_EQ(simulation.runs_one_pass(), !loop);
    const std::vector<std::uint32_t> inputs = {*simulation.find("clk"), *simulation.find("x")};
    const std::vector<std::uint8_t> data = {0, 0, 0, 2};  // 2 sequences of one step
    const ByteSequences bytes{inputs, data.data(), 2, 1, 2, 2, 2, 1};
    const std::vector<std::uint32_t> shown = {*simulation.find("q")};
    SequenceRows sink(2, 1);
    std::vector<std::optional<VectorFault>> faults;
    ASSERT_FALSE(simulation.run_sequences(bytes, shown, sink, faults).has_value());
    ASSERT_TRUE(faults[0].has_value() && faults[1].has_value()) << loop;
    EXPECT_EQ(faults[0]->message,
              "bus 'clk' is a clock: every step is one cycle of it, so a step "
              "does not write it")
        << loop;
    EXPECT_EQ(faults[1]->message, "Invalid bit 2 (bits are 0 or 1)") << loop;
    EXPECT_EQ(faults[1]->position, inputs[1]) << loop;
  }
}

}  // namespace
}  // namespace nimbo
