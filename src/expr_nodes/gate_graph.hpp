// GateGraph: the assignments of a component lowered to two-input gates over
// numbered values, the form every simulation path runs.
//
// Values are numbered: first the bus positions [0, busses), then constants
// and the inner results of trees (temporaries) as they are made. A tree
// becomes gates in
// post-order; NOT never becomes a gate of its own between gates: it is
// folded into the truth table of the gate that reads it or of the gate that
// produces it. A bus whose tree is a reference or a constant, inverted or
// not, needs at most one gate (a NOT of a bus) or none (a copy).
//
// Widths are not part of the graph: a gate's result has the smaller width of
// its two operands, as the tree's node would have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "busses/bus_table.hpp"
#include "busses/truth_table.hpp"

namespace nimbo {

using ValueId = std::uint32_t;

struct GraphGate {
  TruthTable table;
  ValueId left;
  ValueId right;  // equal to `left` for a NOT
  ValueId out;    // a temporary, or the bus for the last gate of its tree
};

// How a bus gets its value in an update.
struct BusDriver {
  enum class Kind : std::uint8_t { kInput, kCopy, kGates };
  Kind kind = Kind::kInput;
  ValueId source = 0;            // kCopy: the value copied (a bus or a constant)
  std::uint32_t first_gate = 0;  // kGates: the gates [first_gate, end_gate)
  std::uint32_t end_gate = 0;
};

class GateGraph {
 public:
  std::size_t bus_count() const noexcept { return drivers_.size(); }
  std::size_t value_count() const noexcept { return bus_count() + others_.size(); }

  bool is_bus(ValueId value) const noexcept { return value < bus_count(); }
  bool is_constant(ValueId value) const noexcept {
    return !is_bus(value) && others_[value - bus_count()].constant;
  }
  bool is_temporary(ValueId value) const noexcept {
    return !is_bus(value) && !others_[value - bus_count()].constant;
  }
  const BitBusValue& constant(ValueId value) const {
    return constants_[others_[value - bus_count()].index];
  }
  // Temporaries are numbered 0, 1, ... in the order they were made.
  std::uint32_t temporary_index(ValueId value) const { return others_[value - bus_count()].index; }
  std::size_t temporary_count() const noexcept { return temporary_count_; }

  const BusDriver& driver(std::size_t position) const { return drivers_[position]; }
  std::span<const GraphGate> gates() const noexcept { return gates_; }
  std::span<const GraphGate> gates_of(std::size_t position) const {
    const BusDriver& d = drivers_[position];
    return {gates_.data() + d.first_gate, d.end_gate - d.first_gate};
  }

  // The busses whose values the driver of `position` reads, in gate order,
  // repeats included.
  template <class Visit>
  void for_each_bus_read(std::size_t position, Visit&& visit) const {
    const BusDriver& d = drivers_[position];
    if (d.kind == BusDriver::Kind::kCopy) {
      if (is_bus(d.source)) visit(d.source);
      return;
    }
    for (const GraphGate& gate : gates_of(position)) {
      if (is_bus(gate.left)) visit(gate.left);
      if (gate.right != gate.left && is_bus(gate.right)) visit(gate.right);
    }
  }

 private:
  friend class GraphBuilder;

  // A value past the busses: a constant (index into constants_) or a
  // temporary (its number).
  struct OtherValue {
    bool constant;
    std::uint32_t index;
  };

  std::vector<BusDriver> drivers_;
  std::vector<OtherValue> others_;
  std::vector<BitBusValue> constants_;
  std::vector<GraphGate> gates_;
  std::size_t temporary_count_ = 0;
};

// A value as read by a gate: the value, possibly inverted. `fresh` marks the
// result of a gate of the tree being lowered that nothing reads yet, whose
// table can still absorb an inversion.
struct Literal {
  ValueId value;
  bool inverted = false;
  bool fresh = false;
};

// Builds a GateGraph tree by tree; Evaluator::lower calls the operations
// below. Bus references are resolved against the bus table once, here.
class GraphBuilder {
 public:
  explicit GraphBuilder(const BusTable& busses);

  // A reference: the bus's position, or the default value (one 0 bit) when
  // no bus has that id.
  Literal bus(std::string_view id);
  Literal constant(const BitBusValue& value);
  Literal gate(TruthTable table, Literal left, Literal right);
  static Literal inverted(Literal literal) noexcept {
    literal.inverted = !literal.inverted;
    return literal;
  }

  // Lowers the tree of the bus at `position`; call once per driven bus.
  template <class Tree>
  void add_driver(std::size_t position, const Tree& tree) {
    const auto first = static_cast<std::uint32_t>(graph_.gates_.size());
    finish(position, first, tree.lower(*this));
  }

  GateGraph take() && { return std::move(graph_); }

 private:
  void finish(std::size_t position, std::uint32_t first_gate, Literal root);
  ValueId add_constant(BitBusValue value);
  ValueId new_temporary();
  ValueId next_value_id() const;

  const BusTable& busses_;
  GateGraph graph_;
  // The default value (one 0 bit) read by references to missing busses.
  std::optional<ValueId> default_value_;
};

}  // namespace nimbo
