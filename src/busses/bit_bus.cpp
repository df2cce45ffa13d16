#include "busses/bit_bus.hpp"

#include <algorithm>

#include "busses/quoted_id.hpp"

namespace nimbo {

Status insert_value_into(BitBusValue& value, std::string_view text) {
  if (!BitBusValue::is_bit_string(text)) {
    std::string message = "Invalid value \"";
    message.append(text);
    message.append("\". Valid values are: [\"[01]+\"]");
    return Error{std::move(message)};
  }
  if (text.size() != value.width()) {
    std::string message = "Invalid value \"";
    message.append(text);
    message.append("\". The value must have ");
    message.append(std::to_string(value.width()));
    message.append(" bits.");
    return Error{std::move(message)};
  }
  if (text.size() <= BitBusValue::kWordBits) {
    BitBusValue::Word word = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      word |= BitBusValue::Word{text[i] == '1'} << i;
    }
    value.set_narrow(text.size(), word);
    return ok_status();
  }
  // Same width, so the stored words are rewritten in place.
  BitBusValue::Word* words = value.data();
  std::fill_n(words, value.word_count(), BitBusValue::Word{0});
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '1')
      words[i / BitBusValue::kWordBits] |= BitBusValue::Word{1} << (i % BitBusValue::kWordBits);
  }
  return ok_status();
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
