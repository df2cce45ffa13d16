// Simulation: a component taken over and run.
//
// Once the component's table is final, the first update binds the
// simulation: the trees are lowered to gates (GateGraph), the schedule is
// worked out, and the pass plan is built once. A component without feedback
// whose reads settle (see schedule.cpp) then runs every update as one pass
// over a dense word array (WordPass), and batches of vectors through lanes
// (LanePass); every other component runs the worklist (Worklist).
//
// Registers, when the design has them, make a step one clock cycle (see
// cycles.cpp); without them a step is one update.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "busses/bus_table.hpp"
#include "common/result.hpp"
#include "component/component.hpp"
#include "engine/lane_pass.hpp"
#include "engine/pass_plan.hpp"
#include "engine/registers.hpp"
#include "engine/schedule.hpp"
#include "engine/update_control.hpp"
#include "engine/vectors.hpp"
#include "engine/word_pass.hpp"
#include "engine/worklist.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

// One input of an update: a bus id and the bit-string text to write.
struct SignalInput {
  std::string_view id;
  std::string_view bits;
};

class Simulation {
 public:
  using Position = BusTable::Position;

  explicit Simulation(Component component, Registers registers = {});
  ~Simulation();
  Simulation(Simulation&&) noexcept;
  Simulation& operator=(Simulation&&) noexcept;
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // The component with every value current.
  const Component& component() const;
  // The component as built, for lookups by id: its values may lag behind the
  // simulation's (component() brings them up to date).
  const Component& model() const noexcept { return component_; }
  const BusTable& busses() const { return component().busses(); }
  const std::string& id() const noexcept { return component_.id(); }
  std::optional<Position> find(std::string_view id) const { return component_.find(id); }
  std::size_t bus_count() const noexcept { return component_.bus_count(); }
  bool is_driven(std::size_t position) const { return component_.is_driven(position); }
  // The width an input written into the bus at `position` must have now.
  std::size_t width(std::size_t position) const;

  // Checks every input, then writes them and lets the circuit settle. A
  // rejected input (its message is that of BusTrait::insert_value) changes
  // nothing; inputs for ids that name no bus are skipped.
  Status update_signals(std::span<const SignalInput> new_values, const UpdateControl& control = {});
  Status update_positions(std::span<const PositionInput> new_values,
                          const UpdateControl& control = {});

  // Registers, and steps: one clock cycle each with registers (cycles.cpp),
  // one update each without.
  const Registers& registers() const noexcept { return registers_; }
  bool clocked() const noexcept { return !registers_.empty(); }
  bool is_clock(std::size_t position) const { return clocked() && is_clock_[position]; }
  // Brings freshly rendered values to the initial state: every clock at 0,
  // settled, asynchronous resets applied.
  Status settle(const UpdateControl& control = {});
  Status step(std::span<const PositionInput> inputs, const UpdateControl& control = {});
  // The first input a step refuses (a bad text, or a clock), with the reason.
  std::optional<std::pair<std::size_t, Error>> refused_step_input(
      std::span<const PositionInput> inputs) const;
  // Checks what depends on evaluated widths (settle() first): d has q's
  // width, enable and async_reset one bit.
  Status check_registers() const;

  // Applies vectors one after the other, as if step were called for each,
  // and hands the values of the busses at `shown` to `sink` after each.
  // Stops at the first vector that fails.
  std::optional<VectorFault> run_vectors(const TextVectors& vectors,
                                         std::span<const std::uint32_t> shown, VectorSink& sink,
                                         const UpdateControl& control = {});
  std::optional<VectorFault> run_vectors(const ByteVectors& vectors,
                                         std::span<const std::uint32_t> shown, VectorSink& sink,
                                         const UpdateControl& control = {});

  // Runs every sequence from the current state, which it leaves as it was,
  // handing the shown values after each step to `sink`. A sequence that
  // fails stops there and its fault goes to `faults` (one per sequence); the
  // others go on. The result is the fault that stopped the whole call (an
  // interrupt, or the sink).
  std::optional<VectorFault> run_sequences(std::span<const TextVectors> sequences,
                                           std::span<const std::uint32_t> shown, SequenceSink& sink,
                                           std::vector<std::optional<VectorFault>>& faults,
                                           const UpdateControl& control = {});
  std::optional<VectorFault> run_sequences(const ByteSequences& sequences,
                                           std::span<const std::uint32_t> shown, SequenceSink& sink,
                                           std::vector<std::optional<VectorFault>>& faults,
                                           const UpdateControl& control = {});

