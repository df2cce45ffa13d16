// The batches of a one-pass component, a block of vectors at a time: the
// inputs in force in each vector go into one lane of the LanePass, one pass
// evaluates the block, and the state after the last good vector is then set
// through the WordPass (the driven values follow from the inputs alone).
#include <algorithm>
#include <string>
#include <vector>

#include "engine/pass_plan.hpp"
#include "engine/simulation.hpp"

namespace nimbo {
namespace {

constexpr std::size_t kLaneBudget = std::size_t{2} << 20;  // bytes of lane words

}  // namespace

LanePass& Simulation::lanes_for(std::size_t vectors) {
  if (!lane_pass_) lane_pass_ = std::make_unique<LanePass>(graph_, schedule_, *plan_);
  // More lane words take more vectors per pass, but once the lanes outgrow
  // the cache every gate waits on memory: keep them within a budget.
  std::size_t words = 1;
  while (words < LanePass::kMaxLaneWords && 64 * words < vectors &&
         lane_pass_->signal_count() * words * 2 * sizeof(Word) <= kLaneBudget) {
    words *= 2;
  }
  if (lane_pass_->lane_words() != words) lane_pass_->set_lane_words(words);
  return *lane_pass_;
}

std::size_t Simulation::width_in_batch(std::size_t position, std::size_t vector) const {
  // A driven bus keeps its declared width until its first evaluation.
  if (vector > 0 && graph_.driver(position).kind != BusDriver::Kind::kInput) {
    return word_pass_->width(position);
  }
  return width(position);
}

bool Simulation::hand_out(const LanePass& lanes, std::size_t first, std::size_t count,
                          std::span<const std::uint32_t> shown, VectorSink& sink,
                          std::size_t& stopped) {
  if (sink.takes_blocks()) {
    sink.take_block(first, count, LanesOfShown(lanes, shown));
    return true;
  }
  std::vector<BitBusValue> values(shown.size());
  for (std::size_t lane = 0; lane < count; ++lane) {
    for (std::size_t i = 0; i < shown.size(); ++i) lanes.read(shown[i], lane, values[i]);
    if (!sink.take(first + lane, values)) {
      stopped = lane;
      return false;
    }
  }
  return true;
}

void Simulation::load_lanes(LanePass& lanes) const {
  for (const std::uint32_t p : inputs_) {
    const auto signals = lanes.signals(p);
    for (std::size_t i = 0; i < signals.size(); ++i) {
      lanes.fill(signals[i], 0, lanes.block_size(), word_pass_->bit(p, i));
    }
  }
}

void Simulation::settle_on_lane(const LanePass& lanes, std::size_t lane) {
  BitBusValue value;
  for (const std::uint32_t p : inputs_) {
    lanes.read(p, lane, value);
    word_pass_->write(p, value);
  }
  word_pass_->run();
  evaluated_ = true;
  table_stale_ = true;
}

std::optional<VectorFault> Simulation::run_lanes(const TextVectors& vectors,
                                                 std::span<const std::uint32_t> shown,
                                                 VectorSink& sink, const UpdateControl& control) {
  LanePass& lanes = lanes_for(vectors.size());
  const std::size_t block = lanes.block_size();
  // Each written bit goes straight into its lane; the lanes an input signal
  // was not written in keep the value in force before them: `bit` is that
  // value and `next` the first lane not set yet. Lanes start a block as 0s.
  const LanePass::Signal first_input = lanes.first_input_signal();
  const std::size_t input_signals = lanes.input_signal_count();
  std::vector<std::uint8_t> bit(input_signals);
  std::vector<std::uint32_t> next(input_signals, 0);
  for (const std::uint32_t p : inputs_) {
    const auto signals = lanes.signals(p);
    for (std::size_t i = 0; i < signals.size(); ++i)
      bit[signals[i] - first_input] = word_pass_->bit(p, i);
  }
  const auto close_stretches = [&](std::size_t end) {
    for (std::size_t s = 0; s < input_signals; ++s) {
      if (bit[s] && next[s] < end)
        lanes.fill(static_cast<LanePass::Signal>(first_input + s), next[s], end, true);
      next[s] = 0;
    }
  };
  for (std::size_t first = 0; first < vectors.size(); first += block) {
    if (first != 0 && control.poll(lanes.signal_count() * lanes.lane_words())) {
      settle_on_lane(lanes, block - 1);
      return interrupted_at(first);
    }
    lanes.clear_inputs();
    const std::size_t count = std::min(block, vectors.size() - first);
    std::optional<VectorFault> fault;
    std::size_t good = count;
    for (std::size_t lane = 0; lane < count && !fault; ++lane) {
      const std::size_t vector = first + lane;
      const auto inputs = vectors.of(vector);
      // Checked before any is written: a refused vector leaves its lane, and
      // the lanes after it, with the inputs in force before it.
      for (const PositionInput& input : inputs) {
        // A driven bus keeps its declared width until its first evaluation.
        const std::size_t expected = vector > 0 || evaluated_
                                         ? word_pass_->width(input.position)
                                         : component_.busses().value(input.position).width();
        if (input.bits.size() != expected ||
            input.bits.find_first_not_of("01") != std::string_view::npos) {
          fault =
              VectorFault{vector, input.position, check_value_text(input.bits, expected).error()};
          good = lane;
          break;
        }
      }
      if (fault) break;
      const Word lane_bit = Word{1} << (lane % 64);
      for (const PositionInput& input : inputs) {
        const LanePass::Signal first_signal = lanes.first_signal_of_input(input.position);
        if (first_signal == LanePass::kNoSignal) continue;
        for (std::size_t i = 0; i < input.bits.size(); ++i) {
          const auto signal = static_cast<LanePass::Signal>(first_signal + i);
          const std::size_t s = signal - first_input;
          if (next[s] < lane && bit[s]) lanes.fill(signal, next[s], lane, true);
          // Set or cleared without a branch on the bit: a line may write
          // an input twice, and the later write wins.
          const std::uint8_t on = input.bits[i] == '1';
          Word& word = lanes.lanes(signal)[lane / 64];
          word = (word & ~lane_bit) | (lane_bit * on);
          bit[s] = on;
          next[s] = static_cast<std::uint32_t>(lane + 1);
        }
      }
    }
    close_stretches(block);
    if (auto stop = finish_block(lanes, first, good, shown, sink)) return stop;
    if (fault || first + block >= vectors.size()) {
      settle_after_block(lanes, first, good);
      return fault;
    }
  }
  return std::nullopt;
}

std::optional<VectorFault> Simulation::run_lanes(const ByteVectors& vectors,
                                                 std::span<const std::uint32_t> shown,
                                                 VectorSink& sink, const UpdateControl& control) {
  LanePass& lanes = lanes_for(vectors.rows);
  const std::size_t block = lanes.block_size();
  // Inputs the rows do not write keep their value in every lane; the
  // blocks below overwrite the lanes of those they write.
  load_lanes(lanes);
  // Where each input's columns start; each has as many as its width now.
  std::vector<std::size_t> column_of(vectors.inputs.size());
  // A driven bus whose evaluated width differs from its columns refuses
  // its text from the second vector on.
  bool widths_change = false;
  for (std::size_t i = 0, column = 0; i < vectors.inputs.size(); ++i) {
    column_of[i] = column;
    column += width(vectors.inputs[i]);
    widths_change =
        widths_change || width(vectors.inputs[i]) != width_in_batch(vectors.inputs[i], 1);
  }
  // The slow check, input by input, only for a row that needs it.
  const auto row_fault = [&](std::size_t row) -> std::optional<VectorFault> {
    bool suspect = widths_change && row == 1;
    for (std::size_t c = 0; c < vectors.columns && !suspect; ++c) suspect = vectors.at(row, c) > 1;
    if (!suspect) return std::nullopt;
    for (std::size_t i = 0; i < vectors.inputs.size(); ++i) {
      if (auto fault = refused_row(vectors, row, vectors.inputs[i], column_of[i])) return fault;
    }
    return std::nullopt;
  };
  for (std::size_t first = 0; first < vectors.rows; first += block) {
    if (first != 0 && control.poll(lanes.signal_count() * lanes.lane_words())) {
      settle_on_lane(lanes, block - 1);
      return interrupted_at(first);
    }
    const std::size_t count = std::min(block, vectors.rows - first);
    std::optional<VectorFault> fault;
    std::size_t good = count;
    for (std::size_t lane = 0; lane < count && !fault; ++lane) {
      fault = row_fault(first + lane);
      if (fault) good = lane;
    }
    // Every vector writes every input: the lanes are the columns. A block
    // without a good row puts the row before it, the last good one, in lane 0.
    const std::size_t source = good > 0 ? first : first - (first != 0);
    const std::size_t filled = good > 0 ? good : first != 0;
    for (std::size_t i = 0; i < vectors.inputs.size(); ++i) {
      const std::uint32_t p = vectors.inputs[i];
      if (graph_.driver(p).kind != BusDriver::Kind::kInput) continue;
      const auto signals = lanes.signals(p);
      for (std::size_t b = 0; b < signals.size(); ++b) {
        Word* words = lanes.lanes(signals[b]);
        const std::size_t column = column_of[i] + b;
        for (std::size_t w = 0; w < lanes.lane_words(); ++w) {
          Word word = 0;
          const std::size_t end = std::min<std::size_t>(64, filled > w * 64 ? filled - w * 64 : 0);
          for (std::size_t j = 0; j < end; ++j) {
            word |= Word{vectors.at(source + w * 64 + j, column)} << j;
          }
          words[w] = word;
        }
      }
    }
    if (auto stop = finish_block(lanes, first, good, shown, sink)) return stop;
    if (fault || first + block >= vectors.rows) {
      settle_after_block(lanes, first, good);
      return fault;
    }
  }
  return std::nullopt;
}

std::optional<VectorFault> Simulation::refused_row(const ByteVectors& vectors, std::size_t row,
                                                   std::uint32_t position,
                                                   std::size_t first_column) const {
  const std::size_t columns = width(position);
  std::string text(columns, '0');
  for (std::size_t b = 0; b < columns; ++b) {
    const std::uint8_t byte = vectors.at(row, first_column + b);
    if (byte > 1) {
      return VectorFault{row, position,
                         "Invalid bit " + std::to_string(byte) + " (bits are 0 or 1)"};
    }
    text[b] = static_cast<char>('0' + byte);
  }
  Status checked = check_value_text(text, width_in_batch(position, row));
  if (checked.ok()) return std::nullopt;
  return VectorFault{row, position, std::move(checked).error()};
}

void Simulation::settle_after_block(const LanePass& lanes, std::size_t first, std::size_t good) {
  if (good > 0) {
    settle_on_lane(lanes, good - 1);
  } else if (first != 0) {
    settle_on_lane(lanes, 0);  // the inputs in force before the block
  }
}

std::optional<VectorFault> Simulation::finish_block(LanePass& lanes, std::size_t first,
                                                    std::size_t good,
                                                    std::span<const std::uint32_t> shown,
                                                    VectorSink& sink) {
  if (good == 0) return std::nullopt;
  lanes.run();
  std::size_t stopped = 0;
  if (hand_out(lanes, first, good, shown, sink, stopped)) return std::nullopt;
  settle_on_lane(lanes, stopped);
  return stopped_by_sink(first + stopped);
}

}  // namespace nimbo
