// Simulation::run_vectors: many steps in one call. A component without
// registers that runs as one pass takes long batches through its lanes
// (batch_lanes.cpp); any other runs the steps one after the other.
#include <string>
#include <vector>

#include "engine/simulation.hpp"

namespace nimbo {
namespace {

// Below this many vectors the updates run one by one: a block would
// evaluate lanes nobody reads.
constexpr std::size_t kLaneThreshold = 8;

}  // namespace

VectorFault stopped_by_sink(std::size_t vector) {
  VectorFault fault;
  fault.vector = vector;
  fault.stopped_by_sink = true;
  return fault;
}

VectorFault interrupted_at(std::size_t vector) {
  return VectorFault{vector, std::nullopt, "Update interrupted", true};
}

namespace {

std::optional<VectorFault> fault_of(std::size_t vector, const Status& status) {
  if (status.ok()) return std::nullopt;
  return VectorFault{vector, std::nullopt, status.error(), status.interrupted()};
}

}  // namespace

void Simulation::read_shown(std::span<const std::uint32_t> shown,
                            std::vector<BitBusValue>& values) {
  if (pass_pending_ && evaluate_shown(shown)) {
    // Only the shown busses are brought up to date; the rest waits.
    for (std::size_t i = 0; i < shown.size(); ++i) word_pass_->read(shown[i], values[i]);
    return;
  }
  for (std::size_t i = 0; i < shown.size(); ++i) read_value(shown[i], values[i]);
}

std::optional<VectorFault> Simulation::run_vectors(const TextVectors& vectors,
                                                   std::span<const std::uint32_t> shown,
                                                   VectorSink& sink, const UpdateControl& control) {
  if (auto fault = fault_of(0, prepare(control))) return fault;
  if (word_pass_ && !clocked() && vectors.size() >= kLaneThreshold) {
    return run_lanes(vectors, shown, sink, control);
  }
  std::vector<BitBusValue> values(shown.size());
  for (std::size_t v = 0; v < vectors.size(); ++v) {
    if (v != 0 && control.poll(1 + last_evaluations_)) return interrupted_at(v);
    const auto inputs = vectors.of(v);
    if (auto refused = refused_step_input(inputs)) {
      return VectorFault{v, inputs[refused->first].position, std::move(refused->second.message)};
    }
    if (auto fault = fault_of(v, step(inputs, control))) return fault;
    read_shown(shown, values);
    if (!sink.take(v, values)) return stopped_by_sink(v);
  }
  return std::nullopt;
}

std::optional<VectorFault> Simulation::run_vectors(const ByteVectors& vectors,
                                                   std::span<const std::uint32_t> shown,
                                                   VectorSink& sink, const UpdateControl& control) {
  // The columns of a bus are as many as its width when the call starts; a
  // driven bus whose evaluated width differs then refuses its later texts,
  // as update_positions would.
  if (auto fault = fault_of(0, prepare(control))) return fault;
  std::vector<std::string> texts(vectors.inputs.size());
  std::size_t columns = 0;
  for (std::size_t i = 0; i < vectors.inputs.size(); ++i) {
    texts[i].resize(width(vectors.inputs[i]));
    columns += texts[i].size();
  }
  if (columns != vectors.columns) {
    return VectorFault{0, std::nullopt,
                       "The inputs have " + std::to_string(columns) + " bits but the rows have " +
                           std::to_string(vectors.columns) + " columns"};
  }
  if (word_pass_ && !clocked() && vectors.rows >= kLaneThreshold) {
    return run_lanes(vectors, shown, sink, control);
  }
  std::vector<PositionInput> inputs(vectors.inputs.size());
  std::vector<BitBusValue> values(shown.size());
  for (std::size_t row = 0; row < vectors.rows; ++row) {
    if (row != 0 && control.poll(1 + last_evaluations_)) return interrupted_at(row);
    std::size_t column = 0;
    for (std::size_t i = 0; i < vectors.inputs.size(); ++i) {
      for (char& bit : texts[i]) {
        const std::uint8_t byte = vectors.at(row, column++);
        if (byte > 1) {
          return VectorFault{row, vectors.inputs[i],
                             "Invalid bit " + std::to_string(byte) + " (bits are 0 or 1)"};
        }
        bit = static_cast<char>('0' + byte);
      }
      inputs[i] = {vectors.inputs[i], texts[i]};
    }
    if (auto refused = refused_step_input(inputs)) {
      return VectorFault{row, inputs[refused->first].position, std::move(refused->second.message)};
    }
    if (auto fault = fault_of(row, step(inputs, control))) return fault;
    read_shown(shown, values);
    if (!sink.take(row, values)) return stopped_by_sink(row);
  }
  return std::nullopt;
}

}  // namespace nimbo