  // Every bus value, and putting them back (one per position, e.g. as after
  // a render: driven busses not evaluated since).
  std::vector<BitBusValue> snapshot() const;
  void restore_values(std::span<const BitBusValue> values);
  // The value of the bus at `position` as it is now.
  void read_value(std::size_t position, BitBusValue& value) const;

  // Binds the simulation if it is not bound yet (the first update does it).
  // An interrupt (from `control`) leaves it unbound.
  Status prepare(const UpdateControl& control = {});
  // Facts of the bound simulation (prepare() first).
  bool has_feedback() const noexcept { return schedule_.feedback; }
  bool runs_one_pass() const noexcept { return schedule_.one_pass; }
  const GateGraph& graph() const noexcept { return graph_; }
  std::size_t influence_entry_count() const noexcept { return worklist_.influence_entry_count(); }

  // Evaluations performed by the last update (for a one-pass update, the
  // number of gates evaluated).
  std::uint64_t last_evaluation_count() const noexcept { return last_evaluations_; }
  // Of those, the evaluations actually run: the worklist skips the ones that
  // cannot change anything (see worklist.cpp).
  std::uint64_t last_evaluations_run() const noexcept {
    return word_pass_ ? last_evaluations_ : worklist_.last_evaluations_run();
  }
  // The most work (value words evaluated) one worklist update may do.
  std::uint64_t work_limit() const noexcept { return worklist_.work_limit(); }

 private:
  // A value to write, already a value rather than text.
  struct ValueWrite {
    std::uint32_t position;
    const BitBusValue* value;
  };

  // False when interrupted.
  bool bind(const UpdateControl& control);
  void sync_table() const;

  // Checks then writes `texts` and `values`, and settles.
  Status update_with(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                     const UpdateControl& control);
  std::optional<std::pair<std::size_t, Error>> refused_input(
      std::span<const PositionInput> inputs) const;
  void run_one_pass(std::span<const PositionInput> texts, std::span<const ValueWrite> values);
  Status run_worklist(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                      const UpdateControl& control);

  // cycles.cpp
  Status clock_edge(Edge edge, const UpdateControl& control);
  // The same steps on the word pass of a one-pass component: register
  // copies slot to slot, and the pass after the last edge left pending.
  void prepare_slot_registers();
  Status word_step(std::span<const PositionInput> inputs);
  void word_edge(Edge edge);
  bool word_resets();
  void finish_pass() const;
  Status settle_resets(const UpdateControl& control);
  bool reset_active(const Register& reg) const;

  // The batch paths of a one-pass component without registers: every
  // vector of a block in one pass of the LanePass (batch_lanes.cpp).
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
  // Sets every lane of every input to the input's value now.
  void load_lanes(LanePass& lanes) const;
  // Makes the state that of lane `lane` of the last block: its inputs,
  // evaluated.
  void settle_on_lane(const LanePass& lanes, std::size_t lane);
  // Evaluates the gates the busses at `shown` read, after a word step;
  // false (nothing done) when they are so many that the pending pass,
  // which evaluates only what changed, costs less.
  bool evaluate_shown(std::span<const std::uint32_t> shown);
  // The values of the busses at `shown`, as after a step.
  void read_shown(std::span<const std::uint32_t> shown, std::vector<BitBusValue>& values);
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

