// Renderer::render_expr: one IR expression object to an evaluator tree.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/value.hpp>

#include "busses/bit_bus_value.hpp"
#include "expr_nodes/nodes.hpp"
#include "renderer/renderer.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

enum class Kind { kConst, kRef, kNot, kAnd, kOr, kXor, kNand, kNor, kXnor };

struct KindName {
  std::string_view type;
  Kind kind;
};

constexpr std::array<KindName, 10> kKinds{{
    {"const", Kind::kConst},
    {"ref", Kind::kRef},
    {"bus_ref", Kind::kRef},
    {"not", Kind::kNot},
    {"and", Kind::kAnd},
    {"or", Kind::kOr},
    {"xor", Kind::kXor},
    {"nand", Kind::kNand},
    {"nor", Kind::kNor},
    {"xnor", Kind::kXnor},
}};

const KindName* find_kind(std::string_view type) {
  for (const KindName& entry : kKinds) {
    if (entry.type == type) return &entry;
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
    BitBusValue bits = BitBusValue::zeros(elements->size());
    for (std::size_t i = 0; i < elements->size(); ++i) {
      const json::value& element = (*elements)[i];
      if (element.is_bool() && element.get_bool()) bits.set_bit(i, true);
    }
    BoxedEvaluator node = std::make_unique<Const>(std::move(bits));
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

// The six two-input gates: the whole left operand first, then the right.
template <class Gate>
Result<BoxedEvaluator> decode_binary(const json::value* args, const char* missing_args) {
  if (args == nullptr) return Error{missing_args};
  const json::value* left_json = arg(args, "l_expr");
  if (left_json == nullptr) return Error{"Missing 'l_expr'"};
  Result<BoxedEvaluator> left = Renderer::render_expr(*left_json);
  if (!left.ok()) return left;
  const json::value* right_json = arg(args, "r_expr");
  if (right_json == nullptr) return Error{"Missing 'r_expr'"};
  Result<BoxedEvaluator> right = Renderer::render_expr(*right_json);
  if (!right.ok()) return right;
  BoxedEvaluator node = std::make_unique<Gate>(std::move(left).value(), std::move(right).value());
  return node;
}

}  // namespace

Result<BoxedEvaluator> Renderer::render_expr(const json::value& expr) {
  const json::object* object = expr.if_object();
  const json::value* type = object != nullptr ? object->if_contains("type") : nullptr;
  if (type == nullptr || !type->is_string()) return Error{"Missing or invalid 'type' field"};
  const std::string_view type_text(type->get_string());
  const KindName* kind = find_kind(type_text);
  if (kind == nullptr) return Error{"Unknown expression type: " + std::string(type_text)};

  const json::value* args = object->if_contains("args");
  switch (kind->kind) {
    case Kind::kConst:
      return decode_const(args);
    case Kind::kRef:
      return decode_ref(args);
    case Kind::kNot:
      return decode_not(args);
    case Kind::kAnd:
      return decode_binary<And>(args, "Missing 'args' in and expression");
    case Kind::kOr:
      return decode_binary<Or>(args, "Missing 'args' in or expression");
    case Kind::kXor:
      return decode_binary<Xor>(args, "Missing 'args' in xor expression");
    case Kind::kNand:
      return decode_binary<Nand>(args, "Missing 'args' in nand expression");
    case Kind::kNor:
      return decode_binary<Nor>(args, "Missing 'args' in nor expression");
    case Kind::kXnor:
      return decode_binary<Xnor>(args, "Missing 'args' in xnor expression");
  }
  return Error{"Missing or invalid 'type' field"};
}

}  // namespace nimbo
