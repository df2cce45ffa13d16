// Simulation: a component taken over and run.
//
// The simulation keeps the component as it was rendered (the model: ids,
// assignments, influence lists), its registers, and the value of every bus
// (BusState). The first update binds it: the Circuit is worked out once
// (circuit.hpp), and the runners that run it are made, each one way of
// running it:
// - Worklist: the update as the IR defines it (worklist.hpp), for circuits
//   with feedback or reads that do not settle;
// - WordPass: every other update as one pass over a dense word array
//   (word_pass.hpp), and WordSteps: its steps (word_steps.hpp);
// - Cycles: steps of a design with registers as plain updates (cycles.hpp);
// - LaneBatches: batches of vectors in lanes (lane_batches.hpp);
// - SequenceLanes: many sequences side by side in lanes (sequence_lanes.hpp).
// This class checks the inputs, picks the runner and keeps the results.
//
// A new runner is made in bind() (simulation.cpp) and chosen where the
// calls below dispatch; a new kind of state element keeps its values in the
// BusState and its rule beside register_rules.hpp, and the steps of each
// runner apply it where they apply the registers'. Memories are such an
// element: their words are in the BusState (MemoryWords), their rule in
// memory_rules.hpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"
#include "component/component.hpp"
#include "component/memories.hpp"
#include "engine/bus_state.hpp"
#include "engine/cycles.hpp"
#include "engine/packed_vectors.hpp"
#include "engine/registers.hpp"
#include "engine/update_control.hpp"
#include "engine/vectors.hpp"
#include "expr_nodes/gate_graph.hpp"

namespace nimbo {

class LanePass;
class ReactiveLanes;

// One input of an update: a bus id and the bit-string text to write.
struct SignalInput {
  std::string_view id;
  std::string_view bits;
};

// What an update does after it settles, in a design with registers or
// memories.
enum class Resets : bool {
  kLeave,  // nothing: the plain update, as nimbo.core's update_signals
  kApply,  // applies the asynchronous resets that are 1 and the asynchronous
           // reads (the asynchronous parts, cycles.hpp)
};

// Every value of a simulation: the busses' and the memories' words.
struct SimulationState {
  std::vector<BitBusValue> values;
  MemoryWords words;
};

class Simulation {
 public:
  using Position = BusTable::Position;

  explicit Simulation(Component component, Registers registers = {}, Memories memories = {});
  ~Simulation();
  Simulation(Simulation&&) noexcept;
  Simulation& operator=(Simulation&&) noexcept;
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // The component as rendered, for lookups by id (its values are those it
  // was rendered with; the simulation's are read below).
  const Component& model() const noexcept { return model_; }
  const std::string& id() const noexcept { return model_.id(); }
  std::optional<Position> find(std::string_view id) const { return model_.find(id); }
  std::size_t bus_count() const noexcept { return model_.bus_count(); }
  bool is_driven(std::size_t position) const { return model_.is_driven(position); }
  // The width an input written into the bus at `position` must have now.
  std::size_t width(std::size_t position) const { return state_.width(position); }

  // The value of the bus at `position` as it is now.
  void read_value(std::size_t position, BitBusValue& value);
  // Every bus value, and putting them back (one per position, e.g. as after
  // a render: driven busses not evaluated since).
  std::vector<BitBusValue> snapshot();
  void restore_values(std::span<const BitBusValue> values);
  // The same with the memories' words.
  SimulationState save_state();
  void restore_state(const SimulationState& state);
  // One line per bus, as Component::to_string gives it, with the values now.
  std::string to_string();

  // Checks every input, then writes them and lets the circuit settle; with
  // Resets::kApply, then applies the asynchronous resets. A rejected input
  // (its message is that of BusTrait::insert_value) changes nothing; inputs
  // for ids that name no bus are skipped.
  Status update_signals(std::span<const SignalInput> new_values, const UpdateControl& control = {},
                        Resets resets = Resets::kLeave);
  Status update_positions(std::span<const PositionInput> new_values,
                          const UpdateControl& control = {}, Resets resets = Resets::kLeave);

