// ReactiveLanes: many copies of a one-pass simulation side by side, one per
// lane, driven call by call: a testbench writes each lane's inputs, then
// the lanes a mask names take one step (or settle), and the others are left
// exactly as they were.
//
// The lanes hold the whole state of every copy in lane passes of their own
// (one per block of lanes, see LanePass): inputs and register q's are input
// signals, every other value follows from them in a pass. A step is the
// updates of cycles.hpp for every lane at once, as SequenceLanes takes them,
// except that the edges and the asynchronous resets write only the q's of
// the lanes in the mask. A lane out of the mask keeps its inputs and q's, so
// the passes give it back the values it had: the clocks are 0 between calls,
// and a pass computes each lane from that lane alone.
//
// Memories run as in SequenceLanes (LaneMemories), except that every
// memory, written or not, has a copy of its words per lane: the lanes keep
// their words between calls, and a held lane's words are left as they are.
//
// Each lane gives what a simulation stepped alone gives with the same calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "component/memories.hpp"
#include "engine/circuit.hpp"
#include "engine/lane_memories.hpp"
#include "engine/lane_pass.hpp"
#include "engine/lane_registers.hpp"
#include "engine/memory_rules.hpp"
#include "engine/memory_words.hpp"
#include "engine/registers.hpp"

namespace nimbo {

class ReactiveLanes {
 public:
  using Signal = LanePass::Signal;

  // `count` lanes (at least one) of the bound one-pass `circuit`, every
  // lane 0 until load() gives it a state.
  ReactiveLanes(const Circuit& circuit, const Registers& registers, const Memories& memories,
                std::size_t count);
  ~ReactiveLanes();
  ReactiveLanes(const ReactiveLanes&) = delete;
  ReactiveLanes& operator=(const ReactiveLanes&) = delete;

  std::size_t count() const noexcept { return count_; }
  // The words of a mask: bit l % 64 of word l / 64 is lane l.
  std::size_t mask_words() const noexcept { return (count_ + 63) / 64; }
  // The bytes the lanes' copies of the memories' words take (every block's).
  std::size_t memory_bytes() const noexcept { return memory_bytes_; }

  // The signals of the bus at `position`, element 0 first (the same in
  // every block), and whether they are written from outside (a bus without
  // an assignment: an input, a q or a clock).
  std::span<const Signal> signals(std::size_t position) const {
    return blocks_.front()->signals(position);
  }
  bool is_input(std::size_t position) const {
    return blocks_.front()->first_signal_of_input(position) != LanePass::kNoSignal;
  }

  // The lanes of `mask` take the state of `values` (every bus by position,
  // as Simulation::snapshot gives it: settled) and `words` (the memories'
  // words of that state): their inputs, q's and words, then a pass.
  void load(std::span<const BitBusValue> values, const MemoryWords& words,
            std::span<const Word> mask);
  // Writes bit i of values[l] into signals[i] (an input's signal, or
  // LanePass::kNoSignal for a bit that is not written) of lane l, for the
  // lanes of `mask`; at most 64 signals. `values` has count() words.
  void write(std::span<const Signal> signals, const Word* values, std::span<const Word> mask);
  // The reverse: bit i of values[l] is signals[i] of lane l, for every lane.
  void read(std::span<const Signal> signals, Word* values) const;

  // The lanes of `mask` settle after their writes (a pass), then take the
  // asynchronous resets. A lane whose resets do not settle goes to `failed`
  // (by lane, in order) and its update stops there.
  void settle(std::span<const Word> mask, std::vector<std::size_t>& failed);
  // One step of the lanes of `mask` (cycles.hpp); failures as for settle.
  void step(std::span<const Word> mask, std::vector<std::size_t>& failed);

 private:
  // The lane words of `mask` for block `block`, into `live`.
  void block_mask(std::span<const Word> mask, std::size_t block, Word* live) const;
  // The asynchronous parts (resets, asynchronous reads) of block `block`.
  void resets(std::size_t block, std::span<Word> live, std::size_t first,
              std::vector<std::size_t>& failed);
  void edge(std::size_t block, Edge edge, std::span<Word> live, std::size_t first,
            std::vector<std::size_t>& failed);

  const Circuit& circuit_;
  const Registers& registers_;
  std::size_t count_;
  std::size_t block_lanes_;  // lanes per block: 64 times its lane words
  std::vector<std::unique_ptr<LanePass>> blocks_;
  std::vector<LaneMemories> memories_;  // per block, none without memories
  AsyncParts async_parts_;
  bool clocked_ = false;  // registers or memories: a step has edges
  std::size_t memory_bytes_ = 0;
  std::vector<LaneRegisterBit> edge_bits_[2];  // posedge, negedge
  std::vector<LaneRegisterBit> reset_bits_;    // of the registers with a reset, in register order
  std::vector<Signal> clock_signals_;
  std::vector<Word> captured_;
};

}  // namespace nimbo
