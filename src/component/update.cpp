// The update-and-settle step and the binding it runs on.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/checked_index.hpp"
#include "component/component.hpp"
#include "component/pass_plan.hpp"

namespace nimbo {

namespace {

// A component with feedback may keep changing for ever. Its worklist update
// stops once it has done this much work: a fixed allowance plus a share per
// bus and per influence entry. Work counts each bus taken from the worklist
// and each word of each evaluated value, so a ring of wide busses stops as
// soon as a ring of narrow ones, and a change that appends many busses
// without assignments counts for all of them.
constexpr std::uint64_t kWorkAllowance = std::uint64_t{1} << 27;
constexpr std::uint64_t kWorkPerElement = 64;
// The interrupt callback is polled after this much work.
constexpr std::uint64_t kWorkBetweenPolls = std::uint64_t{1} << 18;

std::uint64_t work_limit_for(std::size_t busses, std::size_t influence_entries) {
  return kWorkAllowance + kWorkPerElement * (busses + influence_entries);
}

}  // namespace

std::uint64_t Component::work_limit() const noexcept {
  return work_limit_for(busses_.size(), influence_targets_.size());
}

void Component::prepare() {
  if (!bound_) bind();
}

void Component::unbind() {
  if (!bound_) return;
  sync_table();
  word_pass_.reset();
  lane_pass_.reset();
  evaluated_ = false;
  bound_ = false;
}

void Component::bind() {
  const std::size_t count = busses_.size();
  GraphBuilder builder(busses_);
  for (std::size_t p = 0; p < count; ++p) {
    const Evaluator* tree = assignment(busses_.id(p));
    if (tree != nullptr) builder.add_driver(p, *tree);
  }
  graph_ = std::move(builder).take();
  schedule_ = make_schedule(graph_, busses_);

  state_.assign(count, 0);
  operands_.assign(count, Operands{});
  influence_offsets_.assign(count + 1, 0);
  influence_targets_.clear();
  for (std::size_t p = 0; p < count; ++p) {
    // Entries that name no position are dropped here once instead of being
    // skipped at every change.
    influence_offsets_[p] = checked_index(influence_targets_.size(), "influence entries");
    bool influences_earlier = false;
    for (const std::uint64_t target : busses_.influence_list(p)) {
      if (target >= count) continue;
      influence_targets_.push_back(static_cast<std::uint32_t>(target));
      influences_earlier = influences_earlier || target <= p;
    }
    const BusDriver& driver = graph_.driver(p);
    const auto gates = graph_.gates_of(p);
    if (driver.kind == BusDriver::Kind::kCopy) {
      state_[p] = state_of(Shape::kCopy, 0);
      operands_[p] = {driver.source, 0};
    } else if (driver.kind == BusDriver::Kind::kGates && gates.size() == 1 &&
               graph_.is_bus(gates[0].left) && graph_.is_bus(gates[0].right)) {
      state_[p] = state_of(Shape::kGate, gates[0].table);
      operands_[p] = {gates[0].left, gates[0].right};
    } else if (driver.kind == BusDriver::Kind::kGates) {
      state_[p] = state_of(Shape::kGates, 0);
    }
    if (influences_earlier) state_[p] |= kInfluencesEarlier;
  }
  influence_offsets_[count] = checked_index(influence_targets_.size(), "influence entries");
  temporaries_.assign(graph_.temporary_count(), BitBusValue());
  queue_.assign(count, 0);

  inputs_.clear();
  for (std::size_t p = 0; p < count; ++p) {
    if (graph_.driver(p).kind == BusDriver::Kind::kInput)
      inputs_.push_back(static_cast<std::uint32_t>(p));
  }
  if (schedule_.one_pass) {
    const PassPlan plan = make_pass_plan(graph_, schedule_, busses_);
    word_pass_ = std::make_unique<WordPass>(graph_, schedule_, plan, busses_);
  }
  evaluated_ = false;
  bound_ = true;
}

const BitBusValue& Component::value_of(ValueId value) const {
  if (graph_.is_bus(value)) return busses_.value(value);
  if (graph_.is_constant(value)) return graph_.constant(value);
  return temporaries_[graph_.temporary_index(value)];
}

// Inlined into the settle loop: a call per evaluation costs as much as the
// evaluation itself.
[[gnu::always_inline]] inline bool Component::evaluate_and_store(std::uint32_t position,
                                                                 std::uint8_t state) {
  const Operands operands = operands_[position];
  BitBusValue* values = busses_.values().data();
  BitBusValue& current = values[position];
  switch (shape_of(state)) {
    case Shape::kNone:
      return false;
    case Shape::kGate: {
      const BitBusValue& left = values[operands.a];
      const BitBusValue& right = values[operands.b];
      if (left.is_narrow() && right.is_narrow()) {
        const std::size_t width = std::min(left.width(), right.width());
        const Word word =
            truth_table::apply(table_of(state), left.narrow_word(), right.narrow_word()) &
            BitBusValue::narrow_mask(width);
        if (current.equals_narrow(width, word)) return false;
        current.set_narrow(width, word);
        return true;
      }
      scratch_.assign_table(table_of(state), left, right);
      break;
    }
    case Shape::kCopy: {
      const BitBusValue& source = value_of(operands.a);
      if (source == current) return false;
      current = source;
      return true;
    }
    case Shape::kGates:
      for (const GraphGate& gate : graph_.gates_of(position)) {
        BitBusValue& out =
            gate.out == position ? scratch_ : temporaries_[graph_.temporary_index(gate.out)];
        out.assign_table(gate.table, value_of(gate.left), value_of(gate.right));
      }
      break;
  }
  if (scratch_ == current) return false;
  std::swap(scratch_, current);
  return true;
}

std::optional<std::pair<std::size_t, Error>> Component::refused_input(
    std::span<const PositionInput> inputs) const {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    Status checked = check_value_text(inputs[i].bits, width(inputs[i].position));
    if (!checked.ok()) return std::make_pair(i, Error{std::move(checked).error()});
  }
  return std::nullopt;
}

