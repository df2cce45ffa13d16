// Renderer: turns an IR JSON text into a Component.
#pragma once

#include <optional>
#include <string>

#include "common/result.hpp"
#include "component/component.hpp"
#include "expr_nodes/evaluator.hpp"

namespace boost::json {
class value;
}

namespace nimbo {

class Renderer {
 public:
  explicit Renderer(std::string ir) : ir_(std::move(ir)) {}

  const std::string& ir() const noexcept { return ir_; }

  // Parses the IR and builds its component; evaluates nothing. On failure the
  // error text says what is wrong and nothing is built.
  Result<Component> render() const;

  // Decodes one expression object into an evaluator tree.
  static Result<BoxedEvaluator> render_expr(const boost::json::value& expr);

  // The slot holding the rendered component until it is taken.
  std::optional<Component>& component() noexcept { return component_; }

 private:
  std::string ir_;
  std::optional<Component> component_;
};

}  // namespace nimbo
