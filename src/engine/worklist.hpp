// Worklist: the update of a component as the IR's semantics define it.
//
// Every bus is seeded in table order; a driven bus taken from the front is
// evaluated and, when its value changed, the busses of its influence list
// that are not waiting are appended at the back. The update ends when
// nothing waits. Components with feedback run this way (those without run
// as one pass, see schedule.cpp), and so do the updates a one-pass engine
// cannot take.
//
// Evaluations that cannot change anything are skipped (see worklist.cpp for
// why that is exact): a settled component takes an update that changes
// nothing in time independent of its size. While every bus holds one bit
// (a gate-level netlist), the same loop reads and writes a byte per value
// beside the table (see worklist.cpp): the order and the counts stay those
// of the general form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "busses/bus_table.hpp"
#include "common/result.hpp"
#include "engine/unsettled.hpp"
#include "engine/update_control.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

class Worklist {
 public:
  Worklist() = default;
  // Built once the table's busses, assignments and influence lists are
  // final (`busses` gives the influence lists, `values` the values of every
  // bus by position); every driven bus counts as not evaluated yet.
  Worklist(const GateGraph& graph, const BusTable& busses, std::span<const BitBusValue> values);

  // Writes `value` into the bus at `position` from outside, noting a change.
  void write(std::span<BitBusValue> values, std::uint32_t position, const BitBusValue& value);
  // The same for a checked bit string (only '0' and '1', of the bus's width).
  void write_text(std::span<BitBusValue> values, std::uint32_t position, std::string_view bits);
  // Every driven bus counts as not evaluated yet (after values were put back).
  void forget(std::span<const BitBusValue> values);

  // Seeds every bus and propagates until nothing waits, or until the work
  // limit (with feedback) or an interrupt stops it.
  Status settle(std::span<BitBusValue> values, const GateGraph& graph, bool feedback,
                const UpdateControl& control);

  // After a settle() that reached the work limit: the busses that kept
  // changing and a loop among them (empty after any other settle()).
  const Unsettled& unsettled() const noexcept { return unsettled_; }

  // Evaluations the last settle() counts (skipped ones included).
  std::uint64_t last_evaluations() const noexcept { return last_evaluations_; }
  // Evaluations actually run by the last settle().
  std::uint64_t last_evaluations_run() const noexcept { return last_evaluations_run_; }
  // Whether the last settle() ran on the bytes of one-bit values.
  bool last_on_bits() const noexcept { return last_on_bits_; }
  std::size_t influence_entry_count() const noexcept { return influence_targets_.size(); }
  // The most work one update of a component with feedback may do.
  std::uint64_t work_limit() const noexcept {
    return work_limit(count_, influence_targets_.size());
  }
  // The same for a component of `busses` busses and `influence_entries`
  // entries that name one of them.
  static std::uint64_t work_limit(std::size_t busses, std::size_t influence_entries) noexcept;

 private:
  // How a bus is evaluated: nothing (an input), a copy, one gate over two
  // busses, or its gates from the graph.
  enum class Shape : std::uint8_t { kNone, kCopy, kGate, kGates };
  // The state byte of a position: shape in bits 0-1, truth table (kGate) in
  // bits 2-5, a flag telling whether its influence list names a position at
  // or before it, and the waiting flag of the worklist.
  static constexpr std::uint8_t kWaiting = 0x80;
  static constexpr std::uint8_t kInfluencesEarlier = 0x40;
  // A copy's table: its left operand (a copy reads its source as both).
  static constexpr TruthTable kCopyTable = 0b1010;
  static constexpr std::uint8_t state_of(Shape shape, TruthTable table) noexcept {
    return static_cast<std::uint8_t>(static_cast<unsigned>(shape) | (table << 2));
  }
  static Shape shape_of(std::uint8_t state) noexcept { return Shape(state & 0x03); }
  static TruthTable table_of(std::uint8_t state) noexcept {
    return static_cast<TruthTable>((state >> 2) & 0x0F);
  }
  // kGate: the two bus positions; kCopy: the value copied; kGates: in `a`
  // the index of its entry in three_inputs_ plus one, or 0 for none.
  struct Operands {
    ValueId a = 0;
    ValueId b = 0;
  };
  // A tree of several gates over at most three values (busses or
  // constants; a multiplexer is one) as the byte form evaluates it: bit
  // (x + 2y + 4z) of `table` is its value for those bits of the three.
  struct ThreeInputs {
    ValueId x = 0;
    ValueId y = 0;
    ValueId z = 0;
    std::uint8_t table = 0;
  };
  // The entry of `gates` (the gates of one tree) when they read at most
  // three values other than their own results.
  static std::optional<ThreeInputs> three_inputs(const GateGraph& graph,
                                                 std::span<const GraphGate> gates);

