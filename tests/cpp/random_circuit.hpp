// Random circuits for the cross-checks: every node kind, widths from 0 to
// 130 bits, shuffled declaration order, complete or partial influence
// lists, with or without feedback. Each circuit is built twice, as a
// Component (then taken over by a Simulation) and as the plain reference
// model; so is each design with registers (clocked_design.hpp). Beside
// them, what the tests of runs share: inputs, batches of steps, the rows a
// batch shows and their check against a model.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "clocked_design.hpp"
#include "clocked_model.hpp"
#include "component/component.hpp"
#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"
#include "reference_model.hpp"

namespace nimbo::testing_model {

// A circuit built alike into a component and the plain model.
struct ModelledCircuit {
  Component component{"modelled"};
  ReferenceModel model;

  void add_bus(const std::string& id, const std::string& bits) {
    component.add_bus(id, BitBus(BitBusValue::from_string(bits).value()));
    model.add_bus(id, BitBusValue::from_string(bits).value());
  }
  void set_assignment(const std::string& id, const Evaluator& tree) {
    component.set_assignment(id, tree.clone_box());
    model.set_assignment(id, tree.clone_box());
  }
  void add_influence(const std::string& bus, const std::string& reader) {
    EXPECT_TRUE(component.add_influence(bus, reader).ok()) << bus << " -> " << reader;
    model.add_influence(bus, reader);
  }
};

struct CircuitShape {
  bool feedback = false;      // trees may read any bus, themselves included
  bool shuffled = true;       // declaration order is not the read order
  int dropped_influence = 0;  // one reader in this many is left out (0: none)
  bool narrow = false;        // only 1-bit values
};

struct RandomCircuit {
  Simulation simulation;
  ReferenceModel model;
  std::vector<std::string> ids;     // by rank
  std::vector<std::size_t> widths;  // by rank, as declared
  std::vector<bool> driven;         // by rank
};

inline std::string random_bits(std::mt19937_64& rng, std::size_t width) {
  std::string text(width, '0');
  for (char& c : text) c = (rng() & 1) ? '1' : '0';
  return text;
}

inline RandomCircuit make_random_circuit(std::mt19937_64& rng, const CircuitShape& shape,
                                         int bus_count) {
  static constexpr std::size_t kWidths[] = {0, 1, 1, 1, 3, 8, 63, 64, 65, 130};
  const auto random_width = [&]() -> std::size_t { return shape.narrow ? 1 : kWidths[rng() % 10]; };
  ModelledCircuit built;
  std::vector<std::string> ids;     // by rank
  std::vector<std::size_t> widths;  // by rank
  std::vector<bool> driven;         // by rank
  for (int i = 0; i < bus_count; ++i) ids.push_back("n" + std::to_string(i));
  std::vector<int> order(static_cast<std::size_t>(bus_count));
  for (int i = 0; i < bus_count; ++i) order[static_cast<std::size_t>(i)] = i;
  if (shape.shuffled) std::shuffle(order.begin(), order.end(), rng);

  widths.resize(static_cast<std::size_t>(bus_count));
  for (int rank : order) {
    const std::size_t width = random_width();
    widths[static_cast<std::size_t>(rank)] = width;
    const std::string text = random_bits(rng, width);
    built.add_bus(ids[static_cast<std::size_t>(rank)], text);
  }

  // Without feedback, rank r reads only ranks below r.
  std::vector<std::vector<int>> readers(static_cast<std::size_t>(bus_count));
  std::function<BoxedEvaluator(int, int)> random_tree = [&](int rank, int depth) -> BoxedEvaluator {
    const unsigned pick = static_cast<unsigned>(rng() % 8);
    if (depth == 0 || pick < 3) {
      const int limit = shape.feedback ? bus_count : rank;
      if (limit > 0 && rng() % 6 != 0) {
        const int source = static_cast<int>(rng() % static_cast<unsigned>(limit));
        readers[static_cast<std::size_t>(source)].push_back(rank);
        return std::make_unique<BusRef>(ids[static_cast<std::size_t>(source)]);
      }
      if (rng() % 2) return std::make_unique<BusRef>("missing");
      return std::make_unique<Const>(
          BitBusValue::from_string(random_bits(rng, random_width())).value());
    }
    if (pick == 3) return std::make_unique<Not>(random_tree(rank, depth - 1));
    BoxedEvaluator l = random_tree(rank, depth - 1);
    BoxedEvaluator r = random_tree(rank, depth - 1);
    return make_gate_node(static_cast<Gate>(rng() % 6), std::move(l), std::move(r));
  };
  driven.resize(static_cast<std::size_t>(bus_count));
  for (int rank = 0; rank < bus_count; ++rank) {
    if (rank < 2 || rng() % 4 == 0) continue;  // an input
    driven[static_cast<std::size_t>(rank)] = true;
    built.set_assignment(ids[static_cast<std::size_t>(rank)],
                         *random_tree(rank, 1 + static_cast<int>(rng() % 4)));
  }
  // Influence lists: the readers (some dropped on request) plus now and
  // then an extra entry, itself or any other bus.
  for (int rank = 0; rank < bus_count; ++rank) {
    std::vector<int> targets;
    for (int reader : readers[static_cast<std::size_t>(rank)]) {
      if (shape.dropped_influence == 0 ||
          rng() % static_cast<unsigned>(shape.dropped_influence) != 0)
        targets.push_back(reader);
    }
    if (rng() % 3 == 0)
      targets.push_back(static_cast<int>(rng() % static_cast<unsigned>(bus_count)));
    for (int target : targets) {
      built.add_influence(ids[static_cast<std::size_t>(rank)],
                          ids[static_cast<std::size_t>(target)]);
    }
  }
  return RandomCircuit{Simulation(std::move(built.component)), std::move(built.model),
                       std::move(ids), std::move(widths), std::move(driven)};
}

// Random inputs for one update: some busses (driven ones too), now and then
// a text the update must refuse.
inline Values random_inputs(std::mt19937_64& rng, const RandomCircuit& circuit,
                            const Simulation& simulation) {
  Values inputs;
  for (std::size_t rank = 0; rank < circuit.ids.size(); ++rank) {
    if (rng() % 2) continue;
    if (circuit.driven[rank] && rng() % 4 != 0) continue;
    const auto position = simulation.find(circuit.ids[rank]);
    std::string text = random_bits(rng, simulation.width(*position));
    if (rng() % 30 == 0) text += "1";
    if (rng() % 60 == 0) text = "2" + text;
    inputs.emplace_back(circuit.ids[rank], text);
  }
  std::shuffle(inputs.begin(), inputs.end(), rng);
  return inputs;
}

inline Status apply(Simulation& simulation, const Values& inputs,
                    const UpdateControl& control = {}) {
  std::vector<SignalInput> signals;
  for (const auto& [id, bits] : inputs) signals.push_back({id, bits});
  return simulation.update_signals(signals, control);
}

// Bus id and bit-string text of every bus of `simulation` now, in table order.
inline Values values_of(Simulation& simulation) {
  const std::vector<BitBusValue> values = simulation.snapshot();
  Values texts;
  for (std::size_t p = 0; p < values.size(); ++p) {
    texts.emplace_back(simulation.model().busses().id(p), values[p].to_string());
  }
  return texts;
}

// The same bits as the model, compared as values (width and every word, so
// also the bits past the width, which must stay zero) and not only as text.
inline ::testing::AssertionResult same_values(Simulation& simulation, const ReferenceModel& model) {
  const std::vector<BitBusValue> ours = simulation.snapshot();
  const BusTable& theirs = model.table();
  if (ours.size() != theirs.size()) return ::testing::AssertionFailure() << "bus counts differ";
  for (std::size_t p = 0; p < ours.size(); ++p) {
    if (!(ours[p] == theirs.value(p))) {
      return ::testing::AssertionFailure() << "bus " << theirs.id(p) << ": " << ours[p].to_string()
                                           << " against " << theirs.value(p).to_string();
    }
  }
  return ::testing::AssertionSuccess();
}

struct ClockedCircuit {
  std::unique_ptr<Simulation> simulation;
  std::unique_ptr<ClockedModel> model;
  std::map<std::string, std::size_t> inputs;  // written by steps: id and width
  std::vector<std::string> qs;
};

inline ClockedCircuit make_clocked_circuit(std::mt19937_64& rng, const ClockedShape& shape) {
  const auto pick = [&](std::size_t count) { return static_cast<std::size_t>(rng() % count); };
  const ClockedDesign design = make_clocked_design(pick, shape);
  Component component = design.component();
  Result<Registers> registers = resolve_registers(component, design.registers);
  EXPECT_TRUE(registers.ok()) << (registers.ok() ? "" : registers.error());
  Result<Memories> memories = resolve_memories(component, design.registers, design.memories);
  EXPECT_TRUE(memories.ok()) << (memories.ok() ? "" : memories.error());
  return ClockedCircuit{
      std::make_unique<Simulation>(std::move(component), std::move(registers).value(),
                                   std::move(memories).value()),
      std::make_unique<ClockedModel>(design.model()), design.inputs, design.qs};
}

// The initial state as nimbo.Simulator makes it: every clock at 0 and
// settled, the registers checked, the resets applied.
inline std::string start(Simulation& simulation) {
  const UpdateControl control{nullptr, kModelWorkLimit};
  Status status = simulation.settle(control, Resets::kLeave);
  if (status.ok()) status = simulation.check_registers();
  if (status.ok()) status = simulation.apply_resets(control);
  return status.ok() ? "" : status.error();
}

// The model of the circuit the generator makes from `seed`, settled and,
// when given, stepped with `first`.
inline ClockedCircuit clocked_twin(unsigned seed, const ClockedShape& shape, const Values* first) {
  std::mt19937_64 rng(seed);
  ClockedCircuit twin = make_clocked_circuit(rng, shape);
  EXPECT_EQ(twin.model->settle({}), "");
  if (first != nullptr) {
    EXPECT_EQ(twin.model->step(*first), "");
  }
  return twin;
}

// Random step inputs: a random subset of the inputs; now and then (with
// probability `bad` in a thousand) a value of the wrong width.
inline Values random_step(std::mt19937_64& rng, const ClockedCircuit& circuit, unsigned bad = 0) {
  Values step;
  for (const auto& [id, width] : circuit.inputs) {
    if (rng() % 2) step.emplace_back(id, random_bits(rng, width));
  }
  if (!step.empty() && rng() % 1000 < bad) step[rng() % step.size()].second += "1";
  return step;
}

// The inputs by position, pointing into the texts of `inputs`.
inline std::vector<PositionInput> positions_of(const Simulation& simulation, const Values& inputs) {
  std::vector<PositionInput> positions;
  for (const auto& [id, bits] : inputs) positions.push_back({*simulation.find(id), bits});
  return positions;
}

// Steps by position (pointing into the texts of `steps`), one vector each.
struct TextBatch {
  std::vector<PositionInput> writes;
  std::vector<std::size_t> ends;
  TextVectors vectors() const { return TextVectors{writes, ends}; }
};

inline TextBatch text_batch(const Simulation& simulation, const std::vector<Values>& steps) {
  TextBatch batch;
  for (const Values& step : steps) {
    for (const PositionInput& input : positions_of(simulation, step)) batch.writes.push_back(input);
    batch.ends.push_back(batch.writes.size());
  }
  return batch;
}

// The shown texts of every vector of a batch; the sink stops the batch
// after `stop_after` rows.
class ShownRows final : public VectorSink {
 public:
  explicit ShownRows(std::size_t stop_after = ~std::size_t{0}) : stop_after_(stop_after) {}
  bool take(std::size_t vector, std::span<const BitBusValue> values) override {
    EXPECT_EQ(vector, rows.size());
    std::vector<std::string> row;
    for (const BitBusValue& value : values) row.push_back(value.to_string());
    rows.push_back(std::move(row));
    return rows.size() <= stop_after_;
  }
  std::vector<std::vector<std::string>> rows;

