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
#include <algorithm>
#include <map>
#include <string>
#include <tuple>
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

// On the word pass the same updates run as passes, which give the one set
// of values the update would (schedule.cpp), so they may be merged and put
// off as long as nothing reads in between: the clock busses change only
// what reads them, and when nothing but the registers reads them a clock
// that rises and falls again within the step is not written at all; the
// pass after the last edge waits for the next read or update.
void Simulation::prepare_slot_registers() {
  if (slot_groups_ready_) return;
  slot_groups_ready_ = true;
  std::map<std::tuple<Edge, std::uint32_t, std::uint32_t>, std::size_t> group_of;
  for (const Register& reg : registers_.list) {
    const std::uint32_t enable = reg.enable ? word_pass_->slot(*reg.enable) : kNoSlot;
    const std::uint32_t reset = reg.async_reset ? word_pass_->slot(*reg.async_reset) : kNoSlot;
    if (reg.async_reset) {
      resets_need_pass_ =
          resets_need_pass_ || graph_.driver(*reg.async_reset).kind != BusDriver::Kind::kInput;
    }
    const auto [found, added] =
        group_of.try_emplace({reg.edge, enable, reset}, slot_groups_.size());
    if (added) slot_groups_.push_back(SlotGroup{reg.edge, enable, reset, {}, {}, {}});
    SlotGroup& group = slot_groups_[found->second];
    const std::size_t words = BitBusValue::words_for(word_pass_->width(reg.q));
    const std::uint32_t q = word_pass_->slot(reg.q);
    const std::uint32_t d = word_pass_->slot(reg.d);
    for (std::size_t w = 0; w < words; ++w) {
      group.q.push_back(q + static_cast<std::uint32_t>(w));
      group.d.push_back(d + static_cast<std::uint32_t>(w));
      group.reset_words.push_back(reg.reset_value.data()[w]);
    }
  }
  for (const std::uint32_t clock : registers_.clocks) {
    clock_slots_.push_back(word_pass_->slot(clock));
  }
  clocks_read_ = clocks_are_read();
}

void Simulation::finish_pass() const {
  if (!pass_pending_) return;
  word_pass_->run();
  pass_pending_ = false;
}

// One round of asynchronous resets, slot by slot; true when it wrote a q
// (the caller runs the pass and looks again). Every reset is read before
// any q is written: a reset may be another register's q, and all q's of a
// round change in one update.
bool Simulation::word_resets() {
  edge_targets_.clear();
  captured_words_.clear();
  for (const SlotGroup& group : slot_groups_) {
    if (group.reset == kNoSlot || (word_pass_->slot_word(group.reset) & 1U) == 0) continue;
    for (std::size_t i = 0; i < group.q.size(); ++i) {
      if (word_pass_->slot_word(group.q[i]) == group.reset_words[i]) continue;
      edge_targets_.push_back(group.q[i]);
      captured_words_.push_back(group.reset_words[i]);
    }
  }
  for (std::size_t i = 0; i < edge_targets_.size(); ++i) {
    word_pass_->store_word(edge_targets_[i], captured_words_[i]);
  }
  return !edge_targets_.empty();
}

void Simulation::word_edge(Edge edge) {
  // Everything the edge writes is read before anything (the clocks
  // included) is written.
  captured_words_.clear();
  edge_targets_.clear();
  for (const SlotGroup& group : slot_groups_) {
    if (group.edge != edge) continue;
    if (group.reset != kNoSlot && (word_pass_->slot_word(group.reset) & 1U) != 0) {
      edge_targets_.insert(edge_targets_.end(), group.q.begin(), group.q.end());
      captured_words_.insert(captured_words_.end(), group.reset_words.begin(),
                             group.reset_words.end());
    } else if (group.enable == kNoSlot || (word_pass_->slot_word(group.enable) & 1U) != 0) {
      edge_targets_.insert(edge_targets_.end(), group.q.begin(), group.q.end());
      for (const std::uint32_t d : group.d) captured_words_.push_back(word_pass_->slot_word(d));
    }
  }
  if (clocks_read_) {
    const Word level = edge == Edge::kPosedge ? 1 : 0;
    for (const std::uint32_t slot : clock_slots_) word_pass_->store_word(slot, level);
  }
  for (std::size_t i = 0; i < edge_targets_.size(); ++i) {
    word_pass_->store_word(edge_targets_[i], captured_words_[i]);
  }
}

bool Simulation::evaluate_shown(std::span<const std::uint32_t> shown) {
  // The cone runs every gate in it, the pending pass only the gates its
  // changes reach: a cone beyond this share of the gates goes through the
  // pass instead (a processor's outputs read most of its memory).
  constexpr std::size_t kConeShare = 4;
  if (!std::equal(shown.begin(), shown.end(), shown_for_cone_.begin(), shown_for_cone_.end())) {
    shown_for_cone_.assign(shown.begin(), shown.end());
    shown_cone_ = word_pass_->cone_of(shown);
    shown_cone_small_ = shown_cone_.size() * kConeShare <= word_pass_->gate_count();
  }
  if (!shown_cone_small_) return false;
  word_pass_->run_gates(shown_cone_);
  return true;
}

Status Simulation::word_step(std::span<const PositionInput> inputs) {
  prepare_slot_registers();
  for (const PositionInput& input : inputs) {
    if (graph_.driver(input.position).kind == BusDriver::Kind::kInput) {
      word_pass_->write_text(input.position, input.bits);
    }
  }
  for (const std::uint32_t slot : clock_slots_) word_pass_->store_word(slot, 0);
  // Each round of resets writes at least one q, and a q written stays at
  // its reset value while its reset holds: the rounds end or hit the bound.
  const auto settle = [&]() -> Status {
    word_pass_->run();
    if (!registers_.any_async_reset) return ok_status();
    for (std::size_t round = 0; round <= registers_.list.size(); ++round) {
      if (!word_resets()) return ok_status();
      word_pass_->run();
    }
    return Error{"Asynchronous resets did not settle"};
  };
  pass_pending_ = false;
  Status settled = settle();
  if (!settled.ok()) return settled;
  // Resets that read only inputs and q's, which the pass does not change,
  // act without it.
  const auto resets_without_pass = [&]() -> Status {
    if (!registers_.any_async_reset) return ok_status();
    for (std::size_t round = 0; word_resets(); ++round) {
      if (round == registers_.list.size()) {
        word_pass_->run();
        return Error{"Asynchronous resets did not settle"};
      }
    }
    return ok_status();
  };
  const bool negedge_phase = registers_.any_negedge || clocks_read_;
  word_edge(Edge::kPosedge);
  settled = negedge_phase || resets_need_pass_ ? settle() : resets_without_pass();
  if (!settled.ok()) return settled;
  if (negedge_phase) {
    word_edge(Edge::kNegedge);
    settled = resets_need_pass_ ? settle() : resets_without_pass();
    if (!settled.ok()) return settled;
  }
  pass_pending_ = true;
  evaluated_ = true;
  table_stale_ = true;
  return ok_status();
}

Status Simulation::step(std::span<const PositionInput> inputs, const UpdateControl& control) {
  if (!clocked()) return update_positions(inputs, control);
  if (auto refused = refused_step_input(inputs)) return std::move(refused->second);
  if (Status bound = prepare(control); !bound.ok()) return bound;
  if (word_pass_) return word_step(inputs);
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
                   (width(reg.d) == 1 ? " bit" : " bits") + " but q has " +
                   std::to_string(q_width)};
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
