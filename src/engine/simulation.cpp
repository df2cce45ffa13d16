// Simulation: binding, the state's reads, and the calls that check their
// inputs and pick the runner.
#include "engine/simulation.hpp"

#include <algorithm>
#include <utility>

#include "engine/circuit.hpp"
#include "engine/input_checks.hpp"
#include "engine/lane_batches.hpp"
#include "engine/lane_pass.hpp"
#include "engine/messages.hpp"
#include "engine/reactive_lanes.hpp"
#include "engine/sequence_lanes.hpp"
#include "engine/sequence_threads.hpp"
#include "engine/word_steps.hpp"
#include "engine/worklist.hpp"

namespace nimbo {
namespace {

// Below this many vectors the updates run one by one: a block would
// evaluate lanes nobody reads.
constexpr std::size_t kLaneThreshold = 8;

}  // namespace

// What prepare() builds: the circuit, and the runners that keep something
// of their own between calls.
struct Simulation::Bound {
  Circuit circuit;
  Worklist worklist;                // circuits that do not run as one pass
  WordSteps word_steps;             // one-pass circuits with registers
  std::unique_ptr<LanePass> lanes;  // one-pass circuits, built on the first batch
};

// The simulation's own update, as Cycles takes it.
class Simulation::Updates final : public PlainUpdates {
 public:
  explicit Updates(Simulation& simulation) : simulation_(simulation) {}
  Status update(std::span<const PositionInput> texts, std::span<const ValueWrite> values,
                const UpdateControl& control) override {
    return simulation_.update_with(texts, values, control, Resets::kLeave);
  }
  void read(std::size_t position, BitBusValue& value) override {
    simulation_.state_.read(position, value);
  }

