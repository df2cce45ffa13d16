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
    for (const Register& reg : registers_.list) {
      if (!reg.async_reset) continue;
      const Word* reset = lanes.lanes(lanes.signals(*reg.async_reset)[0]);
      const auto q = lanes.signals(reg.q);
      for (std::size_t b = 0; b < q.size(); ++b) {
        Word* bits = lanes.lanes(q[b]);
        const Word target = reg.reset_value.bit(b) ? ~Word{0} : Word{0};
        for (std::size_t w = 0; w < words; ++w) {
          const Word flip = (bits[w] ^ target) & reset[w] & live[w];
          bits[w] ^= flip;
          changed[w] |= flip;
          any = any || flip != 0;
        }
      }
    }
    if (!any) return;
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
  // Everything the edge writes is read before anything is written.
  lane_captured_.resize(0);
  for (const Register& reg : registers_.list) {
    if (reg.edge != edge) continue;
    const Word* enable = reg.enable ? lanes.lanes(lanes.signals(*reg.enable)[0]) : nullptr;
    const Word* reset = reg.async_reset ? lanes.lanes(lanes.signals(*reg.async_reset)[0]) : nullptr;
    const auto q = lanes.signals(reg.q);
    const auto d = lanes.signals(reg.d);
    for (std::size_t b = 0; b < q.size(); ++b) {
      const Word* old = lanes.lanes(q[b]);
      const Word* next = lanes.lanes(d[b]);
      const Word target = reg.reset_value.bit(b) ? ~Word{0} : Word{0};
      for (std::size_t w = 0; w < words; ++w) {
        const Word take = enable != nullptr ? enable[w] : ~Word{0};
        Word value = (old[w] & ~take) | (next[w] & take);
        if (reset != nullptr) value = (value & ~reset[w]) | (target & reset[w]);
        lane_captured_.push_back(value);
      }
    }
  }
  write_clocks();
  std::size_t next = 0;
  for (const Register& reg : registers_.list) {
    if (reg.edge != edge) continue;
    for (const LanePass::Signal signal : lanes.signals(reg.q)) {
      Word* bits = lanes.lanes(signal);
      for (std::size_t w = 0; w < words; ++w) bits[w] = lane_captured_[next++];
    }
  }
  lanes.run();
  lane_resets(lanes, live, first, step, faults);
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
        if (auto fault = write_lane(source, first + lane, step, lanes, lane)) {
          faults[first + lane] = std::move(fault);
          live[lane / 64] &= ~bit;
          continue;
        }
        any = true;
      }
      if (!any) break;
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

std::optional<VectorFault> Simulation::write_lane(const ByteSequences& source, std::size_t sequence,
                                                  std::size_t step, LanePass& lanes,
                                                  std::size_t lane) {
  const Word bit = Word{1} << (lane % 64);
  std::size_t column = 0;
  for (const std::uint32_t position : source.inputs) {
    if (is_clock(position)) {
      return VectorFault{step, position,
                         "bus '" + component_.busses().id(position) +
                             "' is a clock: every step is one cycle of it, so a step does not "
                             "write it"};
    }
    const LanePass::Signal first_signal = lanes.first_signal_of_input(position);
    const std::size_t columns = width(position);
    for (std::size_t i = 0; i < columns; ++i, ++column) {
      const std::uint8_t byte = source.at(sequence, step, column);
      if (byte > 1) {
        return VectorFault{step, position,
                           "Invalid bit " + std::to_string(byte) + " (bits are 0 or 1)"};
      }
    }
    if (first_signal == LanePass::kNoSignal) continue;
    for (std::size_t i = 0; i < columns; ++i) {
      Word& word = lanes.lanes(static_cast<LanePass::Signal>(first_signal + i))[lane / 64];
      word = (word & ~bit) | (bit * source.at(sequence, step, column - columns + i));
    }
  }
  return std::nullopt;
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
