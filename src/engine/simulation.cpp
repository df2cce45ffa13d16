// Simulation: binding, and the update that dispatches to an engine.
#include "engine/simulation.hpp"

#include <algorithm>
#include <utility>

namespace nimbo {

Simulation::Simulation(Component component, Registers registers)
    : component_(std::move(component)), registers_(std::move(registers)) {
  if (!registers_.empty()) {
    is_clock_.assign(component_.bus_count(), 0);
    for (const std::uint32_t clock : registers_.clocks) is_clock_[clock] = 1;
    captured_.resize(registers_.list.size());
  }
  one_.set_bit(0, true);
}

Simulation::~Simulation() = default;
Simulation::Simulation(Simulation&&) noexcept = default;
Simulation& Simulation::operator=(Simulation&&) noexcept = default;

void Simulation::sync_table() const {
  if (!table_stale_) return;
  finish_pass();
  BusTable& table = component_.busses();
  for (std::size_t p = 0; p < table.size(); ++p) word_pass_->read(p, table.value(p));
  table_stale_ = false;
}

const Component& Simulation::component() const {
  sync_table();
  return component_;
}

std::size_t Simulation::width(std::size_t position) const {
  if (evaluated_ && word_pass_) return word_pass_->width(position);
  return component_.busses().value(position).width();
}

void Simulation::read_value(std::size_t position, BitBusValue& value) const {
  if (table_stale_) {
    finish_pass();
    word_pass_->read(position, value);
  } else {
    value = component_.busses().value(position);
  }
}

std::vector<BitBusValue> Simulation::snapshot() const {
  const auto values = component().busses().values();
  return std::vector<BitBusValue>(values.begin(), values.end());
}

void Simulation::restore_values(std::span<const BitBusValue> values) {
  sync_table();
  BusTable& table = component_.busses();
  for (std::size_t p = 0; p < table.size() && p < values.size(); ++p) table.value(p) = values[p];
  evaluated_ = false;
  pass_pending_ = false;
  if (!bound_) return;
  worklist_.forget(table);
  if (word_pass_) word_pass_->load_inputs(table);
}

Status Simulation::prepare(const UpdateControl& control) {
  if (bound_) return ok_status();
  if (bind(control)) return ok_status();
  // Interrupted: nothing of the binding is kept, the next call starts again.
  graph_ = GateGraph();
  schedule_ = Schedule();
  worklist_ = Worklist();
  plan_.reset();
  word_pass_.reset();
  inputs_.clear();
  return Error{"Update interrupted", true};
}

bool Simulation::bind(const UpdateControl& control) {
  // Binding a large component takes a while: an interrupt is looked for
  // along the busses and between the steps.
  const BusTable& table = component_.busses();
  const std::size_t count = table.size();
  GraphBuilder builder(table);
  for (std::size_t p = 0; p < count; ++p) {
    const Evaluator* tree = component_.assignment(table.id(p));
    if (tree != nullptr) builder.add_driver(p, *tree);
    if (control.poll(1)) return false;
  }
  graph_ = std::move(builder).take();
  if (control.due()) return false;
  schedule_ = make_schedule(graph_, table);
  if (control.due()) return false;
  worklist_ = Worklist(graph_, table);
  if (control.due()) return false;

  inputs_.clear();
  for (std::size_t p = 0; p < count; ++p) {
    if (graph_.driver(p).kind == BusDriver::Kind::kInput)
      inputs_.push_back(static_cast<std::uint32_t>(p));
  }
  if (schedule_.one_pass) {
    plan_ = make_pass_plan(graph_, schedule_, table);
    if (control.due()) return false;
    word_pass_ = std::make_unique<WordPass>(graph_, schedule_, *plan_, table);
  }
  evaluated_ = false;
  bound_ = true;
  return true;
}

std::optional<std::pair<std::size_t, Error>> Simulation::refused_input(
    std::span<const PositionInput> inputs) const {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    Status checked = check_value_text(inputs[i].bits, width(inputs[i].position));
    if (!checked.ok()) return std::make_pair(i, Error{std::move(checked).error()});
  }
  return std::nullopt;
}

Status Simulation::update_signals(std::span<const SignalInput> new_values,
                                  const UpdateControl& control) {
  std::vector<PositionInput> inputs;
  inputs.reserve(new_values.size());
  for (const SignalInput& input : new_values) {
    const auto position = component_.find(input.id);
    if (position) inputs.push_back({*position, input.bits});
  }
  return update_positions(inputs, control);
}

Status Simulation::update_positions(std::span<const PositionInput> new_values,
                                    const UpdateControl& control) {
  return update_with(new_values, {}, control);
}

Status Simulation::update_with(std::span<const PositionInput> texts,
                               std::span<const ValueWrite> values, const UpdateControl& control) {
  last_evaluations_ = 0;
  if (auto refused = refused_input(texts)) return std::move(refused->second);
  for (const ValueWrite& write : values) {
    const std::size_t expected = width(write.position);
    if (write.value->width() != expected) {
      return check_value_text(write.value->to_string(), expected);
    }
  }
  if (component_.busses().empty()) return ok_status();
  if (Status bound = prepare(control); !bound.ok()) return bound;
  if (word_pass_) {
    run_one_pass(texts, values);
    return ok_status();
  }
  return run_worklist(texts, values, control);
}

void Simulation::run_one_pass(std::span<const PositionInput> texts,
                              std::span<const ValueWrite> values) {
  // A value written into a driven bus is replaced by its evaluation before
  // anything reads it (busses are evaluated after what they read), so only
  // inputs are written.
  for (const PositionInput& input : texts) {
    if (graph_.driver(input.position).kind == BusDriver::Kind::kInput) {
      word_pass_->write_text(input.position, input.bits);
    }
  }
  for (const ValueWrite& write : values) {
    if (graph_.driver(write.position).kind == BusDriver::Kind::kInput) {
      word_pass_->write(write.position, *write.value);
    }
  }
  word_pass_->run();
  pass_pending_ = false;
  evaluated_ = true;
  table_stale_ = true;
  last_evaluations_ = word_pass_->last_evaluated();
}

Status Simulation::run_worklist(std::span<const PositionInput> texts,
                                std::span<const ValueWrite> values, const UpdateControl& control) {
  BusTable& table = component_.busses();
  BitBusValue written;
  for (const PositionInput& input : texts) {
    BitBusValue& value = table.value(input.position);
    written.assign_text(input.bits);
    if (written == value) continue;
    std::swap(written, value);
    worklist_.note_written(input.position);
  }
  for (const ValueWrite& write : values) {
    BitBusValue& value = table.value(write.position);
    if (*write.value == value) continue;
    value = *write.value;
    worklist_.note_written(write.position);
  }
  Status settled = worklist_.settle(table, graph_, schedule_.feedback, control);
  last_evaluations_ = worklist_.last_evaluations();
  return settled;
}

}  // namespace nimbo
