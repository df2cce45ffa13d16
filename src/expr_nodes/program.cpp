#include "expr_nodes/program.hpp"

#include <limits>
#include <stdexcept>

namespace nimbo {

void Program::clear() {
  code_.clear();
  constants_.clear();
  depth_ = 0;
  max_depth_ = 0;
}

namespace {

std::uint32_t checked_index(std::size_t size) {
  if (size >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("assignment code too large");
  }
  return static_cast<std::uint32_t>(size);
}

}  // namespace

void Program::emit_bus(std::uint32_t position) {
  code_.push_back({OpCode::kPushBus, Gate::kAnd, position});
  if (++depth_ > max_depth_) max_depth_ = depth_;
}

void Program::emit_default() {
  code_.push_back({OpCode::kPushDefault, Gate::kAnd, 0});
  if (++depth_ > max_depth_) max_depth_ = depth_;
}

void Program::emit_const(const BitBusValue& value) {
  code_.push_back({OpCode::kPushConst, Gate::kAnd, checked_index(constants_.size())});
  constants_.push_back(value);
  if (++depth_ > max_depth_) max_depth_ = depth_;
}

void Program::emit_not() {
  code_.push_back({OpCode::kNot, Gate::kAnd, 0});
}

void Program::emit_gate(Gate gate) {
  code_.push_back({OpCode::kGate, gate, 0});
  --depth_;
}

Program::Range Program::finish(std::uint32_t begin) {
  depth_ = 0;
  if (stack_.size() < max_depth_) stack_.resize(max_depth_);
  return Range{begin, checked_index(code_.size())};
}

void Program::run(Range range, std::span<const BitBusValue> values, BitBusValue& result) {
  BitBusValue* stack = stack_.data();
  std::size_t top = 0;  // number of values on the stack
  for (const Instruction& instruction : code(range)) {
    switch (instruction.op) {
      case OpCode::kPushBus:
        stack[top++] = values[instruction.arg];
        break;
      case OpCode::kPushConst:
        stack[top++] = constants_[instruction.arg];
        break;
      case OpCode::kPushDefault:
        stack[top++].set_narrow(1, 0);
        break;
      case OpCode::kNot:
        stack[top - 1].assign_not(stack[top - 1]);
        break;
      case OpCode::kGate:
        stack[top - 2].assign_gate(instruction.gate, stack[top - 2], stack[top - 1]);
        --top;
        break;
    }
  }
  std::swap(result, stack[0]);
}

}  // namespace nimbo