 private:
  Simulation& simulation_;
};

Simulation::Simulation(Component component, Registers registers, Memories memories)
    : model_(std::move(component)),
      registers_(std::move(registers)),
      memories_(std::move(memories)),
      state_(model_.busses().values(), MemoryWords(memories_)) {
  registers_.add_clocks(memories_.clocks, model_.bus_count());
}

Simulation::~Simulation() = default;
Simulation::Simulation(Simulation&&) noexcept = default;
Simulation& Simulation::operator=(Simulation&&) noexcept = default;

void Simulation::read_value(std::size_t position, BitBusValue& value) {
  state_.read(position, value);
}

std::vector<BitBusValue> Simulation::snapshot() {
  return state_.snapshot();
}

void Simulation::restore_values(std::span<const BitBusValue> values) {
  state_.restore(values);
  if (bound_ && !state_.on_words()) bound_->worklist.forget(state_.table());
}

SimulationState Simulation::save_state() {
  return SimulationState{snapshot(), state_.memory_words()};
}

void Simulation::restore_state(const SimulationState& state) {
  restore_values(state.values);
  state_.memory_words() = state.words;
}

std::optional<std::size_t> Simulation::find_memory(std::string_view name) const {
  for (std::size_t m = 0; m < memories_.list.size(); ++m) {
    if (memories_.list[m].name == name) return m;
  }
  return std::nullopt;
}

std::string Simulation::to_string() {
  return model_.to_string(snapshot());
}

Status Simulation::prepare(const UpdateControl& control) {
  if (bound_) return ok_status();
  // An interrupt keeps nothing: the next call starts again.
  std::optional<Circuit> circuit =
      bind_circuit(model_, state_.table(), registers_, memories_, control);
  if (!circuit) return messages::interrupted();
  auto bound = std::make_unique<Bound>();
  bound->circuit = std::move(*circuit);
  const Circuit& bound_circuit = bound->circuit;
  if (!bound_circuit.one_pass()) {
    bound->worklist = Worklist(bound_circuit.graph, model_.busses(), state_.table());
    if (control.due()) return messages::interrupted();
  } else {
    auto words = std::make_unique<WordPass>(bound_circuit.graph, bound_circuit.schedule,
                                            *bound_circuit.plan, state_.table());
    if (control.due()) return messages::interrupted();
    if (clocked()) bound->word_steps = WordSteps(bound_circuit, registers_, memories_, *words);
    state_.move_to(std::move(words));
  }
  bound_ = std::move(bound);
  return ok_status();
}

bool Simulation::has_feedback() const noexcept {
  return bound_ && bound_->circuit.schedule.feedback;
}

bool Simulation::runs_one_pass() const noexcept {
  return bound_ && bound_->circuit.one_pass();
}

const GateGraph& Simulation::graph() const noexcept {
  static const GateGraph kUnbound;
  return bound_ ? bound_->circuit.graph : kUnbound;
}

std::size_t Simulation::influence_entry_count() const noexcept {
  return bound_ ? bound_->circuit.influence_entries : 0;
}

std::uint64_t Simulation::last_evaluations_run() const noexcept {
  if (!bound_) return 0;
  return state_.on_words() ? last_evaluations_ : bound_->worklist.last_evaluations_run();
}

bool Simulation::last_update_on_bits() const noexcept {
  return bound_ && !state_.on_words() && bound_->worklist.last_on_bits();
}

std::uint64_t Simulation::work_limit() const noexcept {
  if (bound_ && !state_.on_words()) return bound_->worklist.work_limit();
  return Worklist::work_limit(bus_count(), influence_entry_count());
}

Status Simulation::update_signals(std::span<const SignalInput> new_values,
                                  const UpdateControl& control, Resets resets) {
  std::vector<PositionInput> inputs;
  inputs.reserve(new_values.size());
  for (const SignalInput& input : new_values) {
    const auto position = model_.find(input.id);
    if (position) inputs.push_back({*position, input.bits});
  }
  return update_positions(inputs, control, resets);
}

Status Simulation::update_positions(std::span<const PositionInput> new_values,
                                    const UpdateControl& control, Resets resets) {
  return update_with(new_values, {}, control, resets);
}

Status Simulation::update_with(std::span<const PositionInput> texts,
                               std::span<const ValueWrite> values, const UpdateControl& control,
                               Resets resets) {
  last_evaluations_ = 0;
  if (auto refused = refused_input(state_, texts)) return std::move(refused->second);
  for (const ValueWrite& write : values) {
    const std::size_t expected = width(write.position);
    if (write.value->width() != expected) {
      return check_value_text(write.value->to_string(), expected);
    }
  }
  if (bus_count() == 0) return ok_status();
  if (Status bound = prepare(control); !bound.ok()) return bound;
  Status settled = settle_writes(texts, values, control);
  if (!settled.ok() || resets == Resets::kLeave) return settled;
  return apply_resets(control);
}

Status Simulation::settle_writes(std::span<const PositionInput> texts,
                                 std::span<const ValueWrite> values, const UpdateControl& control) {
  if (state_.on_words()) {
    // A value written into a driven bus is replaced by its evaluation before
    // anything reads it (busses are evaluated after what they read), so only
    // inputs are written.
    WordPass& words = state_.words();
    for (const PositionInput& input : texts) {
      if (words.is_input(input.position)) words.write_text(input.position, input.bits);
    }
    for (const ValueWrite& write : values) {
      if (words.is_input(write.position)) words.write(write.position, *write.value);
    }
    words.run();
    last_evaluations_ = words.last_evaluated();
    return ok_status();
  }
  Worklist& worklist = bound_->worklist;
  const std::span<BitBusValue> table = state_.table();
  for (const PositionInput& input : texts) worklist.write_text(table, input.position, input.bits);
  for (const ValueWrite& write : values) worklist.write(table, write.position, *write.value);
  Status settled =
      worklist.settle(table, bound_->circuit.graph, bound_->circuit.schedule.feedback, control);
  last_evaluations_ = worklist.last_evaluations();
  const Unsettled& unsettled = worklist.unsettled();
  if (settled.ok() || unsettled.empty()) return settled;
  // The message stays nimbo.core's; what kept changing goes beside it.
  const auto id = [this](std::uint32_t position) -> const std::string& {
    return model_.busses().id(position);
  };
  return Error{settled.error(), false,
               messages::still_changing(unsettled.changing, unsettled.loop, id)};
}

Status Simulation::settle(const UpdateControl& control, Resets resets) {
  Updates updates(*this);
  Status settled = cycles_.clocks_low(updates, registers_, {}, control);
  if (!settled.ok() || resets == Resets::kLeave) return settled;
  return apply_resets(control);
}

Status Simulation::apply_resets(const UpdateControl& control) {
  if (!elements().any_async_part()) return ok_status();
  if (Status bound = prepare(control); !bound.ok()) return bound;
  if (state_.on_words()) {
    WordPass& words = state_.words();
    if (words.behind()) words.run();
    return bound_->word_steps.resets(words, state_.memory_words());
  }
  Updates updates(*this);
  return cycles_.resets(updates, elements(), control);
}

RefusedInput Simulation::refused_step_input(std::span<const PositionInput> inputs) const {
  return nimbo::refused_step_input(model_, registers_, state_, inputs);
}

Status Simulation::step(std::span<const PositionInput> inputs, const UpdateControl& control) {
  if (!clocked()) return update_positions(inputs, control);
  if (auto refused = refused_step_input(inputs)) {
    return std::move(refused->second);
  }
  if (Status bound = prepare(control); !bound.ok()) return bound;
  if (state_.on_words()) {
    return bound_->word_steps.step(state_.words(), state_.memory_words(), inputs);
  }
  Updates updates(*this);
  return cycles_.step(updates, elements(), inputs, control);
}

Status Simulation::check_registers() const {
  Status registers = check_register_widths(
      model_, registers_, [this](std::size_t position) { return width(position); });
  if (!registers.ok()) return registers;
  return check_memory_widths(model_, memories_,
                             [this](std::uint32_t position) { return width(position); });
}

LanePass& Simulation::lanes_for(std::size_t vectors) {
  const Circuit& circuit = bound_->circuit;
  if (!bound_->lanes) {
    bound_->lanes = std::make_unique<LanePass>(circuit.graph, circuit.schedule, *circuit.plan);
  }
  bound_->lanes->fit(vectors);
  return *bound_->lanes;
}

std::optional<VectorFault> Simulation::run_vectors(const TextVectors& vectors,
                                                   std::span<const std::uint32_t> shown,
                                                   VectorSink& sink, const UpdateControl& control) {
  if (auto fault = fault_of(0, prepare(control))) return fault;
  if (state_.on_words() && !clocked() && vectors.size() >= kLaneThreshold) {
    LaneBatches batches(bound_->circuit, state_, lanes_for(vectors.size()));
    return batches.run(vectors, shown, sink, control);
  }
  return run_vectors_one_by_one(vectors, shown, sink, control);
}

std::optional<VectorFault> Simulation::run_vectors(const ByteVectors& vectors,
                                                   std::span<const std::uint32_t> shown,
                                                   VectorSink& sink, const UpdateControl& control) {
  // The columns of a bus are as many as its width when the call starts; a
  // driven bus whose evaluated width differs then refuses its later texts,
  // as update_positions would.
  if (auto fault = fault_of(0, prepare(control))) return fault;
  std::size_t columns = 0;
  for (const std::uint32_t position : vectors.inputs) columns += width(position);
  if (columns != vectors.columns) {
    return VectorFault{0, std::nullopt, messages::columns_differ(columns, vectors.columns)};
  }
  if (state_.on_words() && !clocked() && vectors.rows >= kLaneThreshold) {
    LaneBatches batches(bound_->circuit, state_, lanes_for(vectors.rows));
    return batches.run(vectors, shown, sink, control);
  }
  return run_vectors_one_by_one(vectors, shown, sink, control);
}

LanePass* Simulation::sequence_lanes_for(std::size_t sequences, std::size_t threads) {
  if (!state_.on_words()) return nullptr;
  threads = std::max<std::size_t>(threads, 1);
  LanePass& lanes = lanes_for((sequences + threads - 1) / threads);
  const std::size_t per_lane = LaneMemories::bytes_per_lane(memories_);
  if (per_lane == 0) return &lanes;
  // Each thread has its lanes' copies: the threads share the budget.
  const std::size_t budget = kLaneMemoryBudget / threads;
  std::size_t words = lanes.lane_words();
  while (words > 1 && 64 * words * per_lane > budget) words /= 2;
  if (64 * words * per_lane > kLaneMemoryBudget) return nullptr;
  if (words != lanes.lane_words()) lanes.set_lane_words(words);
  return &lanes;
}

template <class Source>
std::optional<VectorFault> Simulation::run_sequences_in_lanes(
    const Source& source, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control,
    std::size_t threads) {
  LanePass* lanes = sequence_lanes_for(source.count(), threads);
  if (lanes == nullptr) return run_sequences_one_by_one(source, shown, sink, faults, control);
  if (threads > 1 && source.count() > lanes->block_size()) {
    // As many threads as the memories' copies fit in the budget.
    const std::size_t per_lane = LaneMemories::bytes_per_lane(memories_);
    const std::size_t per_thread = std::max<std::size_t>(per_lane * lanes->block_size(), 1);
    threads = std::clamp<std::size_t>(kLaneMemoryBudget / per_thread, 1, threads);
    const SequenceThreadsRun run{bound_->circuit, registers_, memories_, model_, state_, *lanes};
    if (threads > 1)
      return run_sequences_on_threads(run, source, shown, sink, faults, control, threads);
  }
  SequenceLanes runner(bound_->circuit, registers_, memories_, model_, state_, *lanes);
  return runner.run(source, shown, sink, faults, control);
}

std::optional<VectorFault> Simulation::run_sequences(
    std::span<const TextVectors> sequences, std::span<const std::uint32_t> shown,
    SequenceSink& sink, std::vector<std::optional<VectorFault>>& faults,
    const UpdateControl& control, std::size_t threads) {
  std::vector<PackedVectors> packed;
  packed.reserve(sequences.size());
  for (const TextVectors& sequence : sequences) packed.emplace_back(sequence);
  return run_sequences(packed, shown, sink, faults, control, threads);
}

std::optional<VectorFault> Simulation::run_sequences(
    std::span<const PackedVectors> sequences, std::span<const std::uint32_t> shown,
    SequenceSink& sink, std::vector<std::optional<VectorFault>>& faults,
    const UpdateControl& control, std::size_t threads) {
  const TextSequences source{sequences};
  faults.assign(source.count(), std::nullopt);
  if (Status bound = prepare(control); !bound.ok()) return interrupted_at(0);
  return run_sequences_in_lanes(source, shown, sink, faults, control, threads);
}

std::optional<VectorFault> Simulation::run_sequences(
    const ByteSequences& sequences, std::span<const std::uint32_t> shown, SequenceSink& sink,
    std::vector<std::optional<VectorFault>>& faults, const UpdateControl& control,
    std::size_t threads) {
  faults.assign(sequences.count(), std::nullopt);
  if (Status bound = prepare(control); !bound.ok()) return interrupted_at(0);
  return run_sequences_in_lanes(sequences, shown, sink, faults, control, threads);
}

std::unique_ptr<ReactiveLanes> Simulation::reactive_lanes(std::size_t count, bool* over_budget) {
  if (over_budget != nullptr) *over_budget = false;
  if (!prepare().ok() || !state_.on_words()) return nullptr;
  auto lanes = std::make_unique<ReactiveLanes>(bound_->circuit, registers_, memories_, count);
  if (lanes->memory_bytes() > kLaneMemoryBudget) {
    if (over_budget != nullptr) *over_budget = true;
    return nullptr;
  }
  const std::vector<BitBusValue> now = snapshot();
  std::vector<Word> all(lanes->mask_words(), ~Word{0});
  if (lanes->count() % 64 != 0) all.back() = (Word{1} << (lanes->count() % 64)) - 1;
  lanes->load(now, state_.memory_words(), all);
  return lanes;
}

void Simulation::read_shown(std::span<const std::uint32_t> shown,
                            std::vector<BitBusValue>& values) {
  if (state_.on_words() && clocked()) {
    bound_->word_steps.read_shown(state_, shown, values);
    return;
  }
  for (std::size_t i = 0; i < shown.size(); ++i) state_.read(shown[i], values[i]);
}

}  // namespace nimbo
