// Component: one circuit. It owns the bus table, the assignment trees and
// the influence lists, and runs the update-and-settle step.
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
#include "expr_nodes/evaluator.hpp"
#include "expr_nodes/program.hpp"

namespace nimbo {

// One input of an update: a bus id and the bit-string text to write.
struct SignalInput {
  std::string_view id;
  std::string_view bits;
};

class Component {
 public:
  explicit Component(std::string id) : id_(std::move(id)) {}  // Component::new

  Component(Component&&) noexcept = default;
  Component& operator=(Component&&) noexcept = default;
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  const std::string& id() const noexcept { return id_; }
  const BusTable& busses() const noexcept { return busses_; }
  BusTable& busses() noexcept { return busses_; }

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

  // Writes the inputs, then evaluates assignments along the influence lists
  // until no bus is waiting (or the evaluation bound is reached).
  Status update_signals(std::span<const SignalInput> new_values);

  // Bus id and bit-string text of every bus, in table order.
  std::vector<std::pair<std::string, std::string>> get_values() const;
  // One line per bus: "<id>: <bus text> <influence list>\n".
  std::string to_string() const;

  // Evaluations performed by the last update_signals call.
  std::uint64_t last_evaluation_count() const noexcept { return last_evaluations_; }
  // The most evaluations one update_signals call may perform.
  std::uint64_t evaluation_limit() const noexcept;

 private:
  // How a bus's assignment runs: the common one-gate shapes directly on the
  // value array, anything else through the general program.
  enum class Shape : std::uint8_t { kNone, kCopy, kNotBus, kGateBusBus, kProgram };
  // Operand positions, or the code range of a kProgram assignment.
  struct Operands {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
  };
  // The state byte of a position: shape in bits 0-2, gate in bits 3-5, a
  // flag telling whether its influence list names a position at or before
  // it, and the waiting flag of the worklist.
  static constexpr std::uint8_t kWaiting = 0x80;
  static constexpr std::uint8_t kInfluencesEarlier = 0x40;
  static constexpr std::uint8_t kShapeMask = 0x07;
  static constexpr std::uint8_t state_of(Shape shape, Gate gate) noexcept {
    return static_cast<std::uint8_t>(static_cast<unsigned>(shape) |
                                     (static_cast<unsigned>(gate) << 3));
  }
  static Shape shape_of(std::uint8_t state) noexcept { return Shape(state & kShapeMask); }
  static Gate gate_of(std::uint8_t state) noexcept { return Gate((state >> 3) & 0x07); }

  struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view id) const noexcept {
      return std::hash<std::string_view>{}(id);
    }
  };

  void mark_influence_list(BusTable::Position bus);
  void forget_influence_marks() noexcept;
  void bind();
  void unbind() noexcept { bound_ = false; }
  // Evaluates the assignment of `position` and stores it; true on a change.
  bool evaluate_and_store(std::uint32_t position, std::uint8_t state);

  std::string id_;
  BusTable busses_;
  std::unordered_map<std::string, BoxedEvaluator, IdHash, std::equal_to<>> assignments_;

  // Build-time duplicate test of add_influence.
  std::vector<std::uint8_t> influence_marks_;
  std::optional<BusTable::Position> marked_bus_;

  // Hot-path state, built by bind() once the key set is final.
  bool bound_ = false;
  // Per position, walked in table order by the settle loop. Influence lists
  // are one array of targets cut by offsets, read only when a value changes.
  std::vector<std::uint8_t> state_;
  std::vector<Operands> operands_;
  std::vector<std::uint32_t> influence_offsets_;  // one per position, plus the end
  std::vector<std::uint32_t> influence_targets_;
  Program program_;
  BitBusValue scratch_;
  std::vector<std::uint32_t> queue_;
  std::uint64_t last_evaluations_ = 0;
};

}  // namespace nimbo