  // The value at `position` was written from outside and changed.
  void note_written(std::uint32_t position);
  // Fills unsettled_ when settle() reached the work limit with `taken` just
  // taken and `waiting` ids from `head` in the ring: the update goes on, on
  // a copy of `values`, for about one more evaluation of everything, and
  // notes what changed. `values` is left as it is. False when `control`
  // stopped it.
  bool note_unsettled(std::span<const BitBusValue> values, const GateGraph& graph,
                      std::uint32_t taken, std::size_t head, std::size_t waiting,
                      const UpdateControl& control);
  // Evaluates the assignment of `position` into `values`; true on a change.
  bool evaluate_and_store(std::span<BitBusValue> values, const GateGraph& graph,
                          std::uint32_t position, std::uint8_t state);
  // The same while every value is one bit: reads the bytes of bits_, writes
  // the byte and the table's word; the caller clears the bus's stale bit and
  // marks its readers.
  bool evaluate_bit(std::span<BitBusValue> values, const GateGraph& graph, std::uint32_t position,
                    std::uint8_t state);
  template <bool kBits>
  [[gnu::always_inline]] bool evaluate(std::span<BitBusValue> values, const GateGraph& graph,
                                       std::uint32_t position, std::uint8_t state) {
    if constexpr (kBits) {
      return evaluate_bit(values, graph, position, state);
    } else {
      return evaluate_and_store(values, graph, position, state);
    }
  }
  // The update itself, on the values (kBits: on bits_ too).
  template <bool kBits>
  Status run(std::span<BitBusValue> values, const GateGraph& graph, bool feedback,
             const UpdateControl& control);
  // Whether the next update may run on bits_: every bus holds one bit, every
  // constant the graph reads is one bit. Builds bits_ when it is behind.
  bool use_bits(std::span<const BitBusValue> values, const GateGraph& graph);
  // A value at `position` goes from `before` to `after` bits wide.
  void note_width(std::size_t before, std::size_t after) noexcept {
    odd_widths_ += static_cast<std::size_t>(after != 1);
    odd_widths_ -= static_cast<std::size_t>(before != 1);
  }
  const BitBusValue& value_of(std::span<const BitBusValue> values, const GateGraph& graph,
                              ValueId value) const;
  void mark_stale(std::uint32_t position) noexcept {
    stale_[position / 64] |= std::uint64_t{1} << (position % 64);
  }
  [[gnu::always_inline]] void mark_readers_stale(std::uint32_t position) noexcept {
    for (std::uint32_t i = reader_offsets_[position], end = reader_offsets_[position + 1]; i != end;
         ++i) {
      mark_stale(readers_[i]);
    }
  }
  // The same for the walk over the seeds of word `word` of the bits, which
  // holds that word in a register: the readers after `position` in it are
  // given back instead of marked.
  [[gnu::always_inline]] std::uint64_t mark_readers_stale(std::uint32_t position,
                                                          std::size_t word) noexcept {
    std::uint64_t later = 0;
    for (std::uint32_t i = reader_offsets_[position], end = reader_offsets_[position + 1]; i != end;
         ++i) {
      const std::uint32_t reader = readers_[i];
      const std::uint64_t ahead = reader / 64 == word && reader > position;
      later |= ahead << (reader % 64);
      stale_[reader / 64] |= (ahead ^ 1U) << (reader % 64);
    }
    return later;
  }
  bool is_stale(std::uint32_t position) const noexcept {
    return (stale_[position / 64] >> (position % 64)) & 1U;
  }
  void clear_stale(std::uint32_t position) noexcept {
    stale_[position / 64] &= ~(std::uint64_t{1} << (position % 64));
  }

  std::size_t count_ = 0;
  std::vector<std::uint8_t> state_;
  std::vector<Operands> operands_;
  std::vector<ThreeInputs> three_inputs_;
  // Influence lists: one array of targets cut by offsets (one per position,
  // plus the end), read only when a value changes.
  std::vector<std::uint32_t> influence_offsets_;
  std::vector<std::uint32_t> influence_targets_;
  // The driven busses whose assignments read each position, the same way.
  std::vector<std::uint32_t> reader_offsets_;
  std::vector<std::uint32_t> readers_;
  // One bit per position: a driven bus whose value may differ from its
  // assignment over the current values.
  std::vector<std::uint64_t> stale_;
  std::uint64_t driven_ = 0;        // driven busses
  std::uint64_t driven_words_ = 0;  // words of their current values
  std::size_t odd_widths_ = 0;      // busses whose value is not one bit wide
  // One byte per value of the graph (busses, constants, temporaries) while
  // every one is a single bit: the bit. Valid only when bits_valid_; the
  // table stays the home of the values and is written through.
  std::vector<std::uint8_t> bits_;
  bool constants_one_bit_ = false;
  bool bits_valid_ = false;
  std::vector<BitBusValue> temporaries_;
  BitBusValue scratch_;
  BitBusValue written_;  // a text being written
  std::vector<std::uint32_t> queue_;
  std::uint64_t last_evaluations_ = 0;
  std::uint64_t last_evaluations_run_ = 0;
  bool last_on_bits_ = false;
  Unsettled unsettled_;
};

}  // namespace nimbo
