// Batches against the plain model: after every vector the shown values are
// those of one model update per vector, a bad vector stops the batch with
// its index and bus, and the state is that after the last good vector.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "engine/simulation.hpp"
#include "lane_runners.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::Values;

// Vectors that write random inputs; the vector at `bad` (if any) carries a
// text the bus must refuse.
std::vector<Values> random_batch(std::mt19937_64& rng, testing_model::RandomCircuit& circuit,
                                 std::size_t count, std::size_t bad) {
  std::vector<Values> batch;
  const Simulation& simulation = circuit.simulation;
  for (std::size_t v = 0; v < count; ++v) {
    Values vector;
    for (std::size_t rank = 0; rank < circuit.ids.size(); ++rank) {
      // Driven busses now and then: such a text is checked, then replaced.
      if (rng() % 3 == 0 || (circuit.driven[rank] && rng() % 8 != 0)) continue;
      const auto position = *simulation.find(circuit.ids[rank]);
      vector.emplace_back(circuit.ids[rank],
                          testing_model::random_bits(rng, simulation.width(position)));
    }
    if (!vector.empty() && rng() % 4 == 0) {  // an input written twice: the later write wins
      const auto [id, bits] = vector[rng() % vector.size()];
      vector.emplace_back(id, testing_model::random_bits(rng, bits.size()));
    }
    if (v == bad && !vector.empty()) vector[rng() % vector.size()].second += "1";
    batch.push_back(vector);
  }
  return batch;
}

// Which vector of `count` is bad: a random one, the first of the second
// block (512 is the start of a block for every block size), or none.
std::size_t bad_vector(std::mt19937_64& rng, unsigned seed, std::size_t count) {
  if (seed % 3 == 0) return rng() % count;
  if (seed % 3 == 1 && count > 512) return 512;
  return count;
}

struct BatchCase {
  const char* name;
  testing_model::CircuitShape shape;
  std::size_t vectors;
};

class BatchAgainstModel : public testing_model::LaneTest<BatchCase> {};

TEST_P(BatchAgainstModel, TextVectors) {
  const auto& [batch_case, seed, runner] = GetParam();
  NIMBO_USE_LANE_RUNNER(runner);
  std::mt19937_64 rng(seed);
  testing_model::RandomCircuit circuit =
      testing_model::make_random_circuit(rng, batch_case.shape, 2 + static_cast<int>(rng() % 30));
  Simulation& simulation = circuit.simulation;
  ASSERT_TRUE(simulation.prepare().ok());
  if (seed % 2 == 0) {  // start from an evaluated state now and then
    const Status first =
        testing_model::apply(simulation, {}, {nullptr, testing_model::kModelWorkLimit});
    ASSERT_EQ(first.ok() ? "" : first.error(),
              circuit.model.update({}, testing_model::kModelWorkLimit));
  }
  const std::size_t bad = bad_vector(rng, seed, batch_case.vectors);
  const std::vector<Values> vectors = random_batch(rng, circuit, batch_case.vectors, bad);
  const std::vector<std::uint32_t> shown = testing_model::positions_every(simulation);
  testing_model::ShownRows sink;
  const auto fault =
      simulation.run_vectors(testing_model::text_batch(simulation, vectors).vectors(), shown, sink,
                             {nullptr, testing_model::kModelWorkLimit});
  testing_model::expect_rows_of_model(
      sink.rows, fault, vectors.size(), shown,
      [&](std::size_t v) {
        return circuit.model.update(vectors[v], testing_model::kModelWorkLimit);
      },
      [&] { return circuit.model.values(); });
  EXPECT_EQ(testing_model::values_of(simulation), circuit.model.values());
  EXPECT_TRUE(testing_model::same_values(simulation, circuit.model));
}

// Every row writes every bus of its inputs: all the inputs, or (odd seeds)
// some of them, while the others keep their values.
TEST_P(BatchAgainstModel, ByteVectorsCarryTheirInputs) {
  const auto& [batch_case, seed, runner] = GetParam();
  NIMBO_USE_LANE_RUNNER(runner);
  std::mt19937_64 rng(seed + 1000);
  testing_model::RandomCircuit circuit =
      testing_model::make_random_circuit(rng, batch_case.shape, 2 + static_cast<int>(rng() % 30));
  Simulation& simulation = circuit.simulation;
  ASSERT_TRUE(simulation.prepare().ok());
  std::vector<std::uint32_t> inputs;
  std::size_t columns = 0;
  for (std::size_t rank = 0; rank < circuit.ids.size(); ++rank) {
    if (circuit.driven[rank] || (seed % 2 == 1 && rng() % 2 == 0)) continue;
    inputs.push_back(*simulation.find(circuit.ids[rank]));
    columns += simulation.width(inputs.back());
  }
  const std::size_t rows = batch_case.vectors;
  std::vector<std::uint8_t> data(rows * columns);
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(rng() & 1);
  const std::size_t bad = columns > 0 ? bad_vector(rng, seed, rows) : rows;
  if (bad < rows) data[bad * columns + rng() % columns] = 2;

  const std::vector<std::uint32_t> shown = testing_model::positions_every(simulation);
  testing_model::ShownRows sink;
  const ByteVectors vectors{
      inputs, data.data(), rows, columns, static_cast<std::ptrdiff_t>(columns), 1};
  const auto fault =
      simulation.run_vectors(vectors, shown, sink, {nullptr, testing_model::kModelWorkLimit});
  const auto advance = [&](std::size_t row) -> std::string {
    if (row == bad) return "Invalid bit 2 (bits are 0 or 1)";
    Values vector;
    for (std::size_t i = 0, column = 0; i < inputs.size(); ++i) {
      std::string text;
      for (std::size_t b = 0; b < simulation.width(inputs[i]); ++b) {
        text += static_cast<char>('0' + data[row * columns + column++]);
      }
      vector.emplace_back(simulation.model().busses().id(inputs[i]), text);
    }
    // A feedback circuit that does not settle gives its error.
    return circuit.model.update(vector, testing_model::kModelWorkLimit);
  };
  testing_model::expect_rows_of_model(sink.rows, fault, rows, shown, advance,
                                      [&] { return circuit.model.values(); });
  EXPECT_EQ(testing_model::values_of(simulation), circuit.model.values());
  EXPECT_TRUE(testing_model::same_values(simulation, circuit.model));
}

