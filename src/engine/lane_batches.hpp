// LaneBatches: the batches of vectors of a one-pass simulation without
// registers, a block of vectors at a time: the inputs in force in each
// vector go into one lane of the LanePass, one pass evaluates the block,
// and the state after the last good vector is then set through the
// WordPass (the driven values follow from the inputs alone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/bus_state.hpp"
#include "engine/circuit.hpp"
#include "engine/lane_pass.hpp"
#include "engine/update_control.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

class LaneBatches {
 public:
  // Runs on `state`'s word pass, with `lanes` fitted to the batch.
  LaneBatches(const Circuit& circuit, BusState& state, LanePass& lanes);

  // Applies the vectors as updates one after the other would, handing the
  // values of the busses at `shown` to `sink` after each; stops at the
  // first vector that fails (see Simulation::run_vectors).
  std::optional<VectorFault> run(const TextVectors& vectors, std::span<const std::uint32_t> shown,
                                 VectorSink& sink, const UpdateControl& control);
  // The same for rows of bytes; each input has as many columns as its width.
  std::optional<VectorFault> run(const ByteVectors& vectors, std::span<const std::uint32_t> shown,
                                 VectorSink& sink, const UpdateControl& control);

 private:
  // The width an input for the bus at `position` must have in vector
  // `vector` (a driven bus keeps its width now until its first evaluation).
  std::size_t width_in_batch(std::size_t position, std::size_t vector) const;
  // Hands the shown values of lanes [0, count) to `sink`; false when it
  // stopped at `stopped`.
  bool hand_out(std::size_t first, std::size_t count, std::span<const std::uint32_t> shown,
                VectorSink& sink, std::size_t& stopped);
  // Makes the state that of lane `lane` of the last block: its inputs,
  // evaluated.
  void settle_on_lane(std::size_t lane);
  // Ends a batch in its block at `first` with `good` good vectors: the state
  // after the last good one (lane 0 of a block without one holds the inputs
  // in force before it). A batch refused at its first vector changes nothing.
  void settle_after_block(std::size_t first, std::size_t good);
  // Evaluates a block of `good` vectors and hands them out; the fault when
  // the sink stopped the run.
  std::optional<VectorFault> finish_block(std::size_t first, std::size_t good,
                                          std::span<const std::uint32_t> shown, VectorSink& sink);
  // The fault of row `row` of byte vectors for the bus at `position`, whose
  // columns start at `first_column`, if it has one.
  std::optional<VectorFault> refused_row(const ByteVectors& vectors, std::size_t row,
                                         std::uint32_t position, std::size_t first_column) const;

  const Circuit& circuit_;
  BusState& state_;
  WordPass& words_;
  LanePass& lanes_;
};

}  // namespace nimbo
