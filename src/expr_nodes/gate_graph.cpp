#include "expr_nodes/gate_graph.hpp"

#include "common/checked_index.hpp"

#include <limits>
#include <stdexcept>
#include <utility>

namespace nimbo {

GraphBuilder::GraphBuilder(const BusTable& busses) : busses_(busses) {
  graph_.drivers_.resize(busses.size());
}

ValueId GraphBuilder::next_value_id() const {
  return checked_index(graph_.value_count(), "values");
}

Literal GraphBuilder::bus(std::string_view id) {
  const auto position = busses_.find(id);
  if (position) return Literal{*position};
  if (!default_value_) default_value_ = add_constant(BitBusValue());
  return Literal{*default_value_};
}

Literal GraphBuilder::constant(const BitBusValue& value) {
  return Literal{add_constant(value)};
}

ValueId GraphBuilder::add_constant(BitBusValue value) {
  const ValueId id = next_value_id();
  graph_.others_.push_back({true, static_cast<std::uint32_t>(graph_.constants_.size())});
  graph_.constants_.push_back(std::move(value));
  return id;
}

ValueId GraphBuilder::new_temporary() {
  const ValueId id = next_value_id();
  graph_.others_.push_back({false, static_cast<std::uint32_t>(graph_.temporary_count_++)});
  return id;
}

Literal GraphBuilder::gate(TruthTable table, Literal left, Literal right) {
  if (left.inverted) table = truth_table::invert_left(table);
  if (right.inverted) table = truth_table::invert_right(table);
  const ValueId out = new_temporary();
  graph_.gates_.push_back(GraphGate{table, left.value, right.value, out});
  return Literal{out, false, true};
}

void GraphBuilder::finish(std::size_t position, std::uint32_t first_gate, Literal root) {
  BusDriver& driver = graph_.drivers_[position];
  const auto bus = static_cast<ValueId>(position);
  if (root.fresh) {
    // The tree's last gate writes the bus and absorbs a final inversion. Its
    // temporary stays numbered but is never written.
    GraphGate& last = graph_.gates_.back();
    if (root.inverted) last.table = truth_table::invert_output(last.table);
    last.out = bus;
  } else if (root.inverted && graph_.is_constant(root.value)) {
    BitBusValue inverse;
    inverse.assign_not(graph_.constant(root.value));
    driver = {BusDriver::Kind::kCopy, add_constant(std::move(inverse)), 0, 0};
    return;
  } else if (root.inverted) {
    graph_.gates_.push_back(GraphGate{truth_table::kNot, root.value, root.value, bus});
  } else {
    driver = {BusDriver::Kind::kCopy, root.value, 0, 0};
    return;
  }
  driver = {BusDriver::Kind::kGates, 0, first_gate, checked_index(graph_.gates_.size(), "gates")};
}

}  // namespace nimbo
