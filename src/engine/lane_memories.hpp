// LaneMemories: the memories of sequences side by side in lanes, for
// SequenceLanes: each lane (each sequence) has its own words, the rule that
// of memory_rules.hpp.
//
// A memory that no port writes is read from the simulation's words by every
// lane, unless every memory is copied (ReactiveLanes, whose lanes outlive a
// call). A written one has a copy of its words per lane, lane after lane
// (lane l's words are those of MemoryWords at l * words * stride), taken
// from the simulation's words when a block starts. A port works on 64
// lanes at a time: the bits of its address and data, one signal per bit
// holding one bit per lane, are turned into one number per lane by the
// transpose of a 64 x 64 bit matrix, and the words a read finds are turned
// back into signals the same way; only the fetch of each lane's word and
// the write of each lane's word go lane by lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "busses/truth_table.hpp"
#include "component/memories.hpp"
#include "component/register_record.hpp"
#include "engine/lane_pass.hpp"
#include "engine/memory_words.hpp"

namespace nimbo {

class LaneMemories {
 public:
  using Signal = LanePass::Signal;

  // With `copy_every`, the memories no port writes have a copy per lane too.
  LaneMemories(const Memories& memories, const LanePass& lanes, bool copy_every = false);

  bool empty() const noexcept { return memories_.empty(); }
  // Whether some port takes `edge`.
  bool any_of(Edge edge) const noexcept;
  // Some read port acts between edges (memory_rules.hpp's asynchronous parts).
  bool async_parts() const noexcept { return async_parts_; }
  // The bytes a copy of the written memories' words takes per lane.
  static std::size_t bytes_per_lane(const Memories& memories, bool copy_every = false);

  // Every lane of a block starts with `words`, which the lanes keep
  // reading (the memories nobody writes) until the call ends.
  void start(const MemoryWords& words);
  // The lanes of `live` (a word per 64 lanes) take `words` for their own;
  // the other lanes keep theirs. Without `copy_every`, every lane reads the
  // memories nobody writes from `words`, which must outlive the call.
  void load(const MemoryWords& words, std::span<const Word> live);

  // One round of the asynchronous parts for the lanes of `live`: works out
  // which read data bits of those lanes differ from what they must hold;
  // true when any does, and their lanes are added to `changed` (a word per
  // 64 lanes). flip() then writes them.
  bool async_round(const LanePass& lanes, std::span<const Word> live, std::span<Word> changed);
  void flip(LanePass& lanes) const;

  // The edge for the lanes of `live`: reads what the ports of `edge` take
  // and write (before anything is written) and writes the words; store()
  // then writes the read data.
  void edge(const LanePass& lanes, Edge edge, std::span<const Word> live);
  void store(LanePass& lanes) const;

 private:
  struct ReadPort {
    std::vector<Signal> address, data;  // a signal per bit
    bool synchronous = false;
    Edge edge = Edge::kPosedge;
    Signal enable = LanePass::kAllOne, async_reset = LanePass::kAllZero,
           sync_reset = LanePass::kAllZero;
    bool enable_over_reset = false;
    std::vector<Word> async_value, sync_value;  // a mask per data bit
    std::vector<std::uint32_t> transparent;
  };
  struct WritePort {
    std::vector<Signal> address, data, enable;  // enable: a signal per data bit
    Edge edge = Edge::kPosedge;
    // What it writes at its edge, per lane: the address, and the data and
    // enable units (stride each).
    std::vector<std::uint64_t> at;
    std::vector<Word> data_units, enable_units;
  };
  struct Memory {
    std::size_t index = 0;  // in MemoryWords
    std::uint64_t words = 0;
    std::int64_t offset = 0;
    std::size_t stride = 0;
    std::size_t width = 0;
    std::vector<ReadPort> reads;
    std::vector<WritePort> writes;
    bool copied = false;           // written (or copy_every): every lane has its words
    std::vector<Word> lane_words;  // copied memories: every lane's words
    const Word* shared = nullptr;  // memories nobody writes: the simulation's
  };

  // The words of lane `lane` of `memory`.
  const Word* words_of(const Memory& memory, std::size_t lane) const {
    return memory.copied ? memory.lane_words.data() + lane * memory.words * memory.stride
                         : memory.shared;
  }
  // One number per lane of lane word `w` from the signals `bits` (at most
  // 64), into numbers_.
  void gather(const LanePass& lanes, std::span<const Signal> bits, std::size_t w);
  // Unit `unit` (64 bits) of each lane of lane word `w` from the signals
  // `bits`, into numbers_.
  void gather_unit(const LanePass& lanes, std::span<const Signal> bits, std::size_t unit,
                   std::size_t w);
  // The word each lane of lane word `w` reads at its address (numbers_,
  // which it consumes) into found_ (64 lanes x stride units).
  void fetch(const Memory& memory, std::size_t w, Word live);
  // Unit `unit` of found_ as one lane word per bit, into bits_.
  void scatter_unit(const Memory& memory, std::size_t unit);

  std::vector<Memory> memories_;
  bool async_parts_ = false;
  std::size_t lane_words_ = 1;
  std::size_t block_ = 64;
  // The lane words a round or an edge writes: a read port's data signal,
  // which lane word of it, and the word (XORed in by a round, stored by an
  // edge).
  std::vector<Signal> targets_;
  std::vector<std::uint32_t> target_lanes_;
  std::vector<Word> target_words_;
  Word numbers_[64] = {};
  Word bits_[64] = {};
  std::vector<Word> found_;  // 64 lanes x the widest stride
};

}  // namespace nimbo
