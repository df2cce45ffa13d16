// Reactive lanes against the plain clocked model: every lane, driven call by
// call with its own inputs, holds, settles, pokes and resets, holds what a
// model driven alone with the same calls holds, bus for bus.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/reactive_lanes.hpp"
#include "engine/simulation.hpp"
#include "lane_runners.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::ClockedCircuit;
using testing_model::ClockedShape;
using testing_model::Values;

// The text of the bus at `position` in every lane.
std::vector<std::string> lane_texts(const ReactiveLanes& lanes, std::size_t position) {
  const auto signals = lanes.signals(position);
  std::vector<std::string> texts(lanes.count());
  std::vector<Word> values(lanes.count());
  for (std::size_t first = 0; first < signals.size(); first += 64) {
    const auto chunk = signals.subspan(first, std::min<std::size_t>(64, signals.size() - first));
    lanes.read(chunk, values.data());
    for (std::size_t l = 0; l < lanes.count(); ++l) {
      for (std::size_t b = 0; b < chunk.size(); ++b)
        texts[l] += ((values[l] >> b) & 1U) ? '1' : '0';
    }
  }
  return texts;
}

// Writes `bits` (one text per lane, of the bus's width) into the lanes of `mask`.
void write_texts(ReactiveLanes& lanes, std::size_t position, const std::vector<std::string>& bits,
                 std::span<const Word> mask) {
  const auto signals = lanes.signals(position);
  std::vector<Word> values(lanes.count());
  for (std::size_t first = 0; first < signals.size(); first += 64) {
    const auto chunk = signals.subspan(first, std::min<std::size_t>(64, signals.size() - first));
    for (std::size_t l = 0; l < lanes.count(); ++l) {
      values[l] = 0;
      for (std::size_t b = 0; b < chunk.size() && first + b < bits[l].size(); ++b) {
        values[l] |= Word{bits[l][first + b] == '1'} << b;
      }
    }
    lanes.write(chunk, values.data(), mask);
  }
}

struct LanesCase {
  const char* name;
  ClockedShape shape;
  std::size_t lanes;
};

const LanesCase kLanesCases[] = {
    {"OnePass", {}, 70},
    {"OneBit", {.widths = {1}}, 3},
    {"Wide", {.widths = {1, 64, 65, 130}}, 65},
    {"ResetChains", {.widths = {1}, .reset_chains = true, .registers = 8}, 64},
    {"ClocksAsData", {.widths = {1, 3}, .clocks_as_data = true}, 100},
    {"NoRegisters", {.registers = 0}, 5},
    {"Blocks", {.widths = {1, 3}}, 1100},
    {"Memories", {.memories = 2}, 70},
    {"MemoriesAlone", {.registers = 0, .memories = 3}, 5},
    {"MemoriesWide", {.widths = {1, 65, 130}, .memories = 2}, 65},
    {"MemoriesResetChains",
     {.widths = {1}, .reset_chains = true, .registers = 6, .memories = 2},
     64},
    {"MemoriesBlocks", {.widths = {1, 3}, .memories = 1}, 1100},
};

class LanesAgainstModel : public testing_model::LaneTest<LanesCase> {};

