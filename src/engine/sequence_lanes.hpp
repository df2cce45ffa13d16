// SequenceLanes: many independent sequences of steps of a one-pass
// simulation, each from its current state, side by side in lanes.
//
// Lane i of a block holds sequence first + i, and every step of every
// sequence of the block is the same few passes: the updates of a step
// (cycles.hpp) for all lanes at once. Lanes never mix: a pass computes each
// lane from that lane's inputs alone, so a lane whose inputs did not change
// keeps its values whatever the other lanes do, and a phase of a step can
// be run for all lanes when only some of them need it. The state is read
// (the start of every sequence) and left as it was. Each lane has its own
// memory words (LaneMemories), which its steps read and write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "component/component.hpp"
#include "engine/bus_state.hpp"
#include "engine/circuit.hpp"
#include "engine/lane_memories.hpp"
#include "engine/lane_pass.hpp"
#include "engine/lane_registers.hpp"
#include "engine/memory_rules.hpp"
#include "engine/packed_vectors.hpp"
#include "engine/registers.hpp"
#include "engine/update_control.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

class SequenceLanes {
 public:
  // Runs from `state`'s word pass, with `lanes` fitted to the sequences.
  SequenceLanes(const Circuit& circuit, const Registers& registers, const Memories& memories,
                const Component& model, BusState& state, LanePass& lanes);

  // Runs sequences [begin, end) (every sequence by default; `begin` is the
  // first of a block), handing the shown values after each step to `sink`.
  // A sequence that fails stops there and its fault goes to `faults` (one
  // per sequence); the others go on. The result is the fault that stopped
  // the whole call (an interrupt, or the sink).
  static constexpr std::size_t kAll = ~std::size_t{0};
  std::optional<VectorFault> run(const TextSequences& sequences,
                                 std::span<const std::uint32_t> shown, SequenceSink& sink,
                                 std::vector<std::optional<VectorFault>>& faults,
                                 const UpdateControl& control, std::size_t begin = 0,
                                 std::size_t end = kAll);
  std::optional<VectorFault> run(const ByteSequences& sequences,
                                 std::span<const std::uint32_t> shown, SequenceSink& sink,
                                 std::vector<std::optional<VectorFault>>& faults,
                                 const UpdateControl& control, std::size_t begin = 0,
                                 std::size_t end = kAll);

 private:
  // An input bus of byte sequences as lanes take it: its columns (its width
  // when the call starts), its width once evaluated, and the first signal of
  // its bits (LanePass::kNoSignal for a driven bus).
  struct LaneInput {
    std::uint32_t position;
    std::size_t columns;
    std::size_t evaluated_width;
    LanePass::Signal first_signal;
  };

  template <class Source>
  std::optional<VectorFault> run_blocks(const Source& source, std::span<const std::uint32_t> shown,
                                        SequenceSink& sink,
                                        std::vector<std::optional<VectorFault>>& faults,
                                        const UpdateControl& control, std::size_t begin,
                                        std::size_t end);
  // Fills the register bits of each edge and those with resets.
  void plan_registers();
  // Fills inputs_ with the inputs of `source`.
  void plan_inputs(const ByteSequences& source);
  std::optional<VectorFault> write_lane(const TextSequences& source, std::size_t sequence,
                                        std::size_t step, std::size_t lane);
  // What is wrong with the row of `sequence` at `step`, if anything.
  std::optional<VectorFault> byte_row_fault(const ByteSequences& source, std::size_t sequence,
                                            std::size_t step) const;
  // Writes the rows at `step` of the live lanes (lane i: sequence first + i),
  // 64 lanes of an input bit at a time.
  void write_byte_lanes(const ByteSequences& source, std::size_t first, std::size_t step,
                        std::span<const Word> live);
  // The asynchronous resets of the live lanes; lanes that still change after
  // the last round are faulted and leave `live`.
  void resets(std::span<Word> live, std::size_t first, std::size_t step,
              std::vector<std::optional<VectorFault>>& faults);
  void edge(Edge edge, std::span<Word> live, std::size_t first, std::size_t step,
            std::vector<std::optional<VectorFault>>& faults);

  const Circuit& circuit_;
  const Registers& registers_;
  LaneMemories memories_;
  AsyncParts async_parts_;
  bool clocked_ = false;  // registers or memories: a step has edges
  const Component& model_;
  BusState& state_;
  LanePass& lanes_;
  // By edge (posedge, negedge), then by kind (1: with an enable, 2: with a
  // reset): the bits that read a q the same edge writes (their d, enable or
  // reset), which are read before any is written, and the others, written
  // in place.
  std::vector<LaneRegisterBit> edge_bits_[2][4];
  std::vector<LaneRegisterBit> in_place_bits_[2][4];
  std::vector<LaneRegisterBit> reset_bits_;  // of the registers with a reset, in register order
  std::vector<LaneInput> inputs_;
  std::size_t input_columns_ = 0;  // of inputs_, in all
  // By column of a row: the input's lane signal, or none.
  std::vector<std::uint32_t> column_signals_;
  std::optional<std::size_t> first_clock_;  // of inputs_: a clock, which steps do not write
  bool widths_change_ = false;              // some input's evaluated width is not its columns
  std::vector<Word> captured_;
  UnpackedWrites unpacked_;  // the writes of a text step
};

}  // namespace nimbo
