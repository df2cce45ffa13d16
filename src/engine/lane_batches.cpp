#include "engine/lane_batches.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/input_checks.hpp"
#include "engine/messages.hpp"

namespace nimbo {

LaneBatches::LaneBatches(const Circuit& circuit, BusState& state, LanePass& lanes)
    : circuit_(circuit), state_(state), words_(state.words()), lanes_(lanes) {}

std::size_t LaneBatches::width_in_batch(std::size_t position, std::size_t vector) const {
  // A driven bus keeps its width now until its first evaluation.
  if (vector > 0 && !circuit_.is_input(position)) return words_.width(position);
  return state_.width(position);
}

bool LaneBatches::hand_out(std::size_t first, std::size_t count,
                           std::span<const std::uint32_t> shown, VectorSink& sink,
                           std::size_t& stopped) {
  const LanePass& lanes = lanes_;
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

void LaneBatches::settle_on_lane(std::size_t lane) {
  BitBusValue value;
  for (const std::uint32_t p : circuit_.inputs) {
    lanes_.read(p, lane, value);
    words_.write(p, value);
  }
  words_.run();
}

std::optional<VectorFault> LaneBatches::run(const TextVectors& vectors,
                                            std::span<const std::uint32_t> shown, VectorSink& sink,
                                            const UpdateControl& control) {
  LanePass& lanes = lanes_;
  const std::size_t block = lanes.block_size();
  // Each written bit goes straight into its lane; the lanes an input signal
  // was not written in keep the value in force before them: `bit` is that
  // value and `next` the first lane not set yet. Lanes start a block as 0s.
  const LanePass::Signal first_input = lanes.first_input_signal();
  const std::size_t input_signals = lanes.input_signal_count();
  std::vector<std::uint8_t> bit(input_signals);
  std::vector<std::uint32_t> next(input_signals, 0);
  for (const std::uint32_t p : circuit_.inputs) {
    const auto signals = lanes.signals(p);
    for (std::size_t i = 0; i < signals.size(); ++i)
      bit[signals[i] - first_input] = words_.bit(p, i);
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
      settle_on_lane(block - 1);
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
      const Widths widths = vector > 0 ? Widths::kEvaluated : Widths::kNow;
      if (auto refused = refused_input(state_, inputs, widths)) {
        fault = VectorFault{vector, inputs[refused->first].position,
                            std::move(refused->second.message)};
        good = lane;
        break;
      }
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
    if (auto stop = finish_block(first, good, shown, sink)) return stop;
    if (fault || first + block >= vectors.size()) {
      settle_after_block(first, good);
      return fault;
    }
  }
  return std::nullopt;
}

std::optional<VectorFault> LaneBatches::run(const ByteVectors& vectors,
                                            std::span<const std::uint32_t> shown, VectorSink& sink,
                                            const UpdateControl& control) {
  LanePass& lanes = lanes_;
  const std::size_t block = lanes.block_size();
  // Inputs the rows do not write keep their value in every lane; the
  // blocks below overwrite the lanes of those they write.
  lanes.load_inputs(words_, circuit_.inputs);
  // Where each input's columns start; each has as many as its width now.
  std::vector<std::size_t> column_of(vectors.inputs.size());
  // A driven bus whose evaluated width differs from its columns refuses
  // its text from the second vector on.
  bool widths_change = false;
  for (std::size_t i = 0, column = 0; i < vectors.inputs.size(); ++i) {
    column_of[i] = column;
    column += state_.width(vectors.inputs[i]);
    widths_change =
        widths_change || state_.width(vectors.inputs[i]) != width_in_batch(vectors.inputs[i], 1);
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
      settle_on_lane(block - 1);
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
      if (!circuit_.is_input(p)) continue;
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
    if (auto stop = finish_block(first, good, shown, sink)) return stop;
    if (fault || first + block >= vectors.rows) {
      settle_after_block(first, good);
      return fault;
    }
  }
  return std::nullopt;
}

std::optional<VectorFault> LaneBatches::refused_row(const ByteVectors& vectors, std::size_t row,
                                                    std::uint32_t position,
                                                    std::size_t first_column) const {
  const std::size_t columns = state_.width(position);
  std::string text(columns, '0');
  for (std::size_t b = 0; b < columns; ++b) {
    const std::uint8_t byte = vectors.at(row, first_column + b);
    if (byte > 1) {
      return VectorFault{row, position, messages::invalid_bit(byte)};
    }
    text[b] = static_cast<char>('0' + byte);
  }
  Status checked = check_value_text(text, width_in_batch(position, row));
  if (checked.ok()) return std::nullopt;
  return VectorFault{row, position, std::move(checked).error()};
}

void LaneBatches::settle_after_block(std::size_t first, std::size_t good) {
  if (good > 0) {
    settle_on_lane(good - 1);
  } else if (first != 0) {
    settle_on_lane(0);  // the inputs in force before the block
  }
}

std::optional<VectorFault> LaneBatches::finish_block(std::size_t first, std::size_t good,
                                                     std::span<const std::uint32_t> shown,
                                                     VectorSink& sink) {
  if (good == 0) return std::nullopt;
  lanes_.run();
  std::size_t stopped = 0;
  if (hand_out(first, good, shown, sink, stopped)) return std::nullopt;
  settle_on_lane(stopped);
  return stopped_by_sink(first + stopped);
}

}  // namespace nimbo
