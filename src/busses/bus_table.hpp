// BusTable: every bus of a component, in declaration order.
//
// A bus's table position is its index in that order; an id added again keeps
// its first position and gets the new bus. Columns are stored apart so the
// simulation walks a dense array of values. Lookup by id is one hash lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "busses/bit_bus.hpp"
#include "common/string_hash.hpp"

namespace nimbo {

class BusTable {
 public:
  using Position = std::uint32_t;

  std::size_t size() const noexcept { return values_.size(); }
  bool empty() const noexcept { return values_.empty(); }

  // Stores `bus` under `id` (its own id is set to `id`). An id already present
  // keeps its position; the earlier bus is replaced whole.
  void add(std::string id, BitBus bus);

  void reserve(std::size_t count);
  std::optional<Position> find(std::string_view id) const;
  const BitBusValue* find_value(std::string_view id) const {
    const auto position = find(id);
    return position ? &values_[*position] : nullptr;
  }

  const std::string& id(std::size_t position) const { return *ids_[position]; }
  const BitBusValue& value(std::size_t position) const { return values_[position]; }
  BitBusValue& value(std::size_t position) { return values_[position]; }
  const InfluenceList& influence_list(std::size_t position) const { return influence_[position]; }
  InfluenceList& influence_list(std::size_t position) { return influence_[position]; }

  std::span<BitBusValue> values() noexcept { return values_; }
  std::span<const BitBusValue> values() const noexcept { return values_; }

  // The text form of the bus at `position`, as BitBus::to_string gives it.
  void append_bus_text(std::string& out, std::size_t position) const;

 private:
  std::unordered_map<std::string, Position, StringHash, std::equal_to<>> index_;
  // Keys of index_, by position (node keys never move).
  std::vector<const std::string*> ids_;
  std::vector<BitBusValue> values_;
  std::vector<InfluenceList> influence_;
};

}  // namespace nimbo
