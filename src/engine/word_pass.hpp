// WordPass: the update of a component without feedback as one pass over a
// dense array of 64-bit words.
//
// Every value (bus, constant, inner result of a tree) has its slot: one word
// up to 64 bits, consecutive words beyond. A bus whose assignment is a plain
// copy shares the slot of what it copies. Gates of up to 64 bits write their
// results into consecutive slots in run order, so a pass streams through two
// operand-index arrays and the result slots, and the loop of a run knows its
// truth table at compile time. Nothing is allocated and no id is looked up
// while a pass runs.
//
// A component whose values are all one bit wide (every gate-level netlist)
// keeps its values in bytes instead of words: eight times less memory for
// the reads that land anywhere in the circuit.
//
// When few inputs changed since the last pass, only the gates those changes
// reach are evaluated, level by level, each once; a gate none of whose
// operands changed keeps its value. Which of the two runs is not
// observable: both leave every slot as a full pass would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/large_pages.hpp"
#include "engine/pass_plan.hpp"
#include "engine/schedule.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

class WordPass {
 public:
  WordPass() = default;
  // Built with the inputs' values taken from `values` (every bus, by position).
  WordPass(const GateGraph& graph, const Schedule& schedule, const PassPlan& plan,
           std::span<const BitBusValue> values);

  // The width of the bus at `position` once driven busses were evaluated.
  std::uint64_t width(std::size_t position) const { return buses_[position].width; }

  // Writes a checked bit string (only '0' and '1', of the bus's width) into
  // the input bus at `position`.
  void write_text(std::size_t position, std::string_view bits);
  // Writes `value` (of the bus's width) into the input bus at `position`.
  void write(std::size_t position, const BitBusValue& value);
  // Bit `index` of the bus at `position`.
  bool bit(std::size_t position, std::size_t index) const {
    return (load(buses_[position].slot + index / 64) >> (index % 64)) & 1U;
  }
  // Takes the value of every input bus from `values` (by position; inputs
  // past its end keep theirs).
  void load_inputs(std::span<const BitBusValue> values);
  // Brings every gate up to date with the inputs.
  void run();
  // Whether a pass ran since the inputs were loaded: until then the driven
  // busses' slots hold nothing meaningful.
  bool evaluated() const noexcept { return consistent_; }
  // Whether some gate may not be up to date with the inputs: a write changed
  // something since the last run() (or none ran yet).
  bool behind() const noexcept { return !consistent_ || changes_overflowed_ || !changed_.empty(); }
  bool is_input(std::size_t position) const { return input_[position]; }

  // Slots, for the register copies of a clock edge: the first slot of the
  // bus at `position`, a slot's word, and a write into a slot of an input
  // whose value starts at `first` (the gates that read a value are found
  // from its first slot) that is noted as a change for the next run().
  std::uint32_t slot(std::size_t position) const { return buses_[position].slot; }
  Word slot_word(std::uint32_t slot) const { return load(slot); }
  void store_word(std::uint32_t slot, Word value, std::uint32_t first) {
    if (load(slot) == value) return;
    store(slot, value);
    note_change(first);
  }
  // The gates whose results the busses at `positions` read, directly or
  // through other gates, each after the gates it reads. Costs what it
  // finds (and its sort), not the size of the circuit.
  std::vector<std::uint32_t> cone_of(std::span<const std::uint32_t> positions);
  // Evaluates exactly `gates` (a cone_of list) and notes the results that
  // changed, so that the next run() follows them: those busses are then up
  // to date, and the others as they were.
  void run_gates(std::span<const std::uint32_t> gates);
  // Gates evaluated by the last run().
  std::size_t last_evaluated() const noexcept { return last_evaluated_; }
  // The value of the bus at `position`.
  void read(std::size_t position, BitBusValue& value) const;

  std::size_t gate_count() const noexcept { return left_.size() + wide_.size(); }

 private:
  struct Place {
    std::uint32_t slot = 0;
    std::uint64_t width = 0;
  };
  // A stretch of gates of one truth table and width; narrow runs index
  // left_/right_ (results at narrow_base_ + index), wide runs index wide_.
  struct Run {
    TruthTable table;
    bool wide;
    Word mask;  // narrow runs: the mask of their width
    std::uint32_t begin;
    std::uint32_t end;
    std::uint32_t level;
  };
  struct WideGate {
    TruthTable table;
    std::uint32_t left, right, out;
    std::uint32_t words;
    Word tail_mask;
  };

  Word load(std::size_t slot) const { return one_bit_ ? bytes_[slot] : slots_[slot]; }
  void store(std::size_t slot, Word value) {
    if (one_bit_) {
      bytes_[slot] = static_cast<std::uint8_t>(value);
    } else {
      slots_[slot] = value;
    }
  }

  bool one_bit_ = false;  // every value has at most one bit: bytes_ holds them
  std::vector<Word, LargePageAllocator<Word>> slots_;
  std::vector<std::uint8_t, LargePageAllocator<std::uint8_t>> bytes_;
  std::vector<Place> buses_;  // by bus position
  std::vector<bool> input_;   // by bus position: written from outside
  std::vector<std::uint32_t, LargePageAllocator<std::uint32_t>> left_, right_;
  std::uint32_t narrow_base_ = 0;
  std::vector<WideGate> wide_;
  std::vector<Run> runs_;

  // Gate references: narrow gate i is i, wide gate i is narrow count + i.
  void run_all();
  void run_changes();
  // run_changes for a component whose values are all one bit: gates marked
  // in a bitset, found in gate order (which is level order).
  void run_sweep();
  void note_change(std::uint32_t slot);
  // Evaluates one gate; true when its result changed.
  bool evaluate(std::uint32_t gate);
  std::uint32_t result_slot(std::uint32_t gate) const {
    return gate < left_.size() ? narrow_base_ + gate : wide_[gate - left_.size()].out;
  }

  bool sweeps_ = false;               // one_bit_: changes are followed by run_sweep
  std::vector<std::uint8_t> tables_;  // sweeps_: the truth table of each gate
  std::vector<Word> marked_;          // sweeps_: one bit per gate, to evaluate
  // sweeps_: by slot, the words of marked_ its readers sit in, each with the
  // bits of those readers: a change costs one OR per word, not per reader.
  std::vector<std::uint32_t> mark_offsets_;  // by slot, plus the end
  std::vector<std::uint32_t> mark_words_;
  std::vector<Word> mark_bits_;
  std::vector<std::uint32_t> run_of_;  // by gate reference
  static constexpr std::uint32_t kNoGate = ~std::uint32_t{0};
  std::vector<std::uint32_t> driver_of_;   // by slot: the gate writing it, or kNoGate
  std::vector<std::uint32_t> cone_marks_;  // by gate: the cone_of call that found it
  std::uint32_t cone_mark_ = 0;
  std::vector<std::uint32_t> reader_offsets_;        // by slot, plus the end
  std::vector<std::uint32_t> readers_;               // gates reading a value's first slot
  std::vector<std::vector<std::uint32_t>> waiting_;  // gates to evaluate, by level
  std::vector<std::uint8_t> queued_;                 // by gate reference
  std::vector<std::uint32_t> changed_;  // first slots of inputs changed since the last run
  bool changes_overflowed_ = false;
  bool consistent_ = false;               // every result is up to date with the inputs
  std::size_t full_runs_ahead_ = 0;       // after a busy change run, full runs first
  std::size_t full_runs_after_busy_ = 0;  // how many the last busy try set
  std::size_t last_evaluated_ = 0;
};

}  // namespace nimbo
