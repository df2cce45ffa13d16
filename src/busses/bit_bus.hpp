// BitBus: the record of one bus (current value, influence list, own id) and
// BusTrait, the interface through which a bus accepts a value given as text.
//
// The component stores its busses column by column (BusTable) and writes
// inputs through check_value_text and its passes; BitBus is the record a
// render hands to the table, and BusTrait::insert_value the single-bus form
// of the same write, which the tests hold the component's writes to.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"

namespace nimbo {

using InfluenceList = std::vector<std::uint64_t>;

class BusTrait {
 public:
  // Validates `text` against the bus and stores it: every character must be
  // '0' or '1' (checked first), and the length must equal the current width.
  virtual Status insert_value(std::string_view text) = 0;

 protected:
  ~BusTrait() = default;
};

// The checks of BusTrait::insert_value: `text` is a bit string of `width`
// characters. The first check that fails gives its message.
Status check_value_text(std::string_view text, std::size_t width);
// The checks and the write of BusTrait::insert_value, on a bare value.
Status insert_value_into(BitBusValue& value, std::string_view text);

// "id: Some(\"a\") IL: [2, 0] Value: 01"
void append_bus_text(std::string& out, const std::string* id,
                     std::span<const std::uint64_t> influence, const BitBusValue& value);
// "[2, 0]"
void append_influence_debug(std::string& out, std::span<const std::uint64_t> influence);

class BitBus final : public BusTrait {
 public:
  BitBus() = default;
  explicit BitBus(BitBusValue initial) : value(std::move(initial)) {}

  Status insert_value(std::string_view text) override { return insert_value_into(value, text); }
  std::string to_string() const;

  BitBusValue value;
  InfluenceList influence_list;
  std::optional<std::string> id;
};

}  // namespace nimbo
