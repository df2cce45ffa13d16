// Sequences side by side (SequenceLanes on a one-pass circuit, one after the
// other otherwise) against the plain clocked model: each sequence gives
// what it gives alone from the same start, faults stay with their sequence,
// and the state is left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"
#include "lane_runners.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::ClockedCircuit;
using testing_model::ClockedShape;
using testing_model::LaneRunner;
using testing_model::Values;

// The shown texts of every step of every sequence, from lanes or one by one.
class SequenceRows final : public SequenceSink {
 public:
  SequenceRows(std::size_t sequences, std::size_t shown, bool concurrent = false,
               std::size_t stop_after = ~std::size_t{0})
      : rows(sequences), shown_(shown), concurrent_(concurrent), stop_after_(stop_after) {}
  bool takes_concurrently() const override { return concurrent_; }
  bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                 const ShownLanes& values) override {
    {
      // Threads of a run share the sink that takes their steps concurrently.
      const std::lock_guard<std::mutex> lock(calls_mutex_);
      calls.emplace_back(first, step);
      if (calls.size() > stop_after_) return false;
    }
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
  std::vector<std::pair<std::size_t, std::size_t>> calls;   // (first, step) of each take_step

 private:
  std::size_t shown_;
  bool concurrent_;
  std::size_t stop_after_;
  std::mutex calls_mutex_;
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

class SequencesAgainstModel : public testing_model::LaneTest<SequenceCase> {};

// Few sequences, a block of two words, and more than a block of eight.
std::size_t sequence_count(unsigned seed) {
  return seed % 3 == 0 ? 3 : seed % 3 == 1 ? 70 : 530;
}

TEST_P(SequencesAgainstModel, EachSequenceGivesWhatItGivesAlone) {
  const auto& [sequence_case, seed, runner] = GetParam();
  NIMBO_USE_LANE_RUNNER(runner);
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

  const std::size_t count = sequence_count(seed);
  std::vector<std::vector<Values>> sequences(count);
  std::vector<testing_model::TextBatch> batches;
  std::vector<TextVectors> vectors;
  for (std::size_t s = 0; s < count; ++s) {
    for (std::size_t t = 0, length = rng() % 12; t < length; ++t) {
      sequences[s].push_back(testing_model::random_step(rng, circuit, 20));
    }
    batches.push_back(testing_model::text_batch(simulation, sequences[s]));
  }
  for (const testing_model::TextBatch& batch : batches) vectors.push_back(batch.vectors());
  const std::vector<std::uint32_t> shown = testing_model::positions_every(simulation);
  SequenceRows sink(count, shown.size(), runner.concurrent_sink);
  std::vector<std::optional<VectorFault>> faults;
  const auto stop = simulation.run_sequences(vectors, shown, sink, faults, control, runner.threads);
  ASSERT_FALSE(stop.has_value());
  EXPECT_EQ(testing_model::values_of(simulation), start);

  for (std::size_t s = 0; s < count; ++s) {
    SCOPED_TRACE("sequence " + std::to_string(s));
    ClockedCircuit twin = testing_model::clocked_twin(seed, sequence_case.shape, &first);
    testing_model::expect_rows_of_model(
        sink.rows[s], faults[s], sequences[s].size(), shown,
        [&](std::size_t t) { return twin.model->step(sequences[s][t]); },
        [&] { return twin.model->values(); });
  }
}

// The same sequences as bytes, every input written in every step.
TEST_P(SequencesAgainstModel, ByteSequencesGiveWhatEachGivesAlone) {
  const auto& [sequence_case, seed, runner] = GetParam();
  NIMBO_USE_LANE_RUNNER(runner);
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
  const std::size_t count = sequence_count(seed) + 2;
  const std::size_t steps = 6;
  std::vector<std::uint8_t> data(count * steps * columns);
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(rng() & 1);
  if (seed % 3 == 0) data[rng() % data.size()] = 3;  // one bad byte
  const std::vector<std::uint32_t> shown = testing_model::positions_every(simulation, 2);
  SequenceRows sink(count, shown.size(), runner.concurrent_sink);
  std::vector<std::optional<VectorFault>> faults;
  const auto columns_stride = static_cast<std::ptrdiff_t>(columns);
  const ByteSequences sequences{inputs,         data.data(),
                                count,          steps,
                                columns,        columns_stride * static_cast<std::ptrdiff_t>(steps),
                                columns_stride, 1};
  const auto stop = simulation.run_sequences(
      sequences, shown, sink, faults, {nullptr, testing_model::kModelWorkLimit}, runner.threads);
  ASSERT_FALSE(stop.has_value());

  for (std::size_t s = 0; s < count; ++s) {
    SCOPED_TRACE("sequence " + std::to_string(s));
    ClockedCircuit twin = testing_model::clocked_twin(seed + 50, sequence_case.shape, nullptr);
    const auto advance = [&](std::size_t t) -> std::string {
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
      return bad ? "Invalid bit 3 (bits are 0 or 1)" : twin.model->step(step);
    };
    testing_model::expect_rows_of_model(sink.rows[s], faults[s], steps, shown, advance,
                                        [&] { return twin.model->values(); });
  }
}

NIMBO_INSTANTIATE_LANE_TESTS(SequencesAgainstModel, kSequenceCases, 1U, 7U,
                             testing_model::kSequenceRunners);

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

// Sequences on threads give the rows and faults of one thread; a sink that
// takes steps one at a time gets them in the order of their sequences (the
// threads' blocks may hold fewer lanes than one thread's), and stops the
// run where it says; an interrupt stops every thread.
TEST(SequencesOnThreads, GiveWhatOneThreadGivesAndStopWhereTold) {
  struct Stop {
    const char* name;
    std::size_t stop_after;  // take_step calls the sink takes
    bool interrupt;
  };
  const Stop stops[] = {{"Never", ~std::size_t{0}, false},
                        {"InTheFirstBlock", 3, false},
                        {"InALaterBlock", 30, false},
                        {"Interrupted", ~std::size_t{0}, true}};
  std::mt19937_64 rng(11);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, {.memories = 1});
  ASSERT_EQ(testing_model::start(*circuit.simulation), "");
  Simulation& simulation = *circuit.simulation;
  std::vector<std::vector<Values>> steps(300);
  std::vector<testing_model::TextBatch> batches;
  std::vector<TextVectors> vectors;
  for (std::size_t s = 0; s < steps.size(); ++s) {
    for (std::size_t t = 0; t < 12; ++t) {
      // A fault in a middle sequence.
      steps[s].push_back(testing_model::random_step(rng, circuit, s == 150 && t == 5 ? 1000 : 0));
    }
    batches.push_back(testing_model::text_batch(simulation, steps[s]));
  }
  for (const testing_model::TextBatch& batch : batches) vectors.push_back(batch.vectors());
  const std::vector<std::uint32_t> shown = testing_model::positions_every(simulation, 3);
  const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
  SequenceRows alone(vectors.size(), shown.size());
  std::vector<std::optional<VectorFault>> alone_faults;
  ASSERT_FALSE(simulation.run_sequences(vectors, shown, alone, alone_faults, control));
  ASSERT_TRUE(alone_faults[150].has_value());
  for (const Stop& stop : stops) {
    UpdateControl stopping = control;
    if (stop.interrupt) {
      stopping.interrupted = [] { return true; };
      stopping.poll_interval = std::chrono::nanoseconds(0);
    }
    for (const std::size_t threads : {1, 2, 3, 8}) {
      SequenceRows sink(vectors.size(), shown.size(), false, stop.stop_after);
      std::vector<std::optional<VectorFault>> faults;
      const auto got = simulation.run_sequences(vectors, shown, sink, faults, stopping, threads);
      const std::string where = std::string(stop.name) + " " + std::to_string(threads);
      EXPECT_TRUE(std::is_sorted(sink.calls.begin(), sink.calls.end())) << where;
      if (stop.interrupt) {
        EXPECT_TRUE(got && got->interrupted) << where;
        continue;
      }
      if (sink.calls.size() > stop.stop_after) {
        EXPECT_TRUE(got && got->stopped_by_sink) << where;
        EXPECT_EQ(sink.calls.size(), stop.stop_after + 1) << where;
        continue;
      }
      ASSERT_FALSE(got.has_value()) << where;
      EXPECT_EQ(sink.rows, alone.rows) << where;
      ASSERT_EQ(faults.size(), alone_faults.size());
      for (std::size_t s = 0; s < faults.size(); ++s) {
        ASSERT_EQ(faults[s].has_value(), alone_faults[s].has_value()) << where << " " << s;
        if (faults[s]) {
          EXPECT_EQ(faults[s]->vector, alone_faults[s]->vector) << where << " " << s;
          EXPECT_EQ(faults[s]->message, alone_faults[s]->message) << where << " " << s;
        }
      }
    }
  }
}

}  // namespace
}  // namespace nimbo
