#include "busses/bit_bus.hpp"

#include "busses/quoted_id.hpp"

namespace nimbo {

Status check_value_text(std::string_view text, std::size_t width) {
  if (!BitBusValue::is_bit_string(text)) {
    std::string message = "Invalid value \"";
    message.append(text);
    message.append("\". Valid values are: [\"[01]+\"]");
    return Error{std::move(message)};
  }
  if (text.size() != width) {
    std::string message = "Invalid value \"";
    message.append(text);
    message.append("\". The value must have ");
    message.append(std::to_string(width));
    message.append(" bits.");
    return Error{std::move(message)};
  }
  return ok_status();
}

Status insert_value_into(BitBusValue& value, std::string_view text) {
  Status checked = check_value_text(text, value.width());
  if (checked.ok()) value.assign_text(text);
  return checked;
}

void append_influence_debug(std::string& out, std::span<const std::uint64_t> influence) {
  out += '[';
  for (std::size_t i = 0; i < influence.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(influence[i]);
  }
  out += ']';
}

void append_bus_text(std::string& out, const std::string* id,
                     std::span<const std::uint64_t> influence, const BitBusValue& value) {
  out += "id: ";
  if (id == nullptr) {
    out += "None";
  } else {
    out += "Some(";
    append_quoted_id(out, *id);
    out += ')';
  }
  out += " IL: ";
  append_influence_debug(out, influence);
  out += " Value: ";
  value.append_text(out);
}

std::string BitBus::to_string() const {
  std::string text;
  append_bus_text(text, id ? &*id : nullptr, influence_list, value);
  return text;
}

}  // namespace nimbo
