// The six two-input gate kinds: one table for their IR type texts, their
// names in debug forms and their truth tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "busses/truth_table.hpp"

namespace nimbo {

enum class Gate : std::uint8_t { kAnd, kOr, kXor, kNand, kNor, kXnor };

struct GateKind {
  Gate gate;
  std::string_view type;  // the IR "type" text
  std::string_view name;  // the node's name in debug forms
  TruthTable table;
};

inline constexpr std::array<GateKind, 6> kGateKinds{{
    {Gate::kAnd, "and", "And", 0b1000},
    {Gate::kOr, "or", "Or", 0b1110},
    {Gate::kXor, "xor", "Xor", 0b0110},
    {Gate::kNand, "nand", "Nand", 0b0111},
    {Gate::kNor, "nor", "Nor", 0b0001},
    {Gate::kXnor, "xnor", "Xnor", 0b1001},
}};

constexpr const GateKind& gate_kind(Gate gate) noexcept {
  return kGateKinds[static_cast<std::size_t>(gate)];
}

}  // namespace nimbo
