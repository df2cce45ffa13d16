// Component: one circuit. It owns the bus table, the assignment trees and
// the influence lists, and runs the update-and-settle step.
//
// Once the table is final, the first update binds the component: its trees
// are lowered to gates (GateGraph) and its schedule worked out. A component
// without feedback whose reads settle (see schedule.cpp) then runs every
// update as one pass over a dense word array (WordPass); every other
// component runs the worklist over the bus table.
#pragma once

#include <cstdint>
#include <memory>
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
#include "component/lane_pass.hpp"
#include "component/schedule.hpp"
#include "component/vectors.hpp"
#include "component/word_pass.hpp"
#include "expr_nodes/evaluator.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

// One input of an update: a bus id and the bit-string text to write.
struct SignalInput {
  std::string_view id;
  std::string_view bits;
};

// What a long update consults while it runs.
struct UpdateControl {
  // Polled every so often; true stops the update, which then reports an
  // error whose interrupted() is true.
  bool (*interrupted)() = nullptr;
  // For a component with feedback: the most work (value words evaluated)
  // the update may do; 0 for the component's own work_limit().
  std::uint64_t work_limit = 0;
};

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
  // The bus table with every value current.
  const BusTable& busses() const;
  std::optional<Position> find(std::string_view id) const { return busses_.find(id); }
  std::size_t bus_count() const noexcept { return busses_.size(); }
  // The width an input written into the bus at `position` must have now.
  std::size_t width(std::size_t position) const;
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

  // Checks every input, then writes them and lets the circuit settle. A
  // rejected input (its message is that of BusTrait::insert_value) changes
  // nothing; inputs for ids that name no bus are skipped.
  Status update_signals(std::span<const SignalInput> new_values, const UpdateControl& control = {});
  Status update_positions(std::span<const PositionInput> new_values,
                          const UpdateControl& control = {});
  // Applies vectors one after the other, as if update_positions were called
  // for each, and hands the values of the busses at `shown` to `sink` after
  // each. Stops at the first vector that fails.
  std::optional<VectorFault> run_vectors(const TextVectors& vectors,
                                         std::span<const std::uint32_t> shown, VectorSink& sink,
                                         const UpdateControl& control = {});
  std::optional<VectorFault> run_vectors(const ByteVectors& vectors,
                                         std::span<const std::uint32_t> shown, VectorSink& sink,
                                         const UpdateControl& control = {});
  // Puts every bus value back to `values` (one per position, as after a
  // render: driven busses not evaluated yet).
  void restore_values(std::span<const BitBusValue> values);

  // Bus id and bit-string text of every bus, in table order.
  std::vector<std::pair<std::string, std::string>> get_values() const;
  // One line per bus: "<id>: <bus text> <influence list>\n".
  std::string to_string() const;

  // Binds the component if it is not bound yet (the first update does it).
  void prepare();
  // Facts of the bound component (prepare() first).
  bool has_feedback() const noexcept { return schedule_.feedback; }
  bool runs_one_pass() const noexcept { return schedule_.one_pass; }
  const GateGraph& graph() const noexcept { return graph_; }
  std::size_t influence_entry_count() const noexcept { return influence_targets_.size(); }

  // Evaluations performed by the last update (for a one-pass update, the
  // number of gates evaluated).
  std::uint64_t last_evaluation_count() const noexcept { return last_evaluations_; }
  // The most work (value words evaluated) one worklist update of a component
  // with feedback may do.
  std::uint64_t work_limit() const noexcept;

 private:
  // How the worklist evaluates a bus: nothing (an input), a copy, one gate
  // over two busses, or its gates from the graph.
  enum class Shape : std::uint8_t { kNone, kCopy, kGate, kGates };
  // The state byte of a position: shape in bits 0-1, truth table (kGate) in
  // bits 2-5, a flag telling whether its influence list names a position at
  // or before it, and the waiting flag of the worklist.
  static constexpr std::uint8_t kWaiting = 0x80;
  static constexpr std::uint8_t kInfluencesEarlier = 0x40;
  static constexpr std::uint8_t state_of(Shape shape, TruthTable table) noexcept {
    return static_cast<std::uint8_t>(static_cast<unsigned>(shape) | (table << 2));
  }
  static Shape shape_of(std::uint8_t state) noexcept { return Shape(state & 0x03); }
  static TruthTable table_of(std::uint8_t state) noexcept {
    return static_cast<TruthTable>((state >> 2) & 0x0F);
  }
  // kGate: the two bus positions; kCopy: the value copied; kGates: unused.
  struct Operands {
    ValueId a = 0;
    ValueId b = 0;
  };

  void mark_influence_list(Position bus);
  void forget_influence_marks() noexcept;
  void bind();
  void unbind();
  void sync_table() const;

  // The batch paths of a one-pass component: every vector of a block in
  // one pass of the LanePass.
  std::optional<VectorFault> run_lanes(const TextVectors& vectors,
                                       std::span<const std::uint32_t> shown, VectorSink& sink,
                                       const UpdateControl& control);
  std::optional<VectorFault> run_lanes(const ByteVectors& vectors,
                                       std::span<const std::uint32_t> shown, VectorSink& sink,
                                       const UpdateControl& control);
  LanePass& lanes_for(std::size_t vectors);
  // The width an input for the bus at `position` must have in vector
  // `vector` of a batch.
  std::size_t width_in_batch(std::size_t position, std::size_t vector) const;
  // Hands the shown values of lanes [0, count) to `sink`; false when it
  // stopped at `stopped`.
  bool hand_out(const LanePass& lanes, std::size_t first, std::size_t count,
                std::span<const std::uint32_t> shown, VectorSink& sink, std::size_t& stopped);
  // Makes the state that of lane `lane` of the last block: its inputs,
  // evaluated.
  void settle_on_lane(const LanePass& lanes, std::size_t lane);
  // Ends a batch in its block at `first` with `good` good vectors: the state
  // after the last good one (lane 0 of a block without one holds the inputs
  // in force before it). A batch refused at its first vector changes nothing.
  void settle_after_block(const LanePass& lanes, std::size_t first, std::size_t good);
  // Evaluates a block of `good` vectors and hands them out; the fault when
  // the sink stopped the run.
  std::optional<VectorFault> finish_block(LanePass& lanes, std::size_t first, std::size_t good,
                                          std::span<const std::uint32_t> shown, VectorSink& sink);
  // The fault of row `row` of byte vectors for the bus at `position`, whose
  // columns start at `first_column`, if it has one.
  std::optional<VectorFault> refused_row(const ByteVectors& vectors, std::size_t row,
                                         std::uint32_t position, std::size_t first_column) const;
  // The first input whose text the bus refuses, with the reason.
  std::optional<std::pair<std::size_t, Error>> refused_input(
      std::span<const PositionInput> inputs) const;
  // The value of the bus at `position` as it is now.
  void read_value(std::size_t position, BitBusValue& value) const;
  Status run_worklist(std::span<const PositionInput> inputs, const UpdateControl& control);
  void run_one_pass(std::span<const PositionInput> inputs);
  // Evaluates the assignment of `position` and stores it; true on a change.
  bool evaluate_and_store(std::uint32_t position, std::uint8_t state);
  const BitBusValue& value_of(ValueId value) const;

  std::string id_;
  // Mutable: a one-pass update leaves the values in the word pass, and
  // reading the table copies them back first.
  mutable BusTable busses_;
  std::unordered_map<std::string, BoxedEvaluator, StringHash, std::equal_to<>> assignments_;

  // Build-time duplicate test of add_influence.
  std::vector<std::uint8_t> influence_marks_;
  std::optional<Position> marked_bus_;

  // Built by bind() once the key set is final.
  bool bound_ = false;
  GateGraph graph_;
  Schedule schedule_;
  // The worklist: per position, walked in table order. Influence lists are
  // one array of targets cut by offsets, read only when a value changes.
  std::vector<std::uint8_t> state_;
  std::vector<Operands> operands_;
  std::vector<std::uint32_t> influence_offsets_;  // one per position, plus the end
  std::vector<std::uint32_t> influence_targets_;
  std::vector<BitBusValue> temporaries_;
  BitBusValue scratch_;
  std::vector<std::uint32_t> queue_;
  // The one-pass engine, and whether its driven values are evaluated yet
  // and newer than the table's.
  std::unique_ptr<WordPass> word_pass_;
  std::unique_ptr<LanePass> lane_pass_;  // built on the first batch
  std::vector<std::uint32_t> inputs_;    // positions of busses without an assignment
  bool evaluated_ = false;
  mutable bool table_stale_ = false;

  std::uint64_t last_evaluations_ = 0;
};

}  // namespace nimbo
