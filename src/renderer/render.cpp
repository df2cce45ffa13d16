// Renderer::render: the IR document to a Component.
//
// The document is parsed once into a tree held by a monotonic arena that
// lives for this call only. The bus array is walked twice: first every bus is
// added with its initial value, then assignments and influence lists are
// recorded, so both may name busses declared later.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/value.hpp>

#include "busses/bit_bus.hpp"
#include "busses/bit_bus_value.hpp"
#include "renderer/json_document.hpp"
#include "renderer/memory_json.hpp"
#include "renderer/renderer.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

std::string_view text_of(const json::string& text) {
  return {text.data(), text.size()};
}

// The "id" of a bus element, or null when the element has no string id.
const json::string* bus_id(const json::value& element) {
  const json::object* bus = element.if_object();
  const json::value* id = bus != nullptr ? bus->if_contains("id") : nullptr;
  return id != nullptr ? id->if_string() : nullptr;
}

// The initial value of a bus; a malformed one falls back to one 0 bit.
BitBusValue initial_value(const json::object& bus) {
  const json::value* value = bus.if_contains("value");
  if (value == nullptr) return BitBusValue();
  if (const json::string* text = value->if_string()) {
    Result<BitBusValue> bits = BitBusValue::from_string(text_of(*text));
    return bits.ok() ? std::move(bits).value() : BitBusValue();
  }
  if (const json::array* elements = value->if_array()) {
    return bits_of_array(*elements);
  }
  return BitBusValue();
}

// Decodes and records one bus's assignment, then its influence list.
Status wire_bus(Component& component, const json::object& bus, std::string_view id) {
  const json::value* assignment = bus.if_contains("assignment");
  if (assignment != nullptr && !assignment->is_null()) {
    Result<BoxedEvaluator> tree = Renderer::render_expr(*assignment);
    if (!tree.ok()) return Error{std::move(tree).error()};
    component.set_assignment(std::string(id), std::move(tree).value());
  }
  const json::value* influence = bus.if_contains("influence_list");
  const json::array* entries = influence != nullptr ? influence->if_array() : nullptr;
  if (entries == nullptr) return ok_status();
  for (const json::value& entry : *entries) {
    const json::string* influenced = entry.if_string();
    if (influenced == nullptr) continue;
    Status added = component.add_influence(id, text_of(*influenced));
    if (!added.ok()) return Error{"Failed to add influence: " + std::move(added).error()};
  }
  return ok_status();
}

Result<Component> build_component(const json::value& document) {
  const json::object* root = document.if_object();
  const json::value* described = root != nullptr ? root->if_contains("component") : nullptr;
  if (described == nullptr) return Error{"Missing 'component' in IR"};
  const json::object* frame = described->if_object();
  const json::value* id = frame != nullptr ? frame->if_contains("id") : nullptr;
  if (id == nullptr || !id->is_string()) return Error{"Missing or invalid 'id' in component"};

  Component component{std::string(text_of(id->get_string()))};
  const json::value* busses_value = frame->if_contains("busses");
  const json::array* busses = busses_value != nullptr ? busses_value->if_array() : nullptr;
  if (busses == nullptr) return Error{"Missing or invalid 'busses' array"};

  component.reserve(busses->size());
  for (const json::value& element : *busses) {
    const json::string* bus = bus_id(element);
    if (bus == nullptr) return Error{"Missing 'id' in bus"};
    component.add_bus(std::string(text_of(*bus)), BitBus(initial_value(element.get_object())));
  }
  for (const json::value& element : *busses) {
    Status wired = wire_bus(component, element.get_object(), text_of(*bus_id(element)));
    if (!wired.ok()) return Error{std::move(wired).error()};
  }
  return component;
}