  // Registers and memories, and steps: one clock cycle each with either
  // (cycles.hpp), one update each without. The registers' clocks are every
  // clock of the design, the memories' too.
  const Registers& registers() const noexcept { return registers_; }
  const Memories& memories() const noexcept { return memories_; }
  bool clocked() const noexcept { return !registers_.empty() || !memories_.empty(); }
  bool is_clock(std::size_t position) const { return registers_.clock_at(position); }
  // Writes every clock 0 and settles: with Resets::kApply, the initial state
  // of freshly rendered values (check_registers() may come between).
  Status settle(const UpdateControl& control = {}, Resets resets = Resets::kApply);
  // The asynchronous resets that are 1, and the asynchronous reads, applied
  // now (the asynchronous parts).
  Status apply_resets(const UpdateControl& control = {});
  // The memory named `name`, by its index in memories().list.
  std::optional<std::size_t> find_memory(std::string_view name) const;
  // The words of memory `memory` now (MemoryWords's layout).
  std::span<const Word> memory_words(std::size_t memory) const {
    return state_.memory_words().of(memory);
  }
  // One step (check_registers() first).
  Status step(std::span<const PositionInput> inputs, const UpdateControl& control = {});
  // The first input a step refuses (a clock, or a bad text), with the
  // reason (input_checks.hpp).
  std::optional<std::pair<std::size_t, Error>> refused_step_input(
      std::span<const PositionInput> inputs) const;
  // Checks what depends on evaluated widths (settle() first): d has q's
  // width, enable and async_reset one bit; memory addresses of at most 64
  // bits, write data and enables of the word width, and so on
  // (check_memory_widths).
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
  // interrupt, or the sink). Sequences in lanes may run on up to `threads`
  // threads (sequence_threads.hpp), with the same results, faults and stop.
  std::optional<VectorFault> run_sequences(std::span<const TextVectors> sequences,
                                           std::span<const std::uint32_t> shown, SequenceSink& sink,
                                           std::vector<std::optional<VectorFault>>& faults,
                                           const UpdateControl& control = {},
                                           std::size_t threads = 1);
  std::optional<VectorFault> run_sequences(std::span<const PackedVectors> sequences,
                                           std::span<const std::uint32_t> shown, SequenceSink& sink,
                                           std::vector<std::optional<VectorFault>>& faults,
                                           const UpdateControl& control = {},
                                           std::size_t threads = 1);
  std::optional<VectorFault> run_sequences(const ByteSequences& sequences,
                                           std::span<const std::uint32_t> shown, SequenceSink& sink,
                                           std::vector<std::optional<VectorFault>>& faults,
                                           const UpdateControl& control = {},
                                           std::size_t threads = 1);

  // Sequences in lanes hold a copy of the written memories per lane, within
  // this many bytes; a block takes fewer lanes to stay within it, and
  // memories too large even for 64 lanes run their sequences one by one.
  // Reactive lanes hold a copy of every memory per lane, within the same
  // budget.
  static constexpr std::size_t kLaneMemoryBudget = std::size_t{256} << 20;

  // Lanes of their own for `count` copies of this simulation driven call by
  // call (reactive_lanes.hpp), each in the state now; null when the
  // simulation does not run as one pass, or when the copies of its
  // memories' words would take more than kLaneMemoryBudget (`over_budget`
  // then says so). They read the bound circuit, the registers and the
  // memories: the simulation outlives them.
  std::unique_ptr<ReactiveLanes> reactive_lanes(std::size_t count, bool* over_budget = nullptr);
  // The values of the busses at `positions`, as after a step: when the
  // word pass is behind, only what they read is brought up to date where
  // that costs less than the pass.
  void read_shown(std::span<const std::uint32_t> shown, std::vector<BitBusValue>& values);

  // Binds the simulation if it is not bound yet (the first update does it).
  // An interrupt (from `control`) leaves it unbound.
  Status prepare(const UpdateControl& control = {});
  // Facts of the bound simulation (prepare() first).
  bool has_feedback() const noexcept;
  bool runs_one_pass() const noexcept;
  const GateGraph& graph() const noexcept;
  std::size_t influence_entry_count() const noexcept;

  // Evaluations performed by the last update (for a one-pass update, the
  // number of gates evaluated).
  std::uint64_t last_evaluation_count() const noexcept { return last_evaluations_; }
  // Of those, the evaluations actually run: the worklist skips the ones that
  // cannot change anything (see worklist.cpp).
  std::uint64_t last_evaluations_run() const noexcept;
  // Whether the last worklist update ran on one byte per one-bit value
  // (worklist.hpp).
  bool last_update_on_bits() const noexcept;
  // The most work (value words evaluated) one worklist update may do.
  std::uint64_t work_limit() const noexcept;

 private:
  struct Bound;
  class Updates;

  // Checks then writes `texts` and `values`, settles, and with
  // Resets::kApply applies the asynchronous resets.
  Status update_with(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                     const UpdateControl& control, Resets resets);
  // The update itself, once checked and bound.
  Status settle_writes(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                       const UpdateControl& control);
  // The lanes, built on the first batch, fitted to `vectors`.
  LanePass& lanes_for(std::size_t vectors);
  // The lanes fitted to `sequences` split over `threads` threads, and to a
  // copy of the written memories per lane on each; nullptr when the
  // sequences run one by one.
  LanePass* sequence_lanes_for(std::size_t sequences, std::size_t threads);
  // Sequences in lanes, on `threads` threads when they fill more than one
  // block.
  template <class Source>
  std::optional<VectorFault> run_sequences_in_lanes(const Source& source,
                                                    std::span<const std::uint32_t> shown,
                                                    SequenceSink& sink,
                                                    std::vector<std::optional<VectorFault>>& faults,
                                                    const UpdateControl& control,
                                                    std::size_t threads);

  // One step after the other (simulation_runs.cpp): the batches and
  // sequences of a simulation that does not run them in lanes.
  template <class Source>
  std::optional<VectorFault> run_vectors_one_by_one(const Source& vectors,
                                                    std::span<const std::uint32_t> shown,
                                                    VectorSink& sink, const UpdateControl& control);
  template <class Source>
  std::optional<VectorFault> run_sequences_one_by_one(
      const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
      std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control);
  StateElements elements() { return StateElements{registers_, memories_, state_.memory_words()}; }

  Component model_;
  Registers registers_;
  Memories memories_;
  BusState state_;
  std::unique_ptr<Bound> bound_;  // built by prepare() once the key set is final
  Cycles cycles_;
  std::uint64_t last_evaluations_ = 0;
};

}  // namespace nimbo
