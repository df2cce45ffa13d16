// WordMemories: the memories of a one-pass simulation on its word pass, for
// WordSteps: their ports read from the pass's slots, their read data (input
// busses of the pass) written into slots, the words in MemoryWords, the rule
// that of memory_rules.hpp.
//
// Only the ports are touched: a read is an index into the words, and an
// edge reads and writes one word per port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "busses/truth_table.hpp"
#include "component/memories.hpp"
#include "component/register_record.hpp"
#include "engine/circuit.hpp"
#include "engine/memory_words.hpp"
#include "engine/word_pass.hpp"

namespace nimbo {

// Slot writes of an edge or of a round of the asynchronous parts, read
// before any is made: a slot, the first slot of its bus (through which the
// pass finds its readers), and the word.
struct SlotWrites {
  std::vector<std::uint32_t> slots;
  std::vector<std::uint32_t> firsts;
  std::vector<Word> words;

  bool empty() const noexcept { return slots.empty(); }
  void clear() noexcept {
    slots.clear();
    firsts.clear();
    words.clear();
  }
  void add(std::uint32_t slot, std::uint32_t first, Word word) {
    slots.push_back(slot);
    firsts.push_back(first);
    words.push_back(word);
  }
  void store(WordPass& pass) const {
    for (std::size_t i = 0; i < slots.size(); ++i) pass.store_word(slots[i], words[i], firsts[i]);
  }
};

class WordMemories {
 public:
  WordMemories() = default;
  WordMemories(const Memories& memories, const Circuit& circuit, const WordPass& pass);

  bool empty() const noexcept { return memories_.empty(); }
  // Whether a round of the asynchronous parts reads a bus that a pass
  // changes (an address, or a read port's asynchronous reset): then a pass
  // comes between rounds.
  bool rounds_need_pass() const noexcept { return rounds_need_pass_; }

  // One round of the asynchronous parts: adds to `writes` the read data
  // that differ from what they must hold.
  void async_round(const WordPass& pass, const MemoryWords& words, SlotWrites& writes);
  // What the ports of `edge` take and write, read from the pass before
  // anything is written; the words are written here, the read data added
  // to `writes`.
  void edge(const WordPass& pass, MemoryWords& words, Edge edge, SlotWrites& writes);

 private:
  // A bit list on the pass: one bus (its bits in consecutive slots from
  // `first`, 64 a slot), or several one-bit busses, one slot each.
  struct SlotList {
    std::uint32_t first = 0;
    std::vector<std::uint32_t> slots;  // empty: one bus
    std::size_t width = 0;
  };
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  struct ReadPort {
    SlotList address, data;
    bool synchronous = false;
    Edge edge = Edge::kPosedge;
    std::uint32_t enable = kNone, async_reset = kNone, sync_reset = kNone;
    bool enable_over_reset = false;
    std::vector<Word> async_value, sync_value;  // the reset values' units
    std::vector<std::uint32_t> transparent;
  };
  struct WritePort {
    SlotList address, data, enable;  // enable.width 0: every bit
    Edge edge = Edge::kPosedge;
    // What it writes at its edge, read before any word is written.
    std::uint64_t at = 0;
    std::vector<Word> data_units, enable_units;
  };
  struct Memory {
    std::size_t index = 0;  // in MemoryWords
    std::uint64_t words = 0;
    std::int64_t offset = 0;
    std::size_t stride = 0;
    std::vector<ReadPort> reads;
    std::vector<WritePort> writes;
  };

  static SlotList slot_list(const WordPass& pass, const BitList& list, std::size_t width);
  static Word unit(const WordPass& pass, const SlotList& list, std::size_t u);
  static Word level(const WordPass& pass, std::uint32_t slot, Word absent);
  // Adds the writes of the units of `value` that differ from `list`'s now.
  static void put(const WordPass& pass, const SlotList& list, const Word* value,
                  SlotWrites& writes);
  // The word at `address` into word_, zeros outside the memory.
  void load_word(const Memory& memory, const MemoryWords& words, std::uint64_t address);

  std::vector<Memory> memories_;
  bool rounds_need_pass_ = false;
  std::vector<Word> word_;
};

}  // namespace nimbo