  // sequence_lanes.cpp
  template <class Source>
  std::optional<VectorFault> run_sequences_with(const Source& source,
                                                std::span<const std::uint32_t> shown,
                                                SequenceSink& sink,
                                                std::vector<std::optional<VectorFault>>& faults,
                                                const UpdateControl& control);
  template <class Source>
  std::optional<VectorFault> run_sequences_one_by_one(
      const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
      std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control);
  std::optional<VectorFault> write_lane(const TextSequences& source, std::size_t sequence,
                                        std::size_t step, LanePass& lanes, std::size_t lane);
  // What is wrong with the row of `sequence` at `step`, if anything.
  std::optional<VectorFault> byte_row_fault(const ByteSequences& source, std::size_t sequence,
                                            std::size_t step) const;
  // Writes the rows at `step` of the live lanes (lane i: sequence first + i),
  // 64 lanes of an input bit at a time.
  void write_byte_lanes(const ByteSequences& source, std::size_t first, std::size_t step,
                        LanePass& lanes, std::span<const Word> live);
  std::optional<VectorFault> byte_step_inputs(const ByteSequences& source, std::size_t sequence,
                                              std::size_t step, std::vector<std::string>& texts,
                                              std::vector<PositionInput>& inputs) const;
  bool clocks_are_read() const;
  void lane_resets(LanePass& lanes, std::span<Word> live, std::size_t first, std::size_t step,
                   std::vector<std::optional<VectorFault>>& faults);
  void lane_edge(LanePass& lanes, Edge edge, std::span<Word> live, std::size_t first,
                 std::size_t step, std::vector<std::optional<VectorFault>>& faults,
                 bool clocks_read);
  // A register bit as lanes hold it: the signals of its q, d, enable and
  // asynchronous reset (LanePass::kNoSignal for none), and its reset value.
  struct LaneRegisterBit {
    LanePass::Signal q, d, enable, reset;
    bool reset_value;
  };
  // Fills lane_edge_bits_ for `lanes`: the register bits of each edge, in
  // register order.
  void plan_lane_edges(const LanePass& lanes);
  // An input bus of byte sequences as lanes take it: its columns, the first
  // signal of its bits (LanePass::kNoSignal for a driven bus), and whether
  // it is a clock, which steps do not write.
  struct LaneInput {
    std::uint32_t position;
    std::size_t columns;
    LanePass::Signal first_signal;
    bool clock;
  };
  // Fills lane_inputs_ with the inputs of `source` for `lanes`.
  void plan_lane_inputs(const ByteSequences& source, const LanePass& lanes);

  // Mutable: a one-pass update leaves the values in the word pass, and
  // reading the table copies them back first.
  mutable Component component_;
  Registers registers_;
  std::vector<std::uint8_t> is_clock_;  // by position, when there are registers

  // Built by bind() once the key set is final.
  bool bound_ = false;
  GateGraph graph_;
  Schedule schedule_;
  std::optional<PassPlan> plan_;  // one-pass components only
  Worklist worklist_;
  std::unique_ptr<WordPass> word_pass_;
  std::unique_ptr<LanePass> lane_pass_;  // built on the first batch
  std::vector<std::uint32_t> inputs_;    // positions of busses without an assignment
  // Whether the word pass's driven values are evaluated yet and newer than
  // the table's.
  bool evaluated_ = false;
  mutable bool table_stale_ = false;

  // The registers by slot, for word_step, in groups that share edge, enable
  // and reset: a group whose enable is 0 or whose reset is 0 is passed over
  // with one look. A register of several words is one entry per word.
  static constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};
  struct SlotGroup {
    Edge edge = Edge::kPosedge;
    std::uint32_t enable = kNoSlot;
    std::uint32_t reset = kNoSlot;
    std::vector<std::uint32_t> q;
    std::vector<std::uint32_t> d;
    std::vector<Word> reset_words;
  };
  std::vector<SlotGroup> slot_groups_;
  bool slot_groups_ready_ = false;
  std::vector<std::uint32_t> edge_targets_;
  std::vector<std::uint32_t> clock_slots_;
  bool clocks_read_ = false;
  bool resets_need_pass_ = false;  // some asynchronous reset is a driven bus
  // A word step leaves the pass after its last edge to the next read or
  // update; the gates a run of vectors shows are evaluated at once.
  mutable bool pass_pending_ = false;
  std::vector<std::uint32_t> shown_cone_;
  std::vector<std::uint32_t> shown_for_cone_;
  bool shown_cone_small_ = false;
  std::vector<Word> captured_words_;

  // Reused by steps: the values the edge writes, and the writes themselves.
  std::vector<BitBusValue> captured_;
  std::vector<ValueWrite> writes_;
  std::vector<Word> lane_captured_;
  std::vector<LaneRegisterBit> lane_edge_bits_[2];  // posedge, negedge
  std::vector<LaneInput> lane_inputs_;
  BitBusValue zero_ = BitBusValue::zeros(1);
  BitBusValue one_ = BitBusValue::zeros(1);

  std::uint64_t last_evaluations_ = 0;
};

}  // namespace nimbo
