#include "expr_nodes/nodes.hpp"

#include <memory>

#include "busses/quoted_id.hpp"
#include "expr_nodes/program.hpp"

namespace nimbo {

const char* gate_name(Gate gate) noexcept {
  switch (gate) {
    case Gate::kAnd:
      return "And";
    case Gate::kOr:
      return "Or";
    case Gate::kXor:
      return "Xor";
    case Gate::kNand:
      return "Nand";
    case Gate::kNor:
      return "Nor";
    case Gate::kXnor:
      return "Xnor";
  }
  return "?";
}

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

void Const::compile(Program& program, const BusTable&) const {
  program.emit_const(value);
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

void BusRef::compile(Program& program, const BusTable& busses) const {
  const auto position = busses.find(bus_id);
  if (position) {
    program.emit_bus(*position);
  } else {
    program.emit_default();
  }
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

void Not::compile(Program& program, const BusTable& busses) const {
  expr->compile(program, busses);
  program.emit_not();
}

template <Gate kGate>
void BinaryGate<kGate>::append_debug(std::string& out) const {
  out += gate_name(kGate);
  out += " { l_expr: ";
  l_expr->append_debug(out);
  out += ", r_expr: ";
  r_expr->append_debug(out);
  out += " }";
}

template <Gate kGate>
BitBusValue BinaryGate<kGate>::evaluate(const BusTable& busses) const {
  const BitBusValue left = l_expr->evaluate(busses);
  const BitBusValue right = r_expr->evaluate(busses);
  BitBusValue result;
  result.assign_gate(kGate, left, right);
  return result;
}

template <Gate kGate>
BoxedEvaluator BinaryGate<kGate>::clone_box() const {
  BoxedEvaluator left = l_expr->clone_box();
  BoxedEvaluator right = r_expr->clone_box();
  return std::make_unique<BinaryGate<kGate>>(std::move(left), std::move(right));
}

template <Gate kGate>
void BinaryGate<kGate>::compile(Program& program, const BusTable& busses) const {
  l_expr->compile(program, busses);
  r_expr->compile(program, busses);
  program.emit_gate(kGate);
}

template class BinaryGate<Gate::kAnd>;
template class BinaryGate<Gate::kOr>;
template class BinaryGate<Gate::kXor>;
template class BinaryGate<Gate::kNand>;
template class BinaryGate<Gate::kNor>;
template class BinaryGate<Gate::kXnor>;

}  // namespace nimbo