Status Component::update_signals(std::span<const SignalInput> new_values,
                                 const UpdateControl& control) {
  std::vector<PositionInput> inputs;
  inputs.reserve(new_values.size());
  for (const SignalInput& input : new_values) {
    const auto position = busses_.find(input.id);
    if (position) inputs.push_back({*position, input.bits});
  }
  return update_positions(inputs, control);
}

Status Component::update_positions(std::span<const PositionInput> new_values,
                                   const UpdateControl& control) {
  last_evaluations_ = 0;
  if (auto refused = refused_input(new_values)) return std::move(refused->second);
  if (busses_.empty()) return ok_status();
  prepare();
  if (word_pass_) {
    run_one_pass(new_values);
    return ok_status();
  }
  return run_worklist(new_values, control);
}

void Component::run_one_pass(std::span<const PositionInput> inputs) {
  // A value written into a driven bus is replaced by its evaluation before
  // anything reads it (busses are evaluated after what they read), so only
  // inputs are written.
  for (const PositionInput& input : inputs) {
    if (graph_.driver(input.position).kind == BusDriver::Kind::kInput) {
      word_pass_->write_text(input.position, input.bits);
    }
  }
  word_pass_->run();
  evaluated_ = true;
  table_stale_ = true;
  last_evaluations_ = word_pass_->last_evaluated();
}

