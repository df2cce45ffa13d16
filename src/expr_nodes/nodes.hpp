// The nine node kinds of assignment trees.
#pragma once

#include <string>
#include <utility>

#include "busses/bit_bus_value.hpp"
#include "expr_nodes/evaluator.hpp"
#include "expr_nodes/gate.hpp"

namespace nimbo {

class Const final : public Evaluator {
 public:
  explicit Const(BitBusValue value) : value(std::move(value)) {}
  void append_debug(std::string& out) const override;
  BitBusValue evaluate(const BusTable& busses) const override;
  BoxedEvaluator clone_box() const override;
  Literal lower(GraphBuilder& graph) const override;

  BitBusValue value;
};

class BusRef final : public Evaluator {
 public:
  explicit BusRef(std::string bus_id) : bus_id(std::move(bus_id)) {}
  void append_debug(std::string& out) const override;
  BitBusValue evaluate(const BusTable& busses) const override;
  BoxedEvaluator clone_box() const override;
  Literal lower(GraphBuilder& graph) const override;

  std::string bus_id;
};

class Not final : public Evaluator {
 public:
  explicit Not(BoxedEvaluator expr) : expr(std::move(expr)) {}
  void append_debug(std::string& out) const override;
  BitBusValue evaluate(const BusTable& busses) const override;
  BoxedEvaluator clone_box() const override;
  Literal lower(GraphBuilder& graph) const override;

  BoxedEvaluator expr;
};

// The six two-input gates share one implementation, told apart by `kKind`.
template <Gate kKind>
class BinaryGate final : public Evaluator {
 public:
  BinaryGate(BoxedEvaluator l_expr, BoxedEvaluator r_expr)
      : l_expr(std::move(l_expr)), r_expr(std::move(r_expr)) {}
  void append_debug(std::string& out) const override;
  BitBusValue evaluate(const BusTable& busses) const override;
  BoxedEvaluator clone_box() const override;
  Literal lower(GraphBuilder& graph) const override;

  BoxedEvaluator l_expr;
  BoxedEvaluator r_expr;
};

using And = BinaryGate<Gate::kAnd>;
using Or = BinaryGate<Gate::kOr>;
using Xor = BinaryGate<Gate::kXor>;
using Nand = BinaryGate<Gate::kNand>;
using Nor = BinaryGate<Gate::kNor>;
using Xnor = BinaryGate<Gate::kXnor>;

extern template class BinaryGate<Gate::kAnd>;
extern template class BinaryGate<Gate::kOr>;
extern template class BinaryGate<Gate::kXor>;
extern template class BinaryGate<Gate::kNand>;
extern template class BinaryGate<Gate::kNor>;
extern template class BinaryGate<Gate::kXnor>;

// A new two-input node of the kind `gate`.
BoxedEvaluator make_gate_node(Gate gate, BoxedEvaluator l_expr, BoxedEvaluator r_expr);

}  // namespace nimbo
