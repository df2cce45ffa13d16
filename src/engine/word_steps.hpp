// WordSteps: the steps (cycles.hpp) and asynchronous resets of a one-pass
// simulation with registers, on its word pass.
//
// The updates of a step run as passes, which give the one set of values the
// update would (schedule.cpp), so they may be merged and put off as long as
// nothing reads in between: a register group (registers sharing edge,
// enable and reset, one entry per word of each q) copies slot to slot; the
// clock busses change only what reads them, and when nothing but the
// registers reads them a clock that rises and falls again within the step
// is not written at all; resets that are inputs or q's (which no pass
// changes) take their rounds without a pass between them; the pass after
// the last edge waits for the next read or update (BusState::read runs it).
//
// Memories (WordMemories) take their part at each edge and in each round of
// the asynchronous parts; a round runs without a pass before it when
// nothing it reads (resets, addresses of asynchronous reads) is changed by
// a pass.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"
#include "component/register_record.hpp"
#include "engine/bus_state.hpp"
#include "engine/circuit.hpp"
#include "engine/memory_rules.hpp"
#include "engine/memory_words.hpp"
#include "engine/registers.hpp"
#include "engine/vectors.hpp"
#include "engine/word_memories.hpp"
#include "engine/word_pass.hpp"

namespace nimbo {

class WordSteps {
 public:
  WordSteps() = default;
  // Groups the registers by slot, and binds the memories' ports.
  WordSteps(const Circuit& circuit, const Registers& registers, const Memories& memories,
            const WordPass& words);

  // One step; its inputs are checked, and none is a clock. The pass after
  // the last edge is left to the next read.
  Status step(WordPass& words, MemoryWords& memory_words, std::span<const PositionInput> inputs);
  // The asynchronous resets (with memories, the asynchronous parts) after
  // an update's pass.
  Status resets(WordPass& words, MemoryWords& memory_words);
  // The values of the busses at `shown` after a step: when the pass is
  // left to do, only the gates they read are evaluated, unless those are so
  // many that the pass, which evaluates only what changed, costs less.
  void read_shown(BusState& state, std::span<const std::uint32_t> shown,
                  std::vector<BitBusValue>& values);

 private:
  static constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};
  // By word of each q: its slot, the first slot of its q, d's slot and the
  // reset value's word.
  struct SlotGroup {
    Edge edge = Edge::kPosedge;
    std::uint32_t enable = kNoSlot;
    std::uint32_t reset = kNoSlot;
    std::vector<std::uint32_t> q;
    std::vector<std::uint32_t> q_first;
    std::vector<std::uint32_t> d;
    std::vector<Word> reset_words;
  };

  // The masks of a group's enable and reset now.
  static Word enable_mask(const WordPass& words, const SlotGroup& group);
  static Word reset_mask(const WordPass& words, const SlotGroup& group);
  // Prepares the slot writes of one round; false when there are none.
  bool reset_round(const WordPass& words, const MemoryWords& memory_words);
  // The rounds, with a pass after each or (when nothing they read is
  // changed by a pass) without.
  Status resets_with_pass(WordPass& words, const MemoryWords& memory_words);
  Status resets_without_pass(WordPass& words, const MemoryWords& memory_words);
  // The copies of an edge, clocks included (when read), and the memories'
  // ports of that edge.
  void edge(WordPass& words, MemoryWords& memory_words, Edge edge);
  bool evaluate_shown(WordPass& words, std::span<const std::uint32_t> shown);

  std::vector<SlotGroup> groups_;
  std::vector<std::uint32_t> clock_slots_;
  WordMemories memories_;
  AsyncParts async_parts_;
  bool any_async_part_ = false;
  // Some register or memory port takes the falling edge, or a clock is read.
  bool negedge_phase_ = false;
  bool clocks_read_ = false;
  bool resets_need_pass_ = false;  // a round reads a bus a pass changes

  // Reused by every step: the slots an edge or a round writes.
  SlotWrites targets_;
  // The gates the shown busses of the last read_shown read, and whether
  // they are few enough to evaluate alone.
  std::vector<std::uint32_t> shown_cone_;
  std::vector<std::uint32_t> shown_for_cone_;
  bool shown_cone_small_ = false;
};

}  // namespace nimbo
