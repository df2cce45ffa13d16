// Simulation::run_sequences: many independent sequences of steps, each from
// the simulation's current state, which the call leaves as it was.
//
// A one-pass component runs them in lanes: lane i of a block holds sequence
// first + i, and every step of every sequence of the block is the same few
// passes. Lanes never mix: a pass computes each lane from that lane's
// inputs alone, so a lane whose inputs did not change keeps its values
// whatever the other lanes do, and a phase of a step can be run for all
// lanes when only some of them need it. Any other component runs the
// sequences one after the other.
#include <algorithm>
#include <bit>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/simulation.hpp"

namespace nimbo {
namespace {

constexpr std::size_t kMaxWords = LanePass::kMaxLaneWords;

}  // namespace

bool Simulation::clocks_are_read() const {
  for (const std::uint32_t clock : registers_.clocks) {
    for (const Register& reg : registers_.list) {
      if (reg.d == clock || reg.enable == clock || reg.async_reset == clock) return true;
    }
    for (std::size_t q = 0; q < graph_.bus_count(); ++q) {
      bool reads = false;
      graph_.for_each_bus_read(q, [&](ValueId r) { reads = reads || r == clock; });
      if (reads) return true;
    }
  }
  return false;
}

// The asynchronous resets of the live lanes; lanes that still change after
// the last round are faulted and leave `live`.
void Simulation::lane_resets(LanePass& lanes, std::span<Word> live, std::size_t first,
                             std::size_t step, std::vector<std::optional<VectorFault>>& faults) {
  if (!registers_.any_async_reset) return;
  const std::size_t words = lanes.lane_words();
  Word changed[kMaxWords] = {};
  for (std::size_t round = 0; round <= registers_.list.size(); ++round) {
    std::fill_n(changed, words, Word{0});
    bool any = false;
    // Every reset is read before any q is written: a reset may be another
    // register's q, and all q's of a round change in one update.
    lane_captured_.clear();
    for (const Register& reg : registers_.list) {
      if (!reg.async_reset) continue;
      const Word* reset = lanes.lanes(lanes.signals(*reg.async_reset)[0]);
      const auto q = lanes.signals(reg.q);
      for (std::size_t b = 0; b < q.size(); ++b) {
        const Word* bits = lanes.lanes(q[b]);
        const Word target = reg.reset_value.bit(b) ? ~Word{0} : Word{0};
        for (std::size_t w = 0; w < words; ++w) {
          const Word flip = (bits[w] ^ target) & reset[w] & live[w];
          lane_captured_.push_back(flip);
          changed[w] |= flip;
          any = any || flip != 0;
        }
      }
    }
    if (!any) return;
    const Word* flips = lane_captured_.data();
    for (const Register& reg : registers_.list) {
      if (!reg.async_reset) continue;
      for (const LanePass::Signal signal : lanes.signals(reg.q)) {
        Word* bits = lanes.lanes(signal);
        for (std::size_t w = 0; w < words; ++w) bits[w] ^= *flips++;
      }
    }
    lanes.run();
  }
  for (std::size_t w = 0; w < words; ++w) {
    for (Word left = changed[w]; left != 0; left &= left - 1) {
      const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
      faults[first + lane] = VectorFault{step, std::nullopt, "Asynchronous resets did not settle"};
    }
    live[w] &= ~changed[w];
  }
}

void Simulation::lane_edge(LanePass& lanes, Edge edge, std::span<Word> live, std::size_t first,
                           std::size_t step, std::vector<std::optional<VectorFault>>& faults,
                           bool clocks_read) {
  const bool has_registers =
      edge == Edge::kPosedge ? registers_.any_posedge : registers_.any_negedge;
  const bool level = edge == Edge::kPosedge;
  const auto write_clocks = [&] {
    for (const std::uint32_t clock : registers_.clocks) {
      lanes.fill(lanes.signals(clock)[0], 0, lanes.block_size(), level);
    }
  };
  if (!has_registers && !clocks_read) {
    // Nothing reads the clocks and no register takes this edge: only the
    // clocks change, and the pass would give what the other lanes hold.
    write_clocks();
    return;
  }
  const std::size_t words = lanes.lane_words();
  const std::vector<LaneRegisterBit>& bits = lane_edge_bits_[edge == Edge::kPosedge ? 0 : 1];
  // Everything the edge writes is read before anything is written.
  lane_captured_.resize(bits.size() * words);
  Word* captured = lane_captured_.data();
  for (const LaneRegisterBit& bit : bits) {
    const Word* next = lanes.lanes(bit.d);
    const Word* old = lanes.lanes(bit.q);
    const Word* enable = bit.enable != LanePass::kNoSignal ? lanes.lanes(bit.enable) : nullptr;
    const Word* reset = bit.reset != LanePass::kNoSignal ? lanes.lanes(bit.reset) : nullptr;
    const Word target = bit.reset_value ? ~Word{0} : Word{0};
    for (std::size_t w = 0; w < words; ++w) {
      Word value = next[w];
      if (enable != nullptr) value = (old[w] & ~enable[w]) | (value & enable[w]);
      if (reset != nullptr) value = (value & ~reset[w]) | (target & reset[w]);
      *captured++ = value;
    }
  }
  write_clocks();
  captured = lane_captured_.data();
  for (const LaneRegisterBit& bit : bits) {
    Word* q = lanes.lanes(bit.q);
    for (std::size_t w = 0; w < words; ++w) q[w] = *captured++;
  }
  lanes.run();
  lane_resets(lanes, live, first, step, faults);
}

void Simulation::plan_lane_edges(const LanePass& lanes) {
  for (std::vector<LaneRegisterBit>& bits : lane_edge_bits_) bits.clear();
  const auto signal_of = [&](const std::optional<std::uint32_t>& position) {
    return position ? lanes.signals(*position)[0] : LanePass::kNoSignal;
  };
  for (const Register& reg : registers_.list) {
    const auto q = lanes.signals(reg.q);
    const auto d = lanes.signals(reg.d);
    for (std::size_t b = 0; b < q.size(); ++b) {
      lane_edge_bits_[reg.edge == Edge::kPosedge ? 0 : 1].push_back(
          {q[b], d[b], signal_of(reg.enable), signal_of(reg.async_reset), reg.reset_value.bit(b)});
    }
  }
}

template <class Source>
std::optional<VectorFault> Simulation::run_sequences_with(
    const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control) {
  faults.assign(source.count(), std::nullopt);
  if (Status bound = prepare(control); !bound.ok()) return interrupted_at(0);
  if (!word_pass_) return run_sequences_one_by_one(source, shown, sink, faults, control);
  finish_pass();
  if (!evaluated_) {
    word_pass_->run();
    evaluated_ = true;
    table_stale_ = true;
  }
  LanePass& lanes = lanes_for(source.count());
  const std::size_t block = lanes.block_size();
  const std::size_t words = lanes.lane_words();
  const bool clocks_read = clocks_are_read();
  plan_lane_edges(lanes);
  if constexpr (std::is_same_v<Source, ByteSequences>) plan_lane_inputs(source, lanes);
  for (std::size_t first = 0; first < source.count(); first += block) {
    const std::size_t count = std::min(block, source.count() - first);
    Word live_words[kMaxWords] = {};
    const std::span<Word> live(live_words, words);
    for (std::size_t lane = 0; lane < count; ++lane) live[lane / 64] |= Word{1} << (lane % 64);
    load_lanes(lanes);
    for (std::size_t step = 0;; ++step) {
      if (control.poll(lanes.signal_count() * words)) return interrupted_at(step);
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
          fault = write_lane(source, first + lane, step, lanes, lane);
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
        write_byte_lanes(source, first, step, lanes, live);
      }
      lanes.run();
      lane_resets(lanes, live, first, step, faults);
      if (clocked()) {
        lane_edge(lanes, Edge::kPosedge, live, first, step, faults, clocks_read);
        lane_edge(lanes, Edge::kNegedge, live, first, step, faults, clocks_read);
      }
      if (!sink.take_step(first, step, live, LanesOfShown(lanes, shown))) {
        return stopped_by_sink(step);
      }
    }
  }
  return std::nullopt;
}

