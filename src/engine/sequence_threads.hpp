// Sequences in lanes on several threads: the blocks of lanes are split into
// as many runs of consecutive blocks as there are threads, and each thread
// runs its blocks with its own copy of the lanes (SequenceLanes). The state
// is only read. What the caller sees is what one thread gives:
// - a sink that takes steps concurrently (SequenceSink::takes_concurrently)
//   gets each thread's steps as they come, for sequences no other thread
//   has; any other sink gets every step afterwards, on the calling thread,
//   in the order one thread would have handed them over;
// - faults stay with their sequence;
// - the calling thread alone polls `control`; an interrupt stops every
//   thread, and the call reports it as one thread would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "component/component.hpp"
#include "engine/bus_state.hpp"
#include "engine/circuit.hpp"
#include "engine/lane_pass.hpp"
#include "engine/packed_vectors.hpp"
#include "engine/registers.hpp"
#include "engine/update_control.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

struct SequenceThreadsRun {
  const Circuit& circuit;
  const Registers& registers;
  const Memories& memories;
  const Component& model;
  BusState& state;
  const LanePass& lanes;  // fitted: each thread starts from a copy
};

// `Source`: TextSequences or ByteSequences.
template <class Source>
std::optional<VectorFault> run_sequences_on_threads(
    const SequenceThreadsRun& run, const Source& sequences, std::span<const std::uint32_t> shown,
    SequenceSink& sink, std::vector<std::optional<VectorFault>>& faults,
    const UpdateControl& control, std::size_t threads);

}  // namespace nimbo
