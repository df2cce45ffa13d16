#include "busses/bus_table.hpp"

#include "common/checked_index.hpp"

#include <limits>
#include <stdexcept>

namespace nimbo {

void BusTable::add(std::string id, BitBus bus) {
  const auto found = index_.find(std::string_view(id));
  if (found != index_.end()) {
    values_[found->second] = std::move(bus.value);
    influence_[found->second] = std::move(bus.influence_list);
    return;
  }
  const Position position = checked_index(values_.size(), "busses");
  const auto [inserted, unused] = index_.emplace(std::move(id), position);
  (void)unused;
  ids_.push_back(&inserted->first);
  values_.push_back(std::move(bus.value));
  influence_.push_back(std::move(bus.influence_list));
}

void BusTable::reserve(std::size_t count) {
  index_.reserve(count);
  ids_.reserve(count);
  values_.reserve(count);
  influence_.reserve(count);
}

std::optional<BusTable::Position> BusTable::find(std::string_view id) const {
  const auto found = index_.find(id);
  if (found == index_.end()) return std::nullopt;
  return found->second;
}

void BusTable::append_bus_text(std::string& out, std::size_t position) const {
  nimbo::append_bus_text(out, ids_[position], influence_[position], values_[position]);
}

}  // namespace nimbo
