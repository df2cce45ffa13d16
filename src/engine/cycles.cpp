// Steps of a design with registers: one clock cycle each.
//
// A step is, in this order, exactly these updates:
// 1. the step's inputs with every clock written 0, then the asynchronous
//    resets;
// 2. the rising edge: what each posedge register takes (its reset value
//    while its asynchronous reset is 1, else d when it has no enable or the
//    enable is 1) is read first, then every clock written 1 and those q's in
//    one update; then the asynchronous resets;
// 3. the falling edge: the same for negedge registers, every clock written 0.
// The asynchronous resets: while some register's reset is 1 and its q is not
// its reset value, all such q's are written in one update; after one round
// per register and one more, "Asynchronous resets did not settle".
//
// Each update is an ordinary one (one pass or the worklist), so a step gives
// exactly the values of those updates made one by one through nimbo.core.
#include <string>
#include <utility>

#include "engine/simulation.hpp"

namespace nimbo {

bool Simulation::reset_active(const Register& reg) const {
  if (!reg.async_reset) return false;
  if (table_stale_) {
    return word_pass_->width(*reg.async_reset) == 1 && word_pass_->bit(*reg.async_reset, 0);
  }
  const BitBusValue& value = component_.busses().value(*reg.async_reset);
  return value.width() == 1 && value.bit(0);
}

Status Simulation::settle_resets(const UpdateControl& control) {
  if (!registers_.any_async_reset) return ok_status();
  const std::size_t count = registers_.list.size();
  BitBusValue current;
  for (std::size_t round = 0; round <= count; ++round) {
    writes_.clear();
    for (const Register& reg : registers_.list) {
      if (!reset_active(reg)) continue;
      read_value(reg.q, current);
      if (current == reg.reset_value) continue;
      writes_.push_back({reg.q, &reg.reset_value});
    }
    if (writes_.empty()) return ok_status();
    Status written = update_with({}, writes_, control);
    if (!written.ok()) return written;
  }
  return Error{"Asynchronous resets did not settle"};
}

Status Simulation::clock_edge(Edge edge, const UpdateControl& control) {
  writes_.clear();
  const BitBusValue& level = edge == Edge::kPosedge ? one_ : zero_;
  for (const std::uint32_t clock : registers_.clocks) writes_.push_back({clock, &level});
  for (std::size_t i = 0; i < registers_.list.size(); ++i) {
    const Register& reg = registers_.list[i];
    if (reg.edge != edge) continue;
    if (reset_active(reg)) {
      writes_.push_back({reg.q, &reg.reset_value});
      continue;
    }
    if (reg.enable) {
      read_value(*reg.enable, captured_[i]);
      if (!(captured_[i].width() == 1 && captured_[i].bit(0))) continue;
    }
    read_value(reg.d, captured_[i]);
    writes_.push_back({reg.q, &captured_[i]});
  }
  Status written = update_with({}, writes_, control);
  if (!written.ok()) return written;
  return settle_resets(control);
}

Status Simulation::settle(const UpdateControl& control) {
  writes_.clear();
  for (const std::uint32_t clock : registers_.clocks) writes_.push_back({clock, &zero_});
  Status settled = update_with({}, writes_, control);
  if (!settled.ok()) return settled;
  return settle_resets(control);
}

std::optional<std::pair<std::size_t, Error>> Simulation::refused_step_input(
    std::span<const PositionInput> inputs) const {
  if (clocked()) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (!is_clock_[inputs[i].position]) continue;
      return std::make_pair(
          i, Error{"bus '" + component_.busses().id(inputs[i].position) +
                   "' is a clock: every step is one cycle of it, so a step does not write it"});
    }
  }
  return refused_input(inputs);
}

Status Simulation::step(std::span<const PositionInput> inputs, const UpdateControl& control) {
  if (!clocked()) return update_positions(inputs, control);
  if (auto refused = refused_step_input(inputs)) return std::move(refused->second);
  writes_.clear();
  for (const std::uint32_t clock : registers_.clocks) writes_.push_back({clock, &zero_});
  Status settled = update_with(inputs, writes_, control);
  if (!settled.ok()) return settled;
  settled = settle_resets(control);
  if (!settled.ok()) return settled;
  settled = clock_edge(Edge::kPosedge, control);
  if (!settled.ok()) return settled;
  return clock_edge(Edge::kNegedge, control);
}

Status Simulation::check_registers() const {
  for (std::size_t i = 0; i < registers_.list.size(); ++i) {
    const Register& reg = registers_.list[i];
    const std::string place = register_place(component_, reg, i);
    const BusTable& table = component_.busses();
    const std::size_t q_width = width(reg.q);
    if (width(reg.d) != q_width) {
      return Error{place + ": d '" + table.id(reg.d) + "' has " + std::to_string(width(reg.d)) +
                   " bits but q has " + std::to_string(q_width)};
    }
    for (const auto& [field, position] :
         {std::pair<const char*, std::optional<std::uint32_t>>{"enable", reg.enable},
          {"async_reset", reg.async_reset}}) {
      if (position && width(*position) != 1) {
        return Error{place + ": " + field + " '" + table.id(*position) + "' has " +
                     std::to_string(width(*position)) + " bits; it must have 1"};
      }
    }
  }
  return ok_status();
}

}  // namespace nimbo
