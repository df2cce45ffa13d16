// Renderer: turns an IR JSON text into a Component.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "component/component.hpp"
#include "component/memory_record.hpp"
#include "component/register_record.hpp"
#include "expr_nodes/evaluator.hpp"

namespace boost::json {
class value;
}

namespace nimbo {

// A rendered design: the component and the registers and memories recorded
// beside it.
struct Design {
  Component component;
  std::vector<RegisterRecord> registers;
  std::vector<MemoryRecord> memories;
};

class Renderer {
 public:
  explicit Renderer(std::string ir) : ir_(std::move(ir)) {}

  const std::string& ir() const noexcept { return ir_; }

  // Parses the IR and builds its component; evaluates nothing. On failure the
  // error text says what is wrong and nothing is built.
  Result<Component> render() const;
  // The same, also reading the component's "registers" and "memories"
  // arrays, which render() ignores as it ignores every key it does not know.
  Result<Design> render_design() const;

  // Decodes one expression object into an evaluator tree.
  static Result<BoxedEvaluator> render_expr(const boost::json::value& expr);

  // The slot holding the rendered component until it is taken.
  std::optional<Component>& component() noexcept { return component_; }

 private:
  std::string ir_;
  std::optional<Component> component_;
};

}  // namespace nimbo