// An optional string field of a register; an error when present but not a string.
Result<std::optional<std::string>> optional_text(const json::object& record, const char* key,
                                                 const std::string& place) {
  const json::value* value = record.if_contains(key);
  if (value == nullptr) return std::optional<std::string>{};
  const json::string* text = value->if_string();
  if (text == nullptr) return Error{place + ": '" + key + "' must be a string"};
  return std::optional<std::string>(std::string(text_of(*text)));
}

Result<RegisterRecord> register_record(const json::value& element, std::size_t index) {
  const std::string place = "registers[" + std::to_string(index) + "]";
  const json::object* record = element.if_object();
  if (record == nullptr) return Error{place + ": a register is an object"};
  RegisterRecord reg;
  reg.index = index;
  for (const auto& [key, target] :
       {std::pair<const char*, std::string*>{"q", &reg.q}, {"d", &reg.d}, {"clock", &reg.clock}}) {
    Result<std::optional<std::string>> text = optional_text(*record, key, place);
    if (!text.ok()) return Error{std::move(text).error()};
    if (!text.value()) return Error{place + ": '" + key + "' is missing"};
    *target = std::move(*text.value());
  }
  Result<std::optional<std::string>> edge = optional_text(*record, "edge", place);
  if (!edge.ok()) return Error{std::move(edge).error()};
  if (edge.value() && *edge.value() == "negedge") {
    reg.edge = Edge::kNegedge;
  } else if (edge.value() && *edge.value() != "posedge") {
    return Error{place + ": 'edge' must be \"posedge\" or \"negedge\""};
  }
  for (const auto& [key, target] :
       {std::pair<const char*, std::optional<std::string>*>{"enable", &reg.enable},
        {"async_reset", &reg.async_reset},
        {"reset_value", &reg.reset_value}}) {
    Result<std::optional<std::string>> text = optional_text(*record, key, place);
    if (!text.ok()) return Error{std::move(text).error()};
    *target = std::move(text).value();
  }
  if (const json::value* flag = record->if_contains("uninitialised")) {
    if (!flag->is_bool()) return Error{place + ": 'uninitialised' must be true or false"};
    reg.uninitialised = flag->get_bool();
  }
  return reg;
}

Result<std::vector<RegisterRecord>> register_records(const json::value& document) {
  std::vector<RegisterRecord> records;
  const json::value& frame = document.get_object().at("component");
  const json::value* registers = frame.get_object().if_contains("registers");
  if (registers == nullptr || registers->is_null()) return records;
  const json::array* elements = registers->if_array();
  if (elements == nullptr) return Error{"'registers' must be an array"};
  records.reserve(elements->size());
  for (std::size_t i = 0; i < elements->size(); ++i) {
    Result<RegisterRecord> record = register_record((*elements)[i], i);
    if (!record.ok()) return Error{std::move(record).error()};
    records.push_back(std::move(record).value());
  }
  return records;
}

}  // namespace

Result<Component> Renderer::render() const {
  // Every node of the document comes from this arena and is released with it
  // when render returns, on success and failure alike.
  json::monotonic_resource arena;
  Result<json::value> document = parse_json_document(ir_, &arena);
  if (!document.ok()) return Error{"Failed to parse IR JSON: " + std::move(document).error()};
  return build_component(document.value());
}

Result<Design> Renderer::render_design() const {
  json::monotonic_resource arena;
  Result<json::value> document = parse_json_document(ir_, &arena);
  if (!document.ok()) return Error{"Failed to parse IR JSON: " + std::move(document).error()};
  Result<Component> component = build_component(document.value());
  if (!component.ok()) return Error{std::move(component).error()};
  Result<std::vector<RegisterRecord>> registers = register_records(document.value());
  if (!registers.ok()) return Error{std::move(registers).error()};
  Result<std::vector<MemoryRecord>> memories =
      memory_records(document.value().get_object().at("component").get_object());
  if (!memories.ok()) return Error{std::move(memories).error()};
  return Design{std::move(component).value(), std::move(registers).value(),
                std::move(memories).value()};
}

}  // namespace nimbo