Status Component::run_worklist(std::span<const PositionInput> inputs,
                               const UpdateControl& control) {
  for (const PositionInput& input : inputs) busses_.value(input.position).assign_text(input.bits);

  // Every bus starts out waiting, in table order. The seeds are taken by
  // walking the positions, so while position `seed` is being taken every
  // position from `seed` on is still waiting as a seed. Ids appended later go
  // to a ring behind all seeds (first-in first-out) and carry the waiting
  // flag in their state byte. No id waits twice, so the ring of `count`
  // slots never overflows.
  const std::size_t count = busses_.size();
  std::uint8_t* state = state_.data();
  const std::uint32_t* offsets = influence_offsets_.data();
  const std::uint32_t* targets = influence_targets_.data();
  std::uint32_t* queue = queue_.data();
  const std::uint64_t limit = !schedule_.feedback       ? std::numeric_limits<std::uint64_t>::max()
                              : control.work_limit != 0 ? control.work_limit
                                                        : work_limit();
  std::uint64_t evaluations = 0;
  std::uint64_t work = 0;
  std::uint64_t next_poll = kWorkBetweenPolls;
  std::size_t head = 0;
  std::size_t waiting = 0;  // ids in the ring

  // Appends the influenced positions that are not waiting; positions from
  // `first_seed` on are seeds still to be taken.
  const auto propagate = [&](std::uint32_t position, std::size_t first_seed) {
    for (std::uint32_t i = offsets[position], end = offsets[position + 1]; i != end; ++i) {
      const std::uint32_t target = targets[i];
      if (target >= first_seed || (state[target] & kWaiting)) continue;
      state[target] |= kWaiting;
      std::size_t tail = head + waiting;
      if (tail >= count) tail -= count;
      queue[tail] = target;
      ++waiting;
    }
  };
  // Ends the update early: forgets what is waiting, so the next update
  // starts afresh.
  const auto stop = [&](Error error) -> Status {
    last_evaluations_ = evaluations;
    for (; waiting != 0; --waiting) {
      state[queue[head]] &= static_cast<std::uint8_t>(~kWaiting);
      head = head + 1 == count ? 0 : head + 1;
    }
    return error;
  };
  const auto evaluate = [&](std::uint32_t position, std::uint8_t taken) {
    ++evaluations;
    const bool changed = evaluate_and_store(position, taken);
    work += busses_.value(position).word_count();
    return changed;
  };
  work = count;  // the seeds, each taken once
  const auto interrupted = [&] {
    if (work < next_poll) return false;
    next_poll = work + kWorkBetweenPolls;
    return control.interrupted != nullptr && control.interrupted();
  };
  const auto interruption = [] { return Error{"Update interrupted", true}; };

  // The limit is checked only for busses taken from the ring: every seed is
  // evaluated once, whatever its work. While seeds are taken, a change
  // appends only influenced positions at or before the one just taken (later
  // ones are waiting seeds), so a position whose list names none of those
  // needs no look at its list: in a circuit declared in dependency order
  // that is every position.
  for (std::size_t seed = 0; seed < count; ++seed) {
    const auto position = static_cast<std::uint32_t>(seed);
    const std::uint8_t taken = state[position];
    if (shape_of(taken) == Shape::kNone) continue;
    if (evaluate(position, taken) && (taken & kInfluencesEarlier)) propagate(position, seed + 1);
    if (interrupted()) {
      // The seeds not taken yet are dropped with the ring.
      return stop(interruption());
    }
  }
  while (waiting != 0) {
    const std::uint32_t position = queue[head];
    head = head + 1 == count ? 0 : head + 1;
    --waiting;
    const auto taken = static_cast<std::uint8_t>(state[position] & ~kWaiting);
    state[position] = taken;
    ++work;
    if (shape_of(taken) == Shape::kNone) {
      if (interrupted()) return stop(interruption());
      continue;
    }
    if (work >= limit) {
      return stop(Error{"Circuit did not settle: stopped after " + std::to_string(evaluations) +
                        " evaluations"});
    }
    if (evaluate(position, taken)) propagate(position, count);
    if (interrupted()) return stop(interruption());
  }
  last_evaluations_ = evaluations;
  return ok_status();
}

}  // namespace nimbo
