#include "expr_nodes/nodes.hpp"

#include <memory>

#include "busses/quoted_id.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

BoxedEvaluator make_gate_node(Gate gate, BoxedEvaluator l_expr, BoxedEvaluator r_expr) {
  switch (gate) {
    case Gate::kAnd:
      return std::make_unique<And>(std::move(l_expr), std::move(r_expr));
    case Gate::kOr:
      return std::make_unique<Or>(std::move(l_expr), std::move(r_expr));
    case Gate::kXor:
      return std::make_unique<Xor>(std::move(l_expr), std::move(r_expr));
    case Gate::kNand:
      return std::make_unique<Nand>(std::move(l_expr), std::move(r_expr));
    case Gate::kNor:
      return std::make_unique<Nor>(std::move(l_expr), std::move(r_expr));
    case Gate::kXnor:
      return std::make_unique<Xnor>(std::move(l_expr), std::move(r_expr));
  }
  return nullptr;
}

void Const::append_debug(std::string& out) const {
  out += "Const { value: ";
  value.append_debug(out);
  out += " }";
}

BitBusValue Const::evaluate(const BusTable&) const {
  return value;
}

BoxedEvaluator Const::clone_box() const {
  return std::make_unique<Const>(value);
}

Literal Const::lower(GraphBuilder& graph) const {
  return graph.constant(value);
}

void BusRef::append_debug(std::string& out) const {
  out += "BusRef { bus_id: ";
  append_quoted_id(out, bus_id);
  out += " }";
}

BitBusValue BusRef::evaluate(const BusTable& busses) const {
  const BitBusValue* value = busses.find_value(bus_id);
  return value != nullptr ? *value : BitBusValue();
}

BoxedEvaluator BusRef::clone_box() const {
  return std::make_unique<BusRef>(bus_id);
}

Literal BusRef::lower(GraphBuilder& graph) const {
  return graph.bus(bus_id);
}

void Not::append_debug(std::string& out) const {
  out += "Not { expr: ";
  expr->append_debug(out);
  out += " }";
}

BitBusValue Not::evaluate(const BusTable& busses) const {
  BitBusValue result = expr->evaluate(busses);
  result.assign_not(result);
  return result;
}

BoxedEvaluator Not::clone_box() const {
  return std::make_unique<Not>(expr->clone_box());
}

Literal Not::lower(GraphBuilder& graph) const {
  return GraphBuilder::inverted(expr->lower(graph));
}

template <Gate kKind>
void BinaryGate<kKind>::append_debug(std::string& out) const {
  out += gate_kind(kKind).name;
  out += " { l_expr: ";
  l_expr->append_debug(out);
  out += ", r_expr: ";
  r_expr->append_debug(out);
  out += " }";
}

template <Gate kKind>
BitBusValue BinaryGate<kKind>::evaluate(const BusTable& busses) const {
  const BitBusValue left = l_expr->evaluate(busses);
  const BitBusValue right = r_expr->evaluate(busses);
  BitBusValue result;
  result.assign_table(gate_kind(kKind).table, left, right);
  return result;
}

template <Gate kKind>
BoxedEvaluator BinaryGate<kKind>::clone_box() const {
  BoxedEvaluator left = l_expr->clone_box();
  BoxedEvaluator right = r_expr->clone_box();
  return std::make_unique<BinaryGate<kKind>>(std::move(left), std::move(right));
}

template <Gate kKind>
Literal BinaryGate<kKind>::lower(GraphBuilder& graph) const {
  const Literal left = l_expr->lower(graph);
  const Literal right = r_expr->lower(graph);
  return graph.gate(gate_kind(kKind).table, left, right);
}

template class BinaryGate<Gate::kAnd>;
template class BinaryGate<Gate::kOr>;
template class BinaryGate<Gate::kXor>;
template class BinaryGate<Gate::kNand>;
template class BinaryGate<Gate::kNor>;
template class BinaryGate<Gate::kXnor>;

}  // namespace nimbo