std::optional<VectorFault> Simulation::write_lane(const TextSequences& source, std::size_t sequence,
                                                  std::size_t step, LanePass& lanes,
                                                  std::size_t lane) {
  const auto inputs = source.sequences[sequence].of(step);
  if (auto refused = refused_step_input(inputs)) {
    return VectorFault{step, inputs[refused->first].position, std::move(refused->second.message)};
  }
  const Word bit = Word{1} << (lane % 64);
  for (const PositionInput& input : inputs) {
    const LanePass::Signal first_signal = lanes.first_signal_of_input(input.position);
    if (first_signal == LanePass::kNoSignal) continue;
    for (std::size_t i = 0; i < input.bits.size(); ++i) {
      Word& word = lanes.lanes(static_cast<LanePass::Signal>(first_signal + i))[lane / 64];
      word = (word & ~bit) | (bit * (input.bits[i] == '1'));
    }
  }
  return std::nullopt;
}

void Simulation::plan_lane_inputs(const ByteSequences& source, const LanePass& lanes) {
  lane_inputs_.clear();
  for (const std::uint32_t position : source.inputs) {
    lane_inputs_.push_back(
        {position, width(position), lanes.first_signal_of_input(position), is_clock(position)});
  }
}

std::optional<VectorFault> Simulation::byte_row_fault(const ByteSequences& source,
                                                      std::size_t sequence,
                                                      std::size_t step) const {
  if (lane_inputs_.empty()) return std::nullopt;
  const std::uint8_t* row = source.data +
                            static_cast<std::ptrdiff_t>(sequence) * source.sequence_stride +
                            static_cast<std::ptrdiff_t>(step) * source.step_stride;
  std::ptrdiff_t at = 0;  // of the input's first column in the row
  for (const LaneInput& input : lane_inputs_) {
    if (input.clock) {
      return VectorFault{step, input.position,
                         "bus '" + component_.busses().id(input.position) +
                             "' is a clock: every step is one cycle of it, so a step does not "
                             "write it"};
    }
    for (std::size_t i = 0; i < input.columns; ++i, at += source.column_stride) {
      if (row[at] > 1) {
        return VectorFault{step, input.position,
                           "Invalid bit " + std::to_string(row[at]) + " (bits are 0 or 1)"};
      }
    }
  }
  return std::nullopt;
}

