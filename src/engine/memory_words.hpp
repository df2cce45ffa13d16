// MemoryWords: the words of every memory of a simulation as they are now,
// the memories' part of its state (BusState keeps them beside the busses).
//
// Memory m holds its words one after the other, word 0 (the word at the
// memory's offset) first, each `stride` 64-bit units long, bit b of a word
// in bit b % 64 of unit b / 64; bits past the width are 0. A copy is a
// snapshot of every memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "busses/truth_table.hpp"
#include "component/memories.hpp"

namespace nimbo {

class MemoryWords {
 public:
  MemoryWords() = default;
  // Every memory with its initial contents.
  explicit MemoryWords(const Memories& memories) {
    words_.reserve(memories.list.size());
    for (const Memory& memory : memories.list) words_.push_back(memory.contents);
  }

  std::size_t count() const noexcept { return words_.size(); }
  bool empty() const noexcept { return words_.empty(); }
  std::span<Word> of(std::size_t memory) noexcept { return words_[memory]; }
  std::span<const Word> of(std::size_t memory) const noexcept { return words_[memory]; }
  // Replaces the words of `memory` (as many units as it holds).
  void assign(std::size_t memory, std::vector<Word> units) { words_[memory] = std::move(units); }

 private:
  std::vector<std::vector<Word>> words_;
};

}  // namespace nimbo
