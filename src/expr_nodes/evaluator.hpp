// Evaluator: the interface of every node of an assignment tree.
//
// The simulation never walks trees: lower() turns each into gates once, and
// the passes run those. The walking operations (evaluate, clone_box, the
// debug form) are the trees' own definition of their meaning; the test
// suite's reference model evaluates with them, and every compiled path must
// agree with it.
#pragma once

#include <memory>
#include <string>

#include "busses/bit_bus_value.hpp"
#include "busses/bus_table.hpp"

namespace nimbo {

class Evaluator;
class GraphBuilder;
struct Literal;
using BoxedEvaluator = std::unique_ptr<Evaluator>;

class Evaluator {
 public:
  virtual ~Evaluator() = default;

  // Lowers this tree into gates of `graph`; the result is the tree's value.
  virtual Literal lower(GraphBuilder& graph) const = 0;

  // The definition (see above).
  // "Name { field: value, ... }", operands written by their own debug form.
  virtual void append_debug(std::string& out) const = 0;
  std::string debug_string() const {
    std::string text;
    append_debug(text);
    return text;
  }

  // The value of this tree against the current bus values. Never fails: a
  // reference to a missing bus reads as one 0 bit.
  virtual BitBusValue evaluate(const BusTable& busses) const = 0;

  // A deep copy sharing nothing with this tree.
  virtual BoxedEvaluator clone_box() const = 0;
};

}  // namespace nimbo
