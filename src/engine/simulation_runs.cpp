// Simulation: batches and sequences one step after the other, for the
// simulations that do not run them in lanes (feedback, reads that do not
// settle, registers for batches, short batches).
#include <string>
#include <type_traits>
#include <vector>

#include "engine/input_checks.hpp"
#include "engine/messages.hpp"
#include "engine/simulation.hpp"

namespace nimbo {
namespace {

// The inputs of row `row` of byte vectors (or of a sequence's step) as
// texts; a byte that is neither 0 nor 1 is the fault of vector `vector`.
template <class Byte>
std::optional<VectorFault> row_inputs(std::span<const std::uint32_t> positions,
                                      const std::vector<std::size_t>& widths, std::size_t vector,
                                      Byte&& byte, std::vector<std::string>& texts,
                                      std::vector<PositionInput>& inputs) {
  texts.resize(positions.size());
  inputs.resize(positions.size());
  std::size_t column = 0;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    texts[i].resize(widths[i]);
    for (char& bit : texts[i]) {
      const std::uint8_t value = byte(column++);
      if (value > 1) return VectorFault{vector, positions[i], messages::invalid_bit(value)};
      bit = static_cast<char>('0' + value);
    }
    inputs[i] = {positions[i], texts[i]};
  }
  return std::nullopt;
}

}  // namespace

template <class Source>
std::optional<VectorFault> Simulation::run_vectors_one_by_one(const Source& vectors,
                                                              std::span<const std::uint32_t> shown,
                                                              VectorSink& sink,
                                                              const UpdateControl& control) {
  std::size_t count = 0;
  std::vector<std::size_t> widths;  // of byte inputs: their width when the call starts
  if constexpr (std::is_same_v<Source, TextVectors>) {
    count = vectors.size();
  } else {
    count = vectors.rows;
    for (const std::uint32_t position : vectors.inputs) widths.push_back(width(position));
  }
  std::vector<std::string> texts;
  std::vector<PositionInput> row;
  std::vector<BitBusValue> values(shown.size());
  for (std::size_t v = 0; v < count; ++v) {
    if (v != 0 && control.poll(1 + last_evaluations_)) return interrupted_at(v);
    std::span<const PositionInput> inputs;
    if constexpr (std::is_same_v<Source, TextVectors>) {
      inputs = vectors.of(v);
    } else {
      const auto byte = [&](std::size_t column) { return vectors.at(v, column); };
      if (auto fault = row_inputs(vectors.inputs, widths, v, byte, texts, row)) return fault;
      inputs = row;
    }
    if (auto refused = refused_step_input(inputs)) {
      return VectorFault{v, inputs[refused->first].position, std::move(refused->second.message)};
    }
    if (auto fault = fault_of(v, step(inputs, control))) return fault;
    read_shown(shown, values);
    if (!sink.take(v, values)) return stopped_by_sink(v);
  }
  return std::nullopt;
}

template <class Source>
std::optional<VectorFault> Simulation::run_sequences_one_by_one(
    const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control) {
  const SimulationState start = save_state();
  std::vector<std::size_t> widths;  // of byte inputs: their width at the start
  if constexpr (std::is_same_v<Source, ByteSequences>) {
    for (const std::uint32_t position : source.inputs) widths.push_back(width(position));
  }
  std::vector<BitBusValue> values(shown.size());
  std::vector<PositionInput> row;
  std::vector<std::string> texts;
  UnpackedWrites unpacked;
  std::optional<VectorFault> stop;
  for (std::size_t s = 0; s < source.count() && !stop; ++s) {
    restore_state(start);
    for (std::size_t step = 0; step < source.length(s); ++step) {
      if (control.poll(1 + last_evaluations_)) {
        stop = interrupted_at(step);
        break;
      }
      std::span<const PositionInput> step_inputs;
      if constexpr (std::is_same_v<Source, TextSequences>) {
        step_inputs = source.of(s, step, unpacked);
      } else {
        const auto byte = [&](std::size_t column) { return source.at(s, step, column); };
        if (auto fault = row_inputs(source.inputs, widths, step, byte, texts, row)) {
          faults[s] = std::move(fault);
          break;
        }
        step_inputs = row;
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
        faults[s] = fault_of(step, status);
        break;
      }
      read_shown(shown, values);
      if (!sink.take(s, step, values)) {
        stop = stopped_by_sink(step);
        break;
      }
    }
  }
  restore_state(start);
  return stop;
}

template std::optional<VectorFault> Simulation::run_vectors_one_by_one(
    const TextVectors&, std::span<const std::uint32_t>, VectorSink&, const UpdateControl&);
template std::optional<VectorFault> Simulation::run_vectors_one_by_one(
    const ByteVectors&, std::span<const std::uint32_t>, VectorSink&, const UpdateControl&);
template std::optional<VectorFault> Simulation::run_sequences_one_by_one(
    const TextSequences&, std::span<const std::uint32_t>, SequenceSink&,
    std::vector<std::optional<VectorFault>>&, const UpdateControl&);
template std::optional<VectorFault> Simulation::run_sequences_one_by_one(
    const ByteSequences&, std::span<const std::uint32_t>, SequenceSink&,
    std::vector<std::optional<VectorFault>>&, const UpdateControl&);

}  // namespace nimbo
