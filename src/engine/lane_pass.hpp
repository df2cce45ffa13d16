// LanePass: many vectors of a component without feedback in one pass.
//
// Every bit of every value becomes a signal, and each signal holds one bit
// per vector: bit j of its words is its value in vector j of the block
// ("lanes"). A gate over w-bit values becomes w one-bit gates, each of which
// combines whole words, so one pass over the gates evaluates 64 vectors per
// word of lanes. Constants are the two signals "all 0" and "all 1"; a copy
// shares the signals of what it copies. Gates keep the levels and runs of
// the PassPlan, so a run's loop knows its truth table at compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/large_pages.hpp"
#include "engine/pass_plan.hpp"
#include "engine/schedule.hpp"
#include "engine/vectors.hpp"
#include "engine/word_pass.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

class LanePass {
 public:
  using Signal = std::uint32_t;
  static constexpr std::size_t kMaxLaneWords = 8;

  LanePass(const GateGraph& graph, const Schedule& schedule, const PassPlan& plan);

  // Sets the number of lane words per signal (1, 2, 4 or 8): a block holds
  // 64 * words vectors.
  void set_lane_words(std::size_t words);
  // Sets as many lane words as `vectors` vectors fill, within a budget of
  // memory.
  void fit(std::size_t vectors);
  std::size_t lane_words() const noexcept { return lane_words_; }
  std::size_t block_size() const noexcept { return 64 * lane_words_; }
  std::size_t signal_count() const noexcept { return signal_count_; }

  // The signals of the bus at `position`, element 0 first.
  std::span<const Signal> signals(std::size_t position) const {
    return {bus_signals_.data() + bus_offsets_[position],
            bus_offsets_[position + 1] - bus_offsets_[position]};
  }
  // The lane words of a signal (an input's signals are written from outside).
  Word* lanes(Signal signal) noexcept { return lanes_.data() + signal * lane_words_; }
  const Word* lanes(Signal signal) const noexcept { return lanes_.data() + signal * lane_words_; }
  bool bit(Signal signal, std::size_t lane) const noexcept {
    return (lanes(signal)[lane / 64] >> (lane % 64)) & 1U;
  }
  // Sets lanes [from, to) of `signal` to `on`.
  void fill(Signal signal, std::size_t from, std::size_t to, bool on) noexcept;
  // The two constant signals: every lane 0, and every lane 1.
  static constexpr Signal kAllZero = 0;
  static constexpr Signal kAllOne = 1;
  // The signals of input busses are [first_input_signal(), + input_signal_count()).
  Signal first_input_signal() const noexcept { return 2; }
  std::size_t input_signal_count() const noexcept { return first_gate_signal_ - 2; }
  // Sets every lane of every input signal to 0.
  void clear_inputs() noexcept;
  // Sets every lane of the input busses at `inputs` to their values in `words`.
  void load_inputs(const WordPass& words, std::span<const std::uint32_t> inputs);
  // The first signal of the input bus at `position` (its signals follow one
  // another), or kNoSignal for a driven bus.
  static constexpr Signal kNoSignal = ~Signal{0};
  Signal first_signal_of_input(std::size_t position) const noexcept {
    return input_first_[position];
  }

  // Evaluates every gate once, for every lane.
  void run();

  // The value of the bus at `position` in lane `lane`.
  void read(std::size_t position, std::size_t lane, BitBusValue& value) const;

 private:
  struct Run {
    TruthTable table;
    std::uint32_t begin;  // one-bit gates [begin, end)
    std::uint32_t end;
  };

  std::size_t lane_words_ = 1;
  std::vector<Word, LargePageAllocator<Word>> lanes_;
  std::vector<Signal, LargePageAllocator<Signal>> left_, right_;  // per one-bit gate
  Signal first_gate_signal_ = 0;  // gate i writes signal first_gate_signal_ + i
  std::size_t signal_count_ = 0;
  std::vector<Run> runs_;
  std::vector<std::uint32_t> bus_offsets_;  // per bus position, plus the end
  std::vector<Signal> bus_signals_;
  std::vector<Signal> input_first_;  // per bus position
};

// The shown busses of a LanePass, by position.
class LanesOfShown final : public ShownLanes {
 public:
  LanesOfShown(const LanePass& lanes, std::span<const std::uint32_t> shown)
      : lanes_(lanes), shown_(shown) {}
  std::size_t width(std::size_t i) const override { return lanes_.signals(shown_[i]).size(); }
  const Word* lanes(std::size_t i, std::size_t bit) const override {
    return lanes_.lanes(lanes_.signals(shown_[i])[bit]);
  }

 private:
  const LanePass& lanes_;
  std::span<const std::uint32_t> shown_;
};

}  // namespace nimbo
