// Rows of bytes whose columns are not adjacent (a view with a column
// stride) give what the same rows packed give, faults included, for every
// build of the lane kernels: the packed rows take the 8-bytes-at-a-time
// path, the others the byte-by-byte one, and test_sequences compares the
// packed rows with the plain model.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "engine/simulation.hpp"
#include "lane_runners.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

using testing_model::ClockedCircuit;
using testing_model::ClockedShape;
using testing_model::LaneRunner;

// Each lane's shown bits after each step, as one text per step.
class StepTexts final : public SequenceSink {
 public:
  explicit StepTexts(std::size_t sequences) : rows(sequences) {}
  bool take_step(std::size_t first, std::size_t, std::span<const Word> live,
                 const ShownLanes& values) override {
    for (std::size_t w = 0; w < live.size(); ++w) {
      for (Word left = live[w]; left != 0; left &= left - 1) {
        const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
        std::string& text = rows[first + lane].emplace_back();
        for (std::size_t i = 0; i < shown; ++i) {
          for (std::size_t b = 0; b < values.width(i); ++b) {
            text += ((values.lanes(i, b)[lane / 64] >> (lane % 64)) & 1U) ? '1' : '0';
          }
        }
      }
    }
    return true;
  }
  bool take(std::size_t sequence, std::size_t, std::span<const BitBusValue> values) override {
    std::string& text = rows[sequence].emplace_back();
    for (const BitBusValue& value : values) text += value.to_string();
    return true;
  }
  std::size_t shown = 0;
  std::vector<std::vector<std::string>> rows;
};

struct StrideCase {
  const char* name;
  ClockedShape shape;
  std::size_t sequences;
  std::ptrdiff_t column_stride;
  std::uint8_t gap = 0xFF;  // the bytes between columns, which nothing reads
};

const StrideCase kStrideCases[] = {
    {"WideOneWord", {.widths = {1, 64, 65, 130}}, 40, 3},
    {"WideManyWords", {.widths = {1, 65, 130}}, 300, 2, 1},
    {"Memories", {.widths = {1, 3, 65}, .memories = 2}, 140, 2, 0},
    {"Backwards", {.widths = {1, 3}}, 70, -1},
};

class SequenceStrides : public ::testing::TestWithParam<std::tuple<StrideCase, LaneRunner>> {};

TEST_P(SequenceStrides, GiveWhatPackedRowsGive) {
  const auto& [stride_case, runner] = GetParam();
  NIMBO_USE_LANE_RUNNER(runner);
  for (unsigned seed = 1; seed <= 3; ++seed) {
    std::mt19937_64 rng(seed);
    ClockedCircuit circuit = testing_model::make_clocked_circuit(rng, stride_case.shape);
    if (!circuit.model->settle({}).empty()) continue;
    ASSERT_EQ(testing_model::start(*circuit.simulation), "");
    Simulation& simulation = *circuit.simulation;
    std::vector<std::uint32_t> inputs;
    std::size_t columns = 0;
    for (const auto& [id, width] : circuit.inputs) {
      inputs.push_back(*simulation.find(id));
      columns += width;
    }
    const std::size_t count = stride_case.sequences;
    const std::size_t steps = 5;
    std::vector<std::uint8_t> packed(count * steps * columns);
    for (std::uint8_t& byte : packed) byte = static_cast<std::uint8_t>(rng() & 1);
    packed[rng() % packed.size()] = static_cast<std::uint8_t>(2 + rng() % 254);  // one bad byte
    // The same bytes `column_stride` apart, the gap's bytes between them.
    const std::ptrdiff_t stride = stride_case.column_stride;
    const std::size_t spread = static_cast<std::size_t>(stride < 0 ? -stride : stride);
    std::vector<std::uint8_t> spaced(packed.size() * spread, stride_case.gap);
    for (std::size_t row = 0; row < count * steps; ++row) {
      for (std::size_t c = 0; c < columns; ++c) {
        const std::size_t at = stride < 0 ? columns - 1 - c : c * spread;
        spaced[row * columns * spread + at] = packed[row * columns + c];
      }
    }
    const auto row_bytes = static_cast<std::ptrdiff_t>(columns);
    const ByteSequences packed_rows{inputs,    packed.data(),
                                    count,     steps,
                                    columns,   row_bytes * static_cast<std::ptrdiff_t>(steps),
                                    row_bytes, 1};
    const auto spaced_row = row_bytes * static_cast<std::ptrdiff_t>(spread);
    const std::uint8_t* first_column = spaced.data() + (stride < 0 ? columns - 1 : 0);
    const ByteSequences spaced_rows{inputs,     first_column,
                                    count,      steps,
                                    columns,    spaced_row * static_cast<std::ptrdiff_t>(steps),
                                    spaced_row, stride};
    std::vector<std::uint32_t> shown;
    for (std::uint32_t p = 0; p < simulation.bus_count(); ++p) shown.push_back(p);
    StepTexts from_packed(count), from_spaced(count);
    from_packed.shown = from_spaced.shown = shown.size();
    std::vector<std::optional<VectorFault>> packed_faults, spaced_faults;
    const UpdateControl control{nullptr, testing_model::kModelWorkLimit};
    ASSERT_FALSE(
        simulation.run_sequences(packed_rows, shown, from_packed, packed_faults, control, 1));
    ASSERT_FALSE(
        simulation.run_sequences(spaced_rows, shown, from_spaced, spaced_faults, control, 1));
    std::size_t faulted = 0;
    for (std::size_t s = 0; s < count; ++s) {
      ASSERT_EQ(from_spaced.rows[s], from_packed.rows[s]) << "seed " << seed << " sequence " << s;
      ASSERT_EQ(spaced_faults[s].has_value(), packed_faults[s].has_value()) << s;
      if (!packed_faults[s]) continue;
      ++faulted;
      EXPECT_EQ(spaced_faults[s]->vector, packed_faults[s]->vector) << s;
      EXPECT_EQ(spaced_faults[s]->position, packed_faults[s]->position) << s;
      EXPECT_EQ(spaced_faults[s]->message, packed_faults[s]->message) << s;
    }
    EXPECT_GE(faulted, 1U) << "seed " << seed;  // the bad byte's sequence at least
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SequenceStrides,
                         ::testing::Combine(::testing::ValuesIn(kStrideCases),
                                            ::testing::ValuesIn(testing_model::kLaneIsaRunners)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace nimbo
