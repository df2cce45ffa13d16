// BusState: the value of every bus of a simulation, each kept in one place.
//
// Until the simulation is bound, and for good when it runs the worklist,
// every value is a BitBusValue of the table. A one-pass simulation keeps its
// values in the slots of its WordPass: inputs as written, driven busses as
// the pass evaluates them. Until its first pass, its driven busses keep in
// the table the values they were rendered or restored with (their widths
// may not be the pass's yet), and the pass replaces them; inputs are never
// read from the table again.
//
// A step on the word pass leaves its last pass to the next read (see
// WordSteps): reading a driven bus runs it first, so reads change the state
// they read and are not const. The words of the memories are kept here
// beside the busses (MemoryWords): the runners read and write them in
// place, and a snapshot of the state takes them with the values.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "engine/memory_words.hpp"
#include "engine/word_pass.hpp"

namespace nimbo {

class BusState {
 public:
  BusState() = default;
  // Every bus with its value as rendered, by position.
  explicit BusState(std::span<const BitBusValue> rendered, MemoryWords words = {});
  ~BusState();
  BusState(BusState&&) noexcept;
  BusState& operator=(BusState&&) noexcept;

  std::size_t size() const noexcept { return table_.size(); }

  // Makes `pass` (built from these values) the home of the values: a
  // one-pass simulation once bound.
  void move_to(std::unique_ptr<WordPass> pass);
  bool on_words() const noexcept { return words_ != nullptr; }
  // The word pass (on_words() only); runners write and run it.
  WordPass& words() noexcept { return *words_; }
  const WordPass& words() const noexcept { return *words_; }
  // Every value (while not on_words()); the worklist writes them.
  std::span<BitBusValue> table() noexcept { return table_; }
  std::span<const BitBusValue> table() const noexcept { return table_; }
  // The words of every memory now.
  MemoryWords& memory_words() noexcept { return memory_words_; }
  const MemoryWords& memory_words() const noexcept { return memory_words_; }

  // The width of the bus at `position` now: an input written into it must
  // have it. (Every update asks it of every input: inline.)
  std::size_t width(std::size_t position) const {
    if (words_ && (words_->evaluated() || words_->is_input(position))) {
      return words_->width(position);
    }
    return table_[position].width();
  }
  // The value of the bus at `position`. (Runs read shown busses after
  // every vector: the common case inline.)
  void read(std::size_t position, BitBusValue& value) {
    if (words_ && words_->evaluated() && !words_->behind()) {
      words_->read(position, value);
      return;
    }
    read_any(position, value);
  }
  // Every value, by position.
  std::vector<BitBusValue> snapshot();
  // Puts back values of every bus (as snapshot() gave them, or as after a
  // render: driven busses not evaluated since).
  void restore(std::span<const BitBusValue> values);

 private:
  void read_any(std::size_t position, BitBusValue& value);
  // A driven bus of a one-pass simulation whose value is still the table's.
  bool held(std::size_t position) const {
    return !words_->evaluated() && !words_->is_input(position);
  }

  std::vector<BitBusValue> table_;
  std::unique_ptr<WordPass> words_;
  MemoryWords memory_words_;
};

}  // namespace nimbo
