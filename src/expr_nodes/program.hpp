// Program: assignment trees flattened into post-order code, with bus
// references bound to table positions, and the stack machine that runs it.
//
// Binding happens once the bus table's key set is final, so running a
// program hashes no strings; values up to 64 bits are combined a word at a
// time in a reused stack, so running allocates nothing for them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "busses/bit_bus_value.hpp"

namespace nimbo {

enum class OpCode : std::uint8_t { kPushBus, kPushConst, kPushDefault, kNot, kGate };

struct Instruction {
  OpCode op;
  Gate gate;          // for kGate
  std::uint32_t arg;  // bus position (kPushBus) or constant index (kPushConst)
};

class Program {
 public:
  struct Range {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
  };

  void clear();

  // Builder calls, used by Evaluator::compile.
  void emit_bus(std::uint32_t position);
  void emit_default();
  void emit_const(const BitBusValue& value);
  void emit_not();
  void emit_gate(Gate gate);

  // Marks the start of the next assignment; finish() returns its code range.
  std::uint32_t start() const noexcept { return static_cast<std::uint32_t>(code_.size()); }
  Range finish(std::uint32_t begin);

  std::span<const Instruction> code(Range range) const noexcept {
    return {code_.data() + range.begin, range.end - range.begin};
  }

  // Runs the code of `range` against `values` and leaves the result in
  // `result` (whose storage is reused).
  void run(Range range, std::span<const BitBusValue> values, BitBusValue& result);

 private:
  std::vector<Instruction> code_;
  std::vector<BitBusValue> constants_;
  std::vector<BitBusValue> stack_;
  std::size_t depth_ = 0;
  std::size_t max_depth_ = 0;
};

}  // namespace nimbo
