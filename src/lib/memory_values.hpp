// The words of a memory as Python ints, and back: what Simulator.memory
// returns and Simulator.load_memory takes.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "busses/truth_table.hpp"
#include "component/memories.hpp"
#include "lib/python.hpp"

namespace nimbo::py {

// A new list of one int per word of `units` (MemoryWords's layout for
// `memory`), word 0 first.
PyObject* words_list(const Memory& memory, std::span<const Word> units);

// The units of `memory` holding the ints of `words` (a sequence of at most
// `memory.words` ints, each from 0 to 2**width - 1), word 0 first; the words
// it does not reach are 0. Empty with TypeError (an item that is no int) or
// ValueError (too many words, a word that does not fit) set, naming the
// memory and the word.
std::optional<std::vector<Word>> words_units(const Memory& memory, PyObject* words);

}  // namespace nimbo::py
