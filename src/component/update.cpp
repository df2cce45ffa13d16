// The update-and-settle step and the binding of assignments it runs on.
#include <algorithm>
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

}  // namespace

std::uint64_t Component::evaluation_limit() const noexcept {
  std::uint64_t entries = 0;
  for (std::size_t p = 0; p < busses_.size(); ++p) entries += busses_.influence_list(p).size();
  return kEvaluationAllowance + kEvaluationsPerElement * (busses_.size() + entries);
}

void Component::bind() {
  const std::size_t count = busses_.size();
  compiled_.assign(count, CompiledAssignment{});
  program_.clear();
  influence_entries_ = 0;
  for (std::size_t p = 0; p < count; ++p) {
    influence_entries_ += busses_.influence_list(p).size();
    const Evaluator* tree = assignment(busses_.id(p));
    if (tree == nullptr) continue;
    const std::uint32_t begin = program_.start();
    tree->compile(program_, busses_);
    const Program::Range range = program_.finish(begin);
    const auto code = program_.code(range);
    CompiledAssignment& compiled = compiled_[p];
    // Recognise the one-gate shapes that make up most netlists; they run
    // straight on the value array. Their code stays in the program unused.
    if (code.size() == 1 && code[0].op == OpCode::kPushBus) {
      compiled = {Shape::kCopy, Gate::kAnd, code[0].arg, 0};
    } else if (code.size() == 2 && code[0].op == OpCode::kPushBus && code[1].op == OpCode::kNot) {
      compiled = {Shape::kNotBus, Gate::kAnd, code[0].arg, 0};
    } else if (code.size() == 3 && code[0].op == OpCode::kPushBus &&
               code[1].op == OpCode::kPushBus && code[2].op == OpCode::kGate) {
      compiled = {Shape::kGateBusBus, code[2].gate, code[0].arg, code[1].arg};
    } else {
      compiled = {Shape::kProgram, Gate::kAnd, range.begin, range.end};
    }
  }
  pending_.assign(count, 0);
  queue_.assign(count, 0);
  bound_ = true;
}

bool Component::evaluate_and_store(std::uint32_t position) {
  const CompiledAssignment& compiled = compiled_[position];
  BitBusValue* values = busses_.values().data();
  BitBusValue& current = values[position];
  switch (compiled.shape) {
    case Shape::kNone: return false;
    case Shape::kGateBusBus: {
      const BitBusValue& left = values[compiled.a];
      const BitBusValue& right = values[compiled.b];
      if (left.is_narrow() && right.is_narrow()) {
        const std::size_t width = std::min(left.width(), right.width());
        const BitBusValue::Word word =
            BitBusValue::apply_gate(compiled.gate, left.narrow_word(), right.narrow_word()) &
            BitBusValue::tail_mask(width);
        if (current.equals_narrow(width, word)) return false;
        current.set_narrow(width, word);
        return true;
      }
      scratch_.assign_gate(compiled.gate, left, right);
      break;
    }
    case Shape::kNotBus: {
      const BitBusValue& operand = values[compiled.a];
      if (operand.is_narrow()) {
        const BitBusValue::Word word =
            ~operand.narrow_word() & BitBusValue::tail_mask(operand.width());
        if (current.equals_narrow(operand.width(), word)) return false;
        current.set_narrow(operand.width(), word);
        return true;
      }
      scratch_.assign_not(operand);
      break;
    }
    case Shape::kCopy: {
      const BitBusValue& operand = values[compiled.a];
      if (operand == current) return false;
      current = operand;
      return true;
    }
    case Shape::kProgram:
      program_.run({compiled.a, compiled.b}, busses_.values(), scratch_);
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

  // Every bus starts out waiting, in table order. Seeds are taken by walking
  // the positions; ids appended later go to a ring behind all seeds, which
  // keeps first-in first-out order. No id waits twice, so the ring of
  // `count` slots never overflows.
  std::fill(pending_.begin(), pending_.end(), std::uint8_t{1});
  const std::uint64_t limit = kEvaluationAllowance + kEvaluationsPerElement * (count + influence_entries_);
  std::uint64_t evaluations = 0;
  std::size_t head = 0;
  std::size_t waiting = 0;  // ids in the ring
  std::size_t seed = 0;
  std::uint32_t* queue = queue_.data();
  std::uint8_t* pending = pending_.data();

  while (seed < count || waiting != 0) {
    std::uint32_t position;
    if (seed < count) {
      position = static_cast<std::uint32_t>(seed++);
    } else {
      position = queue[head];
      head = head + 1 == count ? 0 : head + 1;
      --waiting;
    }
    pending[position] = 0;
    if (compiled_[position].shape == Shape::kNone) continue;
    if (evaluations == limit) {
      last_evaluations_ = evaluations;
      return Error{"Circuit did not settle: stopped after " + std::to_string(evaluations) +
                   " evaluations"};
    }
    ++evaluations;
    if (!evaluate_and_store(position)) continue;
    for (const std::uint64_t target : busses_.influence_list(position)) {
      if (target >= count || pending[target]) continue;
      pending[target] = 1;
      std::size_t tail = head + waiting;
      if (tail >= count) tail -= count;
      queue[tail] = static_cast<std::uint32_t>(target);
      ++waiting;
    }
  }
  last_evaluations_ = evaluations;
  return ok_status();
}

}  // namespace nimbo
