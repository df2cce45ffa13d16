// Component: one circuit as the IR describes it. It owns the bus table
// (values, influence lists), the assignment trees and the component id, and
// knows nothing of how it is simulated: a Simulation (src/engine) takes a
// component over and runs its updates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "busses/bit_bus.hpp"
#include "busses/bus_table.hpp"
#include "common/result.hpp"
#include "common/string_hash.hpp"
#include "expr_nodes/evaluator.hpp"

namespace nimbo {

class Component {
 public:
  using Position = BusTable::Position;

  explicit Component(std::string id);
  ~Component();
  Component(Component&&) noexcept;
  Component& operator=(Component&&) noexcept;
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  const std::string& id() const noexcept { return id_; }
  const BusTable& busses() const noexcept { return busses_; }
  // The table whose values a simulation writes.
  BusTable& busses() noexcept { return busses_; }
  std::optional<Position> find(std::string_view id) const { return busses_.find(id); }
  std::size_t bus_count() const noexcept { return busses_.size(); }
  bool is_driven(std::size_t position) const { return assignment(busses_.id(position)) != nullptr; }

  // Prepares room for this many busses and assignments.
  void reserve(std::size_t busses);
  // Stores `bus` under `id`, replacing a bus of the same id.
  void add_bus(std::string id, BitBus bus);
  // Makes `tree` the assignment of `id`, replacing an earlier one.
  void set_assignment(std::string id, BoxedEvaluator tree);
  const Evaluator* assignment(std::string_view id) const;
  std::size_t assignment_count() const noexcept { return assignments_.size(); }
  // Records that a change of `bus_id` re-evaluates `influenced_id`.
  Status add_influence(std::string_view bus_id, std::string_view influenced_id);

  // Bus id and bit-string text of every bus, in table order.
  std::vector<std::pair<std::string, std::string>> get_values() const;
  // One line per bus: "<id>: <bus text> <influence list>\n".
  std::string to_string() const { return to_string(busses_.values()); }
  // The same with the busses holding `values` (one per position) instead.
  std::string to_string(std::span<const BitBusValue> values) const;

 private:
  void mark_influence_list(Position bus);
  void forget_influence_marks() noexcept;

  std::string id_;
  BusTable busses_;
  std::unordered_map<std::string, BoxedEvaluator, StringHash, std::equal_to<>> assignments_;

  // Build-time duplicate test of add_influence.
  std::vector<std::uint8_t> influence_marks_;
  std::optional<Position> marked_bus_;
};

}  // namespace nimbo
