// Steps of a design with registers: one clock cycle each.
//
// A step is, in this order, exactly these updates:
// 1. the step's inputs with every clock written 0, then the asynchronous
//    resets;
// 2. the rising edge: what each posedge register takes (register_rules.hpp:
//    its reset value while its asynchronous reset is 1, else d when it has
//    no enable or the enable is 1) is read first, then every clock written 1
//    and those q's in one update; then the asynchronous resets;
// 3. the falling edge: the same for negedge registers, every clock written 0.
// The asynchronous resets are the rounds of settle_resets: while some
// register's reset is 1 and its q is not its reset value, all such q's are
// written in one update.
//
// With memories (memory_rules.hpp), each edge also reads what the
// synchronous read ports take and what the write ports write before
// anything is written, writes the words, and writes the read data with the
// q's; the rounds after an update are the asynchronous parts, which take
// the read ports' asynchronous resets and the asynchronous reads in.
//
// Cycles takes steps as exactly those updates, made through PlainUpdates
// (the simulation's own update, on the worklist or the word pass), so a step
// gives the values of those updates made one by one through nimbo.core. A
// one-pass simulation takes the same steps on its word pass (WordSteps), and
// sequences in lanes (SequenceLanes); both must give what Cycles gives.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"
#include "component/register_record.hpp"
#include "engine/memory_cycles.hpp"
#include "engine/memory_words.hpp"
#include "engine/registers.hpp"
#include "engine/update_control.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

// The updates Cycles is made of.
class PlainUpdates {
 public:
  // Checks `texts` and `values` (a refused one changes nothing), writes them
  // and lets the circuit settle.
  virtual Status update(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                        const UpdateControl& control) = 0;
  virtual void read(std::size_t position, BitBusValue& value) = 0;

 protected:
  ~PlainUpdates() = default;
};

// Whether a value is the level 1: one bit, set. An enable or a reset of any
// other value is 0.
inline bool is_high(const BitBusValue& value) noexcept {
  return value.width() == 1 && value.bit(0);
}

// The rule of register_rules.hpp on whole values: `next` gets what a
// register holding `q` holds after its edge. `d` must have q's width.
void next_value(const BitBusValue& q, const BitBusValue& d, bool enabled, bool reset,
                const BitBusValue& reset_value, BitBusValue& next);

// What a step acts on beside the busses: the registers (their clocks are
// every clock of the design), the memories and their words.
struct StateElements {
  const Registers& registers;
  const Memories& memories;
  MemoryWords& words;

  bool any_async_part() const noexcept { return registers.any_async_reset || memories.async_parts; }
};

class Cycles {
 public:
  Cycles();

  // `texts` with every clock written 0, in one update: step 1 before its
  // resets, and a new simulation's first state.
  Status clocks_low(PlainUpdates& updates, const Registers& registers,
                    std::span<const PositionInput> texts, const UpdateControl& control);
  // The asynchronous resets (with memories, the asynchronous parts), after
  // an update.
  Status resets(PlainUpdates& updates, const StateElements& elements, const UpdateControl& control);
  // One step; its inputs are checked, and none is a clock.
  Status step(PlainUpdates& updates, const StateElements& elements,
              std::span<const PositionInput> inputs, const UpdateControl& control);

 private:
  bool reads_high(PlainUpdates& updates, std::size_t position);
  // Prepares the writes of one round; false when there are none.
  bool reset_round(PlainUpdates& updates, const StateElements& elements);
  Status edge(PlainUpdates& updates, const StateElements& elements, Edge edge,
              const UpdateControl& control);

  std::vector<BitBusValue> captured_;  // by register: what it takes
  MemoryCycles memories_;
  std::vector<ValueWrite> writes_;
  BitBusValue q_, d_, level_;
  BitBusValue zero_ = BitBusValue::zeros(1);
  BitBusValue one_ = BitBusValue::zeros(1);
};

}  // namespace nimbo