void Simulation::write_byte_lanes(const ByteSequences& source, std::size_t first, std::size_t step,
                                  LanePass& lanes, std::span<const Word> live) {
  if (lane_inputs_.empty()) return;
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
    std::ptrdiff_t at = 0;
    for (const LaneInput& input : lane_inputs_) {
      for (std::size_t i = 0; i < input.columns; ++i, at += source.column_stride) {
        if (input.first_signal == LanePass::kNoSignal) continue;
        Word value = 0;
        for (Word left = mask; left != 0; left &= left - 1) {
          const auto lane = static_cast<unsigned>(std::countr_zero(left));
          value |= Word{rows[lane][at]} << lane;
        }
        Word& word = lanes.lanes(static_cast<LanePass::Signal>(input.first_signal + i))[w];
        word = (word & ~mask) | value;
      }
    }
  }
}

template <class Source>
std::optional<VectorFault> Simulation::run_sequences_one_by_one(
    const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control) {
  const std::vector<BitBusValue> start = snapshot();
  std::vector<BitBusValue> values(shown.size());
  std::vector<PositionInput> inputs;
  std::vector<std::string> texts;
  std::optional<VectorFault> stop;
  for (std::size_t s = 0; s < source.count() && !stop; ++s) {
    restore_values(start);
    for (std::size_t step = 0; step < source.length(s); ++step) {
      if (control.poll(1 + last_evaluations_)) {
        stop = interrupted_at(step);
        break;
      }
      std::span<const PositionInput> step_inputs;
      if constexpr (std::is_same_v<Source, TextSequences>) {
        step_inputs = source.sequences[s].of(step);
      } else {
        if (auto fault = byte_step_inputs(source, s, step, texts, inputs)) {
          faults[s] = std::move(fault);
          break;
        }
        step_inputs = inputs;
      }
      if (auto refused = refused_step_input(step_inputs)) {
        faults[s] = VectorFault{step, step_inputs[refused->first].position,
                                std::move(refused->second.message)};
        break;
      }
      const Status status = this->step(step_inputs, control);
      if (status.interrupted()) {
        stop = VectorFault{step, std::nullopt, status.error(), true};
        break;
      }
      if (!status.ok()) {
        faults[s] = VectorFault{step, std::nullopt, status.error()};
        break;
      }
      for (std::size_t i = 0; i < shown.size(); ++i) read_value(shown[i], values[i]);
      if (!sink.take(s, step, values)) {
        stop = stopped_by_sink(step);
        break;
      }
    }
  }
  restore_values(start);
  return stop;
}

std::optional<VectorFault> Simulation::byte_step_inputs(const ByteSequences& source,
                                                        std::size_t sequence, std::size_t step,
                                                        std::vector<std::string>& texts,
                                                        std::vector<PositionInput>& inputs) const {
  texts.resize(source.inputs.size());
  inputs.resize(source.inputs.size());
  std::size_t column = 0;
  for (std::size_t i = 0; i < source.inputs.size(); ++i) {
    const std::uint32_t position = source.inputs[i];
    texts[i].resize(width(position));
    for (char& c : texts[i]) {
      const std::uint8_t byte = source.at(sequence, step, column++);
      if (byte > 1) {
        return VectorFault{step, position,
                           "Invalid bit " + std::to_string(byte) + " (bits are 0 or 1)"};
      }
      c = static_cast<char>('0' + byte);
    }
    inputs[i] = {position, texts[i]};
  }
  return std::nullopt;
}

std::optional<VectorFault> Simulation::run_sequences(
    std::span<const TextVectors> sequences, std::span<const std::uint32_t> shown,
    SequenceSink& sink, std::vector<std::optional<VectorFault>>& faults,
    const UpdateControl& control) {
  return run_sequences_with(TextSequences{sequences}, shown, sink, faults, control);
}

std::optional<VectorFault> Simulation::run_sequences(
    const ByteSequences& sequences, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control) {
  return run_sequences_with(sequences, shown, sink, faults, control);
}

}  // namespace nimbo
