// Renderer::render_expr: one IR expression object to an evaluator tree.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/value.hpp>

#include "busses/bit_bus_value.hpp"
#include "expr_nodes/nodes.hpp"
#include "renderer/json_document.hpp"
#include "renderer/renderer.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

// A two-input gate kind by its IR type text.
const GateKind* find_gate(std::string_view type) {
  for (const GateKind& kind : kGateKinds) {
    if (kind.type == type) return &kind;
  }
  return nullptr;
}

// A key inside "args"; an "args" that is absent or not an object has no keys.
const json::value* arg(const json::value* args, std::string_view key) {
  const json::object* object = args != nullptr ? args->if_object() : nullptr;
  return object != nullptr ? object->if_contains(key) : nullptr;
}

Result<BoxedEvaluator> decode_const(const json::value* args) {
  const json::value* value = arg(args, "value");
  if (value == nullptr) return Error{"Missing 'value' in const expression"};
  if (const json::string* text = value->if_string()) {
    Result<BitBusValue> bits = BitBusValue::from_string(std::string_view(*text));
    if (!bits.ok()) return Error{"Invalid const value: " + std::move(bits).error()};
    BoxedEvaluator node = std::make_unique<Const>(std::move(bits).value());
    return node;
  }
  if (const json::array* elements = value->if_array()) {
    BoxedEvaluator node = std::make_unique<Const>(bits_of_array(*elements));
    return node;
  }
  return Error{"Invalid const value type"};
}

Result<BoxedEvaluator> decode_ref(const json::value* args) {
  const json::value* id = arg(args, "id");
  if (id == nullptr || !id->is_string()) return Error{"Missing 'id' in bus_ref/ref expression"};
  BoxedEvaluator node = std::make_unique<BusRef>(std::string(std::string_view(id->get_string())));
  return node;
}

Result<BoxedEvaluator> decode_not(const json::value* args) {
  const json::value* operand = arg(args, "expr");
  if (operand == nullptr) return Error{"Missing 'expr' in not expression"};
  Result<BoxedEvaluator> decoded = Renderer::render_expr(*operand);
  if (!decoded.ok()) return decoded;
  BoxedEvaluator node = std::make_unique<Not>(std::move(decoded).value());
  return node;
}

// A two-input gate: the whole left operand first, then the right.
Result<BoxedEvaluator> decode_gate(const GateKind& kind, const json::value* args) {
  if (args == nullptr) {
    return Error{"Missing 'args' in " + std::string(kind.type) + " expression"};
  }
  const json::value* left_json = arg(args, "l_expr");
  if (left_json == nullptr) return Error{"Missing 'l_expr'"};
  Result<BoxedEvaluator> left = Renderer::render_expr(*left_json);
  if (!left.ok()) return left;
  const json::value* right_json = arg(args, "r_expr");
  if (right_json == nullptr) return Error{"Missing 'r_expr'"};
  Result<BoxedEvaluator> right = Renderer::render_expr(*right_json);
  if (!right.ok()) return right;
  return make_gate_node(kind.gate, std::move(left).value(), std::move(right).value());
}

}  // namespace

Result<BoxedEvaluator> Renderer::render_expr(const json::value& expr) {
  const json::object* object = expr.if_object();
  const json::value* type = object != nullptr ? object->if_contains("type") : nullptr;
  if (type == nullptr || !type->is_string()) return Error{"Missing or invalid 'type' field"};
  const std::string_view type_text(type->get_string());
  const json::value* args = object->if_contains("args");
  if (type_text == "const") return decode_const(args);
  if (type_text == "ref" || type_text == "bus_ref") return decode_ref(args);
  if (type_text == "not") return decode_not(args);
  if (const GateKind* gate = find_gate(type_text)) return decode_gate(*gate, args);
  return Error{"Unknown expression type: " + std::string(type_text)};
}

}  // namespace nimbo