TEST_P(LanesAgainstModel, EachLaneHoldsWhatItsModelHolds) {
  const auto& [lanes_case, seed, runner] = GetParam();
  NIMBO_USE_LANE_RUNNER(runner);
  std::mt19937_64 rng(seed);
  ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, lanes_case.shape);
  if (!circuit.model->settle({}).empty()) return;  // does not settle: see test_steps
  ASSERT_EQ(testing_model::start(*circuit.simulation), "");
  Simulation& simulation = *circuit.simulation;
  const SimulationState initial = simulation.save_state();
  // The lanes start from the state now, here after one step.
  const Values first = testing_model::random_step(rng, circuit);
  if (!circuit.model->step(first).empty()) return;
  ASSERT_TRUE(simulation.step(testing_model::positions_of(simulation, first)).ok());
  bool over_budget = true;
  std::unique_ptr<ReactiveLanes> lanes = simulation.reactive_lanes(lanes_case.lanes, &over_budget);
  ASSERT_NE(lanes, nullptr);
  EXPECT_FALSE(over_budget);
  const std::size_t count = lanes->count();
  ASSERT_EQ(count, lanes_case.lanes);

  // Many lanes share one model per distinct history: lanes beyond the
  // first few follow lane 0's calls, so a block test stays cheap.
  const std::size_t modelled = std::min<std::size_t>(count, 80);
  std::vector<ClockedCircuit> twins;
  for (std::size_t l = 0; l < modelled; ++l) {
    twins.push_back(testing_model::clocked_twin(seed, lanes_case.shape, &first));
  }
  const auto model_of = [&](std::size_t lane) -> testing_model::ClockedModel& {
    return *twins[lane < modelled ? lane : 0].model;
  };
  std::vector<bool> alive(count, true);  // a lane whose resets failed is cut short

  for (int round = 0; round < 25; ++round) {
    const int kind = static_cast<int>(rng() % 20);  // 0-13 step, 14-16 settle, 17-18 poke, 19 reset
    std::vector<Word> mask(lanes->mask_words(), 0);
    std::vector<bool> acts(count);
    for (std::size_t l = 0; l < count; ++l) {
      acts[l] = l >= modelled ? acts[0] : rng() % 4 != 0;  // the others are held
      if (acts[l]) mask[l / 64] |= Word{1} << (l % 64);
    }
    std::vector<Values> given(count);
    if (kind == 19) {
      lanes->load(initial.values, initial.words, mask);
      for (std::size_t l = 0; l < modelled; ++l) {
        if (!acts[l]) continue;
        twins[l] = testing_model::clocked_twin(seed, lanes_case.shape, nullptr);
        alive[l] = true;
      }
      for (std::size_t l = modelled; l < count; ++l) alive[l] = alive[0];
    } else {
      // Each written bus gets a value in every lane that writes it.
      std::vector<std::pair<std::string, std::size_t>> busses;
      if (kind >= 17) {
        for (const std::string& q : circuit.qs) {
          busses.emplace_back(q, simulation.width(*simulation.find(q)));
        }
      } else {
        for (const auto& [id, width] : circuit.inputs) busses.emplace_back(id, width);
      }
      for (const auto& [id, width] : busses) {
        std::vector<Word> bus_mask(lanes->mask_words(), 0);
        std::vector<std::string> bits(count, std::string(width, '0'));
        for (std::size_t l = 0; l < count; ++l) {
          const bool writes =
              l >= modelled ? !given[0].empty() && given[0].back().first == id : rng() % 2 != 0;
          if (!acts[l] || !writes) continue;
          bits[l] = l >= modelled ? given[0].back().second : testing_model::random_bits(rng, width);
          bus_mask[l / 64] |= Word{1} << (l % 64);
          if (l < modelled) given[l].emplace_back(id, bits[l]);
        }
        write_texts(*lanes, *simulation.find(id), bits, bus_mask);
      }
      std::vector<std::size_t> failed;
      if (kind < 14) {
        lanes->step(mask, failed);
      } else {
        lanes->settle(mask, failed);
      }
      for (std::size_t l = 0; l < modelled; ++l) {
        if (!acts[l]) continue;
        testing_model::ClockedModel& model = model_of(l);
        std::string error;
        if (kind < 14) {
          error = model.step(given[l]);
        } else if (kind < 17) {
          error = model.settle(given[l]);
        } else {
          error = model.update(given[l]);
          if (error.empty()) error = model.resets();
        }
        const bool lane_failed = std::binary_search(failed.begin(), failed.end(), l);
        if (alive[l]) {
          EXPECT_EQ(lane_failed, !error.empty()) << "lane " << l << ": " << error;
        }
        if (!error.empty()) alive[l] = false;
      }
      for (std::size_t l = modelled; l < count; ++l) alive[l] = alive[0];
    }
    for (std::size_t p = 0; p < simulation.bus_count(); ++p) {
      const std::vector<std::string> texts = lane_texts(*lanes, p);
      for (std::size_t l = 0; l < count; ++l) {
        if (!alive[l] || (l >= modelled && acts[l] != acts[0])) continue;
        const Values expected = model_of(l).values();
        ASSERT_EQ(texts[l], expected[p].second)
            << "round " << round << " lane " << l << " bus " << expected[p].first;
      }
    }
  }
}

NIMBO_INSTANTIATE_LANE_TESTS(LanesAgainstModel, kLanesCases, 0U, 6U,
                             testing_model::kLaneIsaRunners);

TEST(ReactiveLanes, AWorklistSimulationHasNone) {
  std::mt19937_64 rng(3);
  const auto pick = [&](std::size_t count) { return static_cast<std::size_t>(rng() % count); };
  const testing_model::ClockedDesign design = testing_model::make_clocked_design(pick, {});
  Component component = design.component(/*loop=*/true);
  Result<Registers> registers = resolve_registers(component, design.registers);
  ASSERT_TRUE(registers.ok());
  Simulation simulation(std::move(component), std::move(registers).value());
  ASSERT_EQ(testing_model::start(simulation), "");
  ASSERT_FALSE(simulation.runs_one_pass());
  EXPECT_EQ(simulation.reactive_lanes(4), nullptr);
}

}  // namespace
}  // namespace nimbo