 private:
  std::size_t stop_after_;
};

// The rows and the fault a run of `count` vectors gave, against a model:
// `advance(v)` takes vector v into the model and gives its error ("" when
// it takes it), `expected()` the model's values then. Each row holds the
// texts of the `shown` positions; the first vector the model refuses is
// the fault, with its index and message, and the rows end before it.
template <class Advance, class Expected>
void expect_rows_of_model(const std::vector<std::vector<std::string>>& rows,
                          const std::optional<VectorFault>& fault, std::size_t count,
                          std::span<const std::uint32_t> shown, Advance advance,
                          Expected expected) {
  std::size_t v = 0;
  for (; v < count; ++v) {
    const std::string error = advance(v);
    if (!error.empty()) {
      ASSERT_TRUE(fault.has_value()) << "vector " << v << ": " << error;
      EXPECT_EQ(fault->vector, v);
      EXPECT_EQ(fault->message, error);
      break;
    }
    ASSERT_LT(v, rows.size());
    const Values now = expected();
    for (std::size_t i = 0; i < shown.size(); ++i) {
      ASSERT_EQ(rows[v][i], now[shown[i]].second)
          << "vector " << v << ", bus " << now[shown[i]].first;
    }
  }
  EXPECT_EQ(rows.size(), v);
  if (v == count) {
    EXPECT_FALSE(fault.has_value()) << fault->message;
  }
}

// Every position of `simulation`, or every `stride`th.
inline std::vector<std::uint32_t> positions_every(const Simulation& simulation,
                                                  std::uint32_t stride = 1) {
  std::vector<std::uint32_t> shown;
  for (std::uint32_t p = 0; p < simulation.bus_count(); p += stride) shown.push_back(p);
  return shown;
}

}  // namespace nimbo::testing_model
