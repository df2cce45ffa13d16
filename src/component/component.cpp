#include "component/component.hpp"

#include <algorithm>

namespace nimbo {

Component::Component(std::string id) : id_(std::move(id)) {}
Component::~Component() = default;
Component::Component(Component&&) noexcept = default;
Component& Component::operator=(Component&&) noexcept = default;

void Component::add_bus(std::string id, BitBus bus) {
  forget_influence_marks();
  // The table keeps the id once, as the bus's key and its own id.
  busses_.add(std::move(id), std::move(bus));
}

void Component::reserve(std::size_t busses) {
  busses_.reserve(busses);
  assignments_.reserve(busses);
}

void Component::set_assignment(std::string id, BoxedEvaluator tree) {
  const auto found = assignments_.find(std::string_view(id));
  if (found != assignments_.end()) {
    found->second = std::move(tree);
  } else {
    assignments_.emplace(std::move(id), std::move(tree));
  }
}

const Evaluator* Component::assignment(std::string_view id) const {
  const auto found = assignments_.find(id);
  return found == assignments_.end() ? nullptr : found->second.get();
}

// The render driver adds a bus's influence entries one after the other, so
// the entries of the bus being extended are kept marked by position: the
// duplicate test is then O(1) instead of a scan of the list.
void Component::mark_influence_list(Position bus) {
  if (influence_marks_.size() != busses_.size()) {
    influence_marks_.assign(busses_.size(), 0);
    marked_bus_.reset();
  }
  if (marked_bus_ == bus) return;
  forget_influence_marks();
  for (const std::uint64_t position : busses_.influence_list(bus)) {
    if (position < influence_marks_.size()) influence_marks_[position] = 1;
  }
  marked_bus_ = bus;
}

void Component::forget_influence_marks() noexcept {
  if (marked_bus_ && influence_marks_.size() == busses_.size()) {
    for (const std::uint64_t position : busses_.influence_list(*marked_bus_)) {
      if (position < influence_marks_.size()) influence_marks_[position] = 0;
    }
  }
  marked_bus_.reset();
}

Status Component::add_influence(std::string_view bus_id, std::string_view influenced_id) {
  const auto influenced = busses_.find(influenced_id);
  if (!influenced) return Error{"Bus '" + std::string(influenced_id) + "' not found"};
  const auto bus = busses_.find(bus_id);
  if (!bus) return Error{"Bus '" + std::string(bus_id) + "' not found"};
  InfluenceList& list = busses_.influence_list(*bus);
  mark_influence_list(*bus);
  if (!influence_marks_[*influenced]) {
    list.push_back(*influenced);
    influence_marks_[*influenced] = 1;
  }
  return ok_status();
}

std::vector<std::pair<std::string, std::string>> Component::get_values() const {
  const BusTable& table = busses_;
  std::vector<std::pair<std::string, std::string>> values;
  values.reserve(table.size());
  for (std::size_t p = 0; p < table.size(); ++p) {
    values.emplace_back(table.id(p), table.value(p).to_string());
  }
  return values;
}

std::string Component::to_string(std::span<const BitBusValue> values) const {
  const BusTable& table = busses_;
  std::string text;
  for (std::size_t p = 0; p < table.size(); ++p) {
    text += table.id(p);
    text += ": ";
    append_bus_text(text, &table.id(p), table.influence_list(p), values[p]);
    text += ' ';
    append_influence_debug(text, table.influence_list(p));
    text += '\n';
  }
  return text;
}

}  // namespace nimbo
