// The update-and-settle step and the binding of assignments it runs on.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "component/component.hpp"

namespace nimbo {

namespace {

// Evaluations one update may perform, per bus and per influence entry, on top
// of a fixed allowance. A circuit without feedback evaluates each bus about
// once per change that reaches it, far below this; only a circuit that keeps
// changing gets near it.
constexpr std::uint64_t kEvaluationsPerElement = 256;
constexpr std::uint64_t kEvaluationAllowance = 1'000'000;

std::uint64_t limit_for(std::size_t busses, std::size_t influence_entries) {
  return kEvaluationAllowance + kEvaluationsPerElement * (busses + influence_entries);
}

std::uint32_t checked_index(std::size_t index) {
  if (index > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("too many influence entries in one component");
  }
  return static_cast<std::uint32_t>(index);
}

}  // namespace

std::uint64_t Component::evaluation_limit() const noexcept {
  std::uint64_t entries = 0;
  for (std::size_t p = 0; p < busses_.size(); ++p) {
    for (const std::uint64_t target : busses_.influence_list(p)) entries += target < busses_.size();
  }
  return limit_for(busses_.size(), entries);
}

void Component::bind() {
  const std::size_t count = busses_.size();
  state_.assign(count, 0);
  operands_.assign(count, Operands{});
  influence_offsets_.assign(count + 1, 0);
  influence_targets_.clear();
  program_.clear();
  for (std::size_t p = 0; p < count; ++p) {
    // Entries that name no position are dropped here once instead of being
    // skipped at every change.
    influence_offsets_[p] = checked_index(influence_targets_.size());
    bool influences_earlier = false;
    for (const std::uint64_t target : busses_.influence_list(p)) {
      if (target >= count) continue;
      influence_targets_.push_back(static_cast<std::uint32_t>(target));
      influences_earlier = influences_earlier || target <= p;
    }
    const Evaluator* tree = assignment(busses_.id(p));
    if (tree == nullptr) continue;
    const std::uint32_t begin = program_.start();
    tree->compile(program_, busses_);
    const Program::Range range = program_.finish(begin);
    const auto code = program_.code(range);
    // Recognise the one-gate shapes that make up most netlists; they run
    // straight on the value array. Their code stays in the program unused.
    if (code.size() == 1 && code[0].op == OpCode::kPushBus) {
      state_[p] = state_of(Shape::kCopy, Gate::kAnd);
      operands_[p] = {code[0].arg, 0};
    } else if (code.size() == 2 && code[0].op == OpCode::kPushBus && code[1].op == OpCode::kNot) {
      state_[p] = state_of(Shape::kNotBus, Gate::kAnd);
      operands_[p] = {code[0].arg, 0};
    } else if (code.size() == 3 && code[0].op == OpCode::kPushBus &&
               code[1].op == OpCode::kPushBus && code[2].op == OpCode::kGate) {
      state_[p] = state_of(Shape::kGateBusBus, code[2].gate);
      operands_[p] = {code[0].arg, code[1].arg};
    } else {
      state_[p] = state_of(Shape::kProgram, Gate::kAnd);
      operands_[p] = {range.begin, range.end};
    }
    if (influences_earlier) state_[p] |= kInfluencesEarlier;
  }
  influence_offsets_[count] = checked_index(influence_targets_.size());
  queue_.assign(count, 0);
  bound_ = true;
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
    case Shape::kGateBusBus: {
      const BitBusValue& left = values[operands.a];
      const BitBusValue& right = values[operands.b];
      if (left.is_narrow() && right.is_narrow()) {
        const std::size_t width = std::min(left.width(), right.width());
        const BitBusValue::Word word =
            BitBusValue::apply_gate(gate_of(state), left.narrow_word(), right.narrow_word()) &
            BitBusValue::narrow_mask(width);
        if (current.equals_narrow(width, word)) return false;
        current.set_narrow(width, word);
        return true;
      }
      scratch_.assign_gate(gate_of(state), left, right);
      break;
    }
    case Shape::kNotBus: {
      const BitBusValue& operand = values[operands.a];
      if (operand.is_narrow()) {
        const BitBusValue::Word word =
            ~operand.narrow_word() & BitBusValue::narrow_mask(operand.width());
        if (current.equals_narrow(operand.width(), word)) return false;
        current.set_narrow(operand.width(), word);
        return true;
      }
      scratch_.assign_not(operand);
      break;
    }
    case Shape::kCopy: {
      const BitBusValue& operand = values[operands.a];
      if (operand == current) return false;
      current = operand;
      return true;
    }
    case Shape::kProgram:
      program_.run({operands.a, operands.b}, busses_.values(), scratch_);
      break;
  }
  if (scratch_ == current) return false;
  std::swap(scratch_, current);
  return true;
}

Status Component::update_signals(std::span<const SignalInput> new_values) {
  last_evaluations_ = 0;

  // Inputs: written in the given order; the first rejected text ends the call
  // and earlier writes stay.
  for (const SignalInput& input : new_values) {
    const auto position = busses_.find(input.id);
    if (!position) continue;
    Status written = insert_value_into(busses_.value(*position), input.bits);
    if (!written.ok()) return written;
  }

  const std::size_t count = busses_.size();
  if (count == 0) return ok_status();
  if (!bound_) bind();

  // Every bus starts out waiting, in table order. The seeds are taken by
  // walking the positions, so while position `seed` is being taken every
  // position from `seed` on is still waiting as a seed. Ids appended later go
  // to a ring behind all seeds (first-in first-out) and carry the waiting
  // flag in their state byte. No id waits twice, so the ring of `count`
  // slots never overflows.
  std::uint8_t* state = state_.data();
  const std::uint32_t* offsets = influence_offsets_.data();
  const std::uint32_t* targets = influence_targets_.data();
  std::uint32_t* queue = queue_.data();
  const std::uint64_t limit = limit_for(count, influence_targets_.size());
  std::uint64_t evaluations = 0;
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
  const auto not_settled = [&]() -> Status {
    last_evaluations_ = evaluations;
    for (; waiting != 0; --waiting) {
      state[queue[head]] &= static_cast<std::uint8_t>(~kWaiting);
      head = head + 1 == count ? 0 : head + 1;
    }
    return Error{"Circuit did not settle: stopped after " + std::to_string(evaluations) +
                 " evaluations"};
  };

  // The seeds alone never reach the limit, which exceeds the bus count.
  // While seeds are taken, a change appends only influenced positions at or
  // before the one just taken (later ones are waiting seeds), so a position
  // whose list names none of those needs no look at its list: in a circuit
  // declared in dependency order that is every position.
  for (std::size_t seed = 0; seed < count; ++seed) {
    const auto position = static_cast<std::uint32_t>(seed);
    const std::uint8_t taken = state[position];
    if (shape_of(taken) == Shape::kNone) continue;
    ++evaluations;
    if (evaluate_and_store(position, taken) && (taken & kInfluencesEarlier)) {
      propagate(position, seed + 1);
    }
  }
  while (waiting != 0) {
    const std::uint32_t position = queue[head];
    head = head + 1 == count ? 0 : head + 1;
    --waiting;
    const auto taken = static_cast<std::uint8_t>(state[position] & ~kWaiting);
    state[position] = taken;
    if (shape_of(taken) == Shape::kNone) continue;
    if (evaluations == limit) return not_settled();
    ++evaluations;
    if (evaluate_and_store(position, taken)) propagate(position, count);
  }
  last_evaluations_ = evaluations;
  return ok_status();
}

}  // namespace nimbo
