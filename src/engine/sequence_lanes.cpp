#include "engine/sequence_lanes.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <type_traits>

#include "engine/bit_matrix.hpp"
#include "engine/input_checks.hpp"
#include "engine/lane_words.hpp"
#include "engine/messages.hpp"

namespace nimbo {
namespace {

constexpr std::size_t kMaxWords = LanePass::kMaxLaneWords;
// How many lanes ahead a row of bytes is fetched.
constexpr std::size_t kLanesAhead = 8;

// The kinds of register bits: with an enable, with a reset.
constexpr std::size_t kWithEnable = 1;
constexpr std::size_t kWithReset = 2;

}  // namespace

SequenceLanes::SequenceLanes(const Circuit& circuit, const Registers& registers,
                             const Memories& memories, const Component& model, BusState& state,
                             LanePass& lanes)
    : circuit_(circuit),
      registers_(registers),
      memories_(memories, lanes),
      async_parts_(registers.list.size(), memories),
      clocked_(!registers.empty() || !memories.empty()),
      model_(model),
      state_(state),
      lanes_(lanes) {}

void SequenceLanes::plan_registers() {
  reset_bits_.clear();
  std::vector<LaneRegisterBit> bits[2][4];
  std::vector<bool> written[2];  // by edge: the q signals it writes
  for (std::vector<bool>& signals : written) signals.assign(lanes_.signal_count(), false);
  for (const Register& reg : registers_.list) {
    const std::size_t e = reg.edge == Edge::kPosedge ? 0 : 1;
    for (std::size_t b = 0; b < lanes_.signals(reg.q).size(); ++b) {
      const LaneRegisterBit bit = lane_register_bit(lanes_, reg, b);
      const std::size_t kind = (reg.enable ? kWithEnable : 0) | (reg.async_reset ? kWithReset : 0);
      bits[e][kind].push_back(bit);
      written[e][bit.q] = true;
      if (reg.async_reset) reset_bits_.push_back(bit);
    }
  }
  for (std::size_t e = 0; e < 2; ++e) {
    for (std::size_t kind = 0; kind < 4; ++kind) {
      edge_bits_[e][kind].clear();
      in_place_bits_[e][kind].clear();
      for (const LaneRegisterBit& bit : bits[e][kind]) {
        const bool reads_written =
            written[e][bit.d] || written[e][bit.enable] || written[e][bit.reset];
        (reads_written ? edge_bits_ : in_place_bits_)[e][kind].push_back(bit);
      }
    }
  }
}

void SequenceLanes::resets(std::span<Word> live, std::size_t first, std::size_t step,
                           std::vector<std::optional<VectorFault>>& faults) {
  if (reset_bits_.empty() && !memories_.async_parts()) return;
  const std::size_t words = lanes_.lane_words();
  Word changed[kMaxWords] = {};
  const Status settled =
      settle_lane_resets(lanes_, reset_bits_, memories_.async_parts() ? &memories_ : nullptr,
                         async_parts_, live, std::span<Word>(changed, words), captured_);
  if (settled.ok()) return;
  // The lanes that still changed in the last round did not settle.
  for (std::size_t w = 0; w < words; ++w) {
    for (Word left = changed[w]; left != 0; left &= left - 1) {
      const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
      faults[first + lane] = VectorFault{step, std::nullopt, settled.error()};
    }
    live[w] &= ~changed[w];
  }
}

void SequenceLanes::edge(Edge edge, std::span<Word> live, std::size_t first, std::size_t step,
                         std::vector<std::optional<VectorFault>>& faults) {
  const bool level = edge == Edge::kPosedge;
  const auto write_clocks = [&] {
    for (const std::uint32_t clock : registers_.clocks) {
      lanes_.fill(lanes_.signals(clock)[0], 0, lanes_.block_size(), level);
    }
  };
  if (!registers_.any_of(edge) && !memories_.any_of(edge) && !circuit_.clocks_read) {
    // Nothing reads the clocks and no register or memory port takes this
    // edge: only the clocks change, and the pass would give what the other
    // lanes hold.
    write_clocks();
    return;
  }
  const auto& kinds = edge_bits_[edge == Edge::kPosedge ? 0 : 1];
  // Everything the edge writes is read before anything is written.
  std::size_t count = 0;
  for (const std::vector<LaneRegisterBit>& bits : kinds) count += bits.size();
  captured_.resize(count * lanes_.lane_words());
  with_lane_words(lanes_.lane_words(), [&](auto words) {
    constexpr std::size_t kWords = decltype(words)::value;
    Word* captured = captured_.data();
    captured = capture_lane_bits<kWords, false, false>(lanes_, kinds[0], nullptr, captured);
    captured =
        capture_lane_bits<kWords, true, false>(lanes_, kinds[kWithEnable], nullptr, captured);
    captured = capture_lane_bits<kWords, false, true>(lanes_, kinds[kWithReset], nullptr, captured);
    capture_lane_bits<kWords, true, true>(lanes_, kinds[kWithEnable | kWithReset], nullptr,
                                          captured);
  });
  // The memories read before the q's in place are written, which read no
  // q the edge writes; the clocks and the read data are written after.
  if (!memories_.empty()) memories_.edge(lanes_, edge, live);
  const auto& in_place = in_place_bits_[edge == Edge::kPosedge ? 0 : 1];
  with_lane_words(lanes_.lane_words(), [&](auto words) {
    constexpr std::size_t kWords = decltype(words)::value;
    update_lane_bits<kWords, false, false>(lanes_, in_place[0]);
    update_lane_bits<kWords, true, false>(lanes_, in_place[kWithEnable]);
    update_lane_bits<kWords, false, true>(lanes_, in_place[kWithReset]);
    update_lane_bits<kWords, true, true>(lanes_, in_place[kWithEnable | kWithReset]);
  });
  write_clocks();
  if (!memories_.empty()) memories_.store(lanes_);
  with_lane_words(lanes_.lane_words(), [&](auto words) {
    const Word* captured = captured_.data();
    for (const std::vector<LaneRegisterBit>& bits : kinds) {
      captured = store_lane_bits<decltype(words)::value>(lanes_, bits, captured);
    }
  });
  lanes_.run();
  resets(live, first, step, faults);
}

template <class Source>
std::optional<VectorFault> SequenceLanes::run_blocks(
    const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control,
    std::size_t begin, std::size_t end) {
  // The lanes evaluate every gate from the inputs: the state is only read.
  if constexpr (std::is_same_v<Source, ByteSequences>) plan_inputs(source);
  plan_registers();
  const WordPass& words_pass = state_.words();
  const std::size_t block = lanes_.block_size();
  const std::size_t words = lanes_.lane_words();
  end = std::min(end, source.count());
  for (std::size_t first = begin; first < end; first += block) {
    const std::size_t count = std::min(block, end - first);
    Word live_words[kMaxWords] = {};
    const std::span<Word> live(live_words, words);
    for (std::size_t lane = 0; lane < count; ++lane) live[lane / 64] |= Word{1} << (lane % 64);
    lanes_.load_inputs(words_pass, circuit_.inputs);
    if (!memories_.empty()) memories_.start(state_.memory_words());
    for (std::size_t step = 0;; ++step) {
      if (control.poll(lanes_.signal_count() * words)) return interrupted_at(step);
      bool any = false;
      for (std::size_t lane = 0; lane < count; ++lane) {
        const Word bit = Word{1} << (lane % 64);
        if (!(live[lane / 64] & bit)) continue;
        if (step >= source.length(first + lane)) {
          live[lane / 64] &= ~bit;
          continue;
        }
        std::optional<VectorFault> fault;
        if constexpr (std::is_same_v<Source, ByteSequences>) {
          fault = byte_row_fault(source, first + lane, step);  // written below
        } else {
          fault = write_lane(source, first + lane, step, lane);
        }
        if (fault) {
          faults[first + lane] = std::move(fault);
          live[lane / 64] &= ~bit;
          continue;
        }
        any = true;
      }
      if (!any) break;
      if constexpr (std::is_same_v<Source, ByteSequences>) {
        write_byte_lanes(source, first, step, live);
      }
      lanes_.run();
      resets(live, first, step, faults);
      if (clocked_) {
        edge(Edge::kPosedge, live, first, step, faults);
        edge(Edge::kNegedge, live, first, step, faults);
      }
      if (!sink.take_step(first, step, live, LanesOfShown(lanes_, shown))) {
        return stopped_by_sink(step);
      }
    }
  }
  return std::nullopt;
}

std::optional<VectorFault> SequenceLanes::write_lane(const TextSequences& source,
                                                     std::size_t sequence, std::size_t step,
                                                     std::size_t lane) {
  const auto inputs = source.of(sequence, step, unpacked_);
  const Widths widths = step == 0 ? Widths::kNow : Widths::kEvaluated;
  if (auto refused = refused_step_input(model_, registers_, state_, inputs, widths)) {
    return VectorFault{step, inputs[refused->first].position, std::move(refused->second.message)};
  }
  const Word bit = Word{1} << (lane % 64);
  for (const PositionInput& input : inputs) {
    const LanePass::Signal first_signal = lanes_.first_signal_of_input(input.position);
    if (first_signal == LanePass::kNoSignal) continue;
    for (std::size_t i = 0; i < input.bits.size(); ++i) {
      Word& word = lanes_.lanes(static_cast<LanePass::Signal>(first_signal + i))[lane / 64];
      word = (word & ~bit) | (bit * (input.bits[i] == '1'));
    }
  }
  return std::nullopt;
}

void SequenceLanes::plan_inputs(const ByteSequences& source) {
  // The columns of a bus are as many as its width when the call starts.
  inputs_.clear();
  input_columns_ = 0;
  column_signals_.clear();
  first_clock_.reset();
  widths_change_ = false;
  for (const std::uint32_t position : source.inputs) {
    const std::size_t columns = state_.width(position);
    input_columns_ += columns;
    const std::size_t evaluated = state_.words().width(position);
    if (!first_clock_ && registers_.clock_at(position)) first_clock_ = inputs_.size();
    widths_change_ = widths_change_ || columns != evaluated;
    inputs_.push_back({position, columns, evaluated, lanes_.first_signal_of_input(position)});
    const LanePass::Signal first = inputs_.back().first_signal;
    for (std::size_t i = 0; i < columns; ++i) {
      column_signals_.push_back(first == LanePass::kNoSignal
                                    ? LanePass::kNoSignal
                                    : static_cast<LanePass::Signal>(first + i));
    }
  }
}

std::optional<VectorFault> SequenceLanes::byte_row_fault(const ByteSequences& source,
                                                         std::size_t sequence,
                                                         std::size_t step) const {
  if (inputs_.empty()) return std::nullopt;
  const std::uint8_t* row = source.data +
                            static_cast<std::ptrdiff_t>(sequence) * source.sequence_stride +
                            static_cast<std::ptrdiff_t>(step) * source.step_stride;
  // The lanes of a block read rows far apart, too many streams for the
  // processor to foresee: the row of a lane a few lanes on is asked for now.
  if (sequence + kLanesAhead < source.sequences) {
    __builtin_prefetch(row + static_cast<std::ptrdiff_t>(kLanesAhead) * source.sequence_stride);
  }
  // As one step after another reads it: the row's bytes, then what the
  // step refuses (a clock, then a width). A row of side-by-side bytes, all
  // 0 or 1, is seen eight bytes at a time; a row with another byte is
  // searched input by input for the first.
  const bool all_bits = source.column_stride == 1 && bytes_are_bits(row, input_columns_);
  std::ptrdiff_t at = 0;  // of the input's first column in the row
  for (const LaneInput& input : all_bits ? std::span<const LaneInput>{} : inputs_) {
    for (std::size_t i = 0; i < input.columns; ++i, at += source.column_stride) {
      if (row[at] > 1) return VectorFault{step, input.position, messages::invalid_bit(row[at])};
    }
  }
  if (first_clock_) {
    const std::uint32_t clock = inputs_[*first_clock_].position;
    return VectorFault{step, clock, messages::clock_written(model_.busses().id(clock))};
  }
  if (step == 0 || !widths_change_) return std::nullopt;
  // A driven bus whose evaluation changed its width refuses the texts of
  // its old width, as an update would.
  at = 0;
  for (const LaneInput& input : inputs_) {
    if (input.columns != input.evaluated_width) {
      std::string text(input.columns, '0');
      for (std::size_t i = 0; i < input.columns; ++i) {
        text[i] = static_cast<char>(
            '0' + row[at + static_cast<std::ptrdiff_t>(i) * source.column_stride]);
      }
      return VectorFault{step, input.position,
                         check_value_text(text, input.evaluated_width).error()};
    }
    at += static_cast<std::ptrdiff_t>(input.columns) * source.column_stride;
  }
  return std::nullopt;
}

void SequenceLanes::write_byte_lanes(const ByteSequences& source, std::size_t first,
                                     std::size_t step, std::span<const Word> live) {
  if (inputs_.empty()) return;
  // A word with enough live lanes over rows of side-by-side bytes packs up
  // to 64 columns of each lane's row into a number and transposes the
  // numbers into the columns' lane words; otherwise each column gathers
  // its bit lane by lane. The rows' bytes were checked to be 0 or 1.
  constexpr int kTransposeFrom = 8;  // live lanes in a word
  for (std::size_t w = 0; w < live.size(); ++w) {
    const Word mask = live[w];
    if (mask == 0) continue;
    const std::uint8_t* rows[64] = {};
    for (Word left = mask; left != 0; left &= left - 1) {
      const auto lane = static_cast<std::size_t>(std::countr_zero(left));
      rows[lane] = source.data +
                   static_cast<std::ptrdiff_t>(first + w * 64 + lane) * source.sequence_stride +
                   static_cast<std::ptrdiff_t>(step) * source.step_stride;
    }
    if (source.column_stride == 1 && std::popcount(mask) >= kTransposeFrom) {
      Word block[64];
      for (std::size_t column = 0; column < input_columns_; column += 64) {
        const std::size_t count = std::min<std::size_t>(64, input_columns_ - column);
        for (std::size_t lane = 0; lane < 64; ++lane) {
          block[lane] = rows[lane] == nullptr ? 0 : bytes_to_bits(rows[lane] + column, count);
        }
        transpose_bits(block);
        for (std::size_t j = 0; j < count; ++j) {
          const LanePass::Signal signal = column_signals_[column + j];
          if (signal == LanePass::kNoSignal) continue;
          Word& word = lanes_.lanes(signal)[w];
          word = (word & ~mask) | block[j];
        }
      }
      continue;
    }
    std::ptrdiff_t at = 0;
    for (const LaneInput& input : inputs_) {
      for (std::size_t i = 0; i < input.columns; ++i, at += source.column_stride) {
        if (input.first_signal == LanePass::kNoSignal) continue;
        Word value = 0;
        for (Word left = mask; left != 0; left &= left - 1) {
          const auto lane = static_cast<unsigned>(std::countr_zero(left));
          value |= Word{rows[lane][at]} << lane;
        }
        Word& word = lanes_.lanes(static_cast<LanePass::Signal>(input.first_signal + i))[w];
        word = (word & ~mask) | value;
      }
    }
  }
}

std::optional<VectorFault> SequenceLanes::run(const TextSequences& sequences,
                                              std::span<const std::uint32_t> shown,
                                              SequenceSink& sink,
                                              std::vector<std::optional<VectorFault>>& faults,
                                              const UpdateControl& control, std::size_t begin,
                                              std::size_t end) {
  return run_blocks(sequences, shown, sink, faults, control, begin, end);
}

std::optional<VectorFault> SequenceLanes::run(const ByteSequences& sequences,
                                              std::span<const std::uint32_t> shown,
                                              SequenceSink& sink,
                                              std::vector<std::optional<VectorFault>>& faults,
                                              const UpdateControl& control, std::size_t begin,
                                              std::size_t end) {
  return run_blocks(sequences, shown, sink, faults, control, begin, end);
}

}  // namespace nimbo