const BatchCase kBatchCases[] = {
    {"OneByOne", {false, true, 0, false}, 5},        // below the lane threshold
    {"Words", {false, true, 0, false}, 200},         // lanes, several words
    {"Blocks", {false, true, 0, true}, 1300},        // lanes, several blocks
    {"ReadOrder", {false, false, 2, false}, 70},     // one pass through read order
    {"PartialLists", {false, true, 3, false}, 100},  // one by one
    {"Feedback", {true, true, 0, false}, 40},        // one by one
};

NIMBO_INSTANTIATE_LANE_TESTS(BatchAgainstModel, kBatchCases, 1U, 13U,
                             testing_model::kLaneIsaRunners);

TEST(Batch, SinkStopLeavesTheStateOfTheLastVectorItTook) {
  std::mt19937_64 rng(7);
  testing_model::RandomCircuit circuit =
      testing_model::make_random_circuit(rng, {false, true, 0, true}, 20);
  Simulation& simulation = circuit.simulation;
  const std::vector<Values> vectors = random_batch(rng, circuit, 300, 300);
  testing_model::ShownRows sink(100);
  const auto fault =
      simulation.run_vectors(testing_model::text_batch(simulation, vectors).vectors(),
                             testing_model::positions_every(simulation), sink);
  ASSERT_TRUE(fault.has_value());
  EXPECT_TRUE(fault->stopped_by_sink);
  EXPECT_EQ(fault->vector, 100U);
  for (std::size_t v = 0; v <= 100; ++v) {
    ASSERT_EQ(circuit.model.update(vectors[v], testing_model::kModelWorkLimit), "");
  }
  EXPECT_EQ(testing_model::values_of(simulation), circuit.model.values());
  EXPECT_TRUE(testing_model::same_values(simulation, circuit.model));
}

// A control that stops at its first question, asked at every look at the
// clock.
bool stop_now() {
  return true;
}

// Short updates one by one (a circuit with feedback whose vectors all
// settle): each does too little work to look at the clock, the batch looks
// between vectors.
TEST(Batch, AnInterruptStopsABatchOfShortUpdatesBetweenVectors) {
  for (unsigned seed = 1;; ++seed) {
    ASSERT_LT(seed, 100U) << "no circuit with feedback that settles";
    std::mt19937_64 rng(seed);
    testing_model::RandomCircuit circuit =
        testing_model::make_random_circuit(rng, {true, true, 0, true}, 12);
    Simulation& simulation = circuit.simulation;
    if (!testing_model::apply(simulation, {}, {nullptr, testing_model::kModelWorkLimit}).ok() ||
        simulation.runs_one_pass()) {
      continue;
    }
    const std::vector<Values> vectors = random_batch(rng, circuit, 3000, 3000);
    bool settles = circuit.model.update({}, testing_model::kModelWorkLimit).empty();
    for (std::size_t v = 0; v < vectors.size() && settles; ++v) {
      settles = circuit.model.update(vectors[v], testing_model::kModelWorkLimit).empty();
    }
    if (!settles) continue;
    // The model went through every vector: a twin of the circuit follows the batch.
    std::mt19937_64 twin_rng(seed);
    testing_model::RandomCircuit twin =
        testing_model::make_random_circuit(twin_rng, {true, true, 0, true}, 12);
    ASSERT_EQ(twin.model.update({}, testing_model::kModelWorkLimit), "");

    testing_model::ShownRows sink;
    const UpdateControl stop{&stop_now, testing_model::kModelWorkLimit,
                             std::chrono::nanoseconds{0}};
    const auto fault =
        simulation.run_vectors(testing_model::text_batch(simulation, vectors).vectors(),
                               testing_model::positions_every(simulation), sink, stop);
    ASSERT_TRUE(fault.has_value());
    EXPECT_TRUE(fault->interrupted);
    EXPECT_GT(fault->vector, 0U);
    EXPECT_LT(fault->vector, vectors.size());
    EXPECT_EQ(sink.rows.size(), fault->vector);
    for (std::size_t v = 0; v < fault->vector; ++v) {
      ASSERT_EQ(twin.model.update(vectors[v], testing_model::kModelWorkLimit), "");
    }
    EXPECT_EQ(testing_model::values_of(simulation), twin.model.values());
    return;
  }
}

}  // namespace
}  // namespace nimbo
