// MemoryCycles: the memories in the steps of plain updates (Cycles): their
// ports read through PlainUpdates::read and their read data written as
// values of the updates, the words in MemoryWords, the rule that of
// memory_rules.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "component/memories.hpp"
#include "component/register_record.hpp"
#include "engine/memory_words.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

class PlainUpdates;

class MemoryCycles {
 public:
  // One round of the asynchronous parts: appends to `writes` the read data
  // that differ from what they must hold (the asynchronous reset value of a
  // synchronous port while its reset is 1, the word at the address of an
  // asynchronous port). The values stay valid until the next call.
  void async_round(PlainUpdates& updates, const Memories& memories, const MemoryWords& words,
                   std::vector<ValueWrite>& writes);
  // The edge: reads what the ports of `edge` take and write, before
  // anything is written; then writes the words and appends the read data
  // to `writes` (valid until the next call).
  void edge(PlainUpdates& updates, const Memories& memories, MemoryWords& words, Edge edge,
            std::vector<ValueWrite>& writes);

 private:
  // What a write port writes at its edge.
  struct Write {
    std::uint64_t address = 0;
    std::vector<Word> data;
    std::vector<Word> enable;
  };

  // The bits of a bit list, element 0 first, in 64-bit units.
  void read_list(PlainUpdates& updates, const BitList& list, std::vector<Word>& units);
  bool reads_high(PlainUpdates& updates, std::uint32_t position);
  std::uint64_t address(PlainUpdates& updates, const BitList& list);
  // Makes room for the values of every read data bus.
  void start(const Memories& memories);
  // Appends the writes of `units` into the busses of `list` (width bits).
  void put(const BitList& list, std::size_t width, const std::vector<Word>& units,
           std::vector<ValueWrite>& writes);

  std::vector<std::vector<Write>> captured_;  // by memory and write port
  std::vector<BitBusValue> values_;           // what `writes` point to
  std::size_t used_ = 0;                      // values_ handed out since the last call
  std::vector<Word> units_, now_, word_;
  BitBusValue scratch_;
};

}  // namespace nimbo
