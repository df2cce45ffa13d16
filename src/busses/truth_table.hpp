// TruthTable: a two-input boolean function applied bit by bit to words.
//
// Bit (l + 2 * r) of a table is the result for the input bits l and r. Every
// gate of an assignment, with any of its operands or its result inverted, is
// one of these sixteen tables; inverting an operand or the result is a
// permutation of the table's bits, so inversions cost nothing at run time.
#pragma once

#include <array>
#include <cstdint>

namespace nimbo {

using TruthTable = std::uint8_t;
using Word = std::uint64_t;

namespace truth_table {

// Of one operand given as both inputs: the inverse of that operand.
inline constexpr TruthTable kNot = 0b0001;

constexpr TruthTable invert_output(TruthTable table) noexcept {
  return static_cast<TruthTable>(~table & 0xF);
}
// The table of f(~l, r): bit i moves to bit i ^ 1.
constexpr TruthTable invert_left(TruthTable table) noexcept {
  return static_cast<TruthTable>(((table & 0b0101) << 1) | ((table & 0b1010) >> 1));
}
// The table of f(l, ~r): bit i moves to bit i ^ 2.
constexpr TruthTable invert_right(TruthTable table) noexcept {
  return static_cast<TruthTable>(((table & 0b0011) << 2) | ((table & 0b1100) >> 2));
}

// The algebraic normal form f = c0 ^ (c1 & l) ^ (c2 & r) ^ (c3 & l & r), each
// coefficient an all-zero or all-one word: no branch on the table.
struct Coefficients {
  Word c0, c1, c2, c3;
};

constexpr Coefficients coefficients(TruthTable table) noexcept {
  const auto bit = [table](int i) -> Word { return (table >> i) & 1U ? ~Word{0} : Word{0}; };
  return {bit(0), bit(0) ^ bit(1), bit(0) ^ bit(2), bit(0) ^ bit(1) ^ bit(2) ^ bit(3)};
}

inline constexpr std::array<Coefficients, 16> kCoefficients = [] {
  std::array<Coefficients, 16> all{};
  for (unsigned table = 0; table < 16; ++table)
    all[table] = coefficients(static_cast<TruthTable>(table));
  return all;
}();

inline Word apply(TruthTable table, Word l, Word r) noexcept {
  const Coefficients& c = kCoefficients[table & 0xF];
  return c.c0 ^ (l & c.c1) ^ (r & c.c2) ^ (l & r & c.c3);
}

// The same with the table known at compile time: folds to the few operations
// the function needs (l & r, ~(l | r), l ^ ~r, ...).
template <TruthTable kTable>
constexpr Word apply_fixed(Word l, Word r) noexcept {
  constexpr Coefficients c = coefficients(kTable);
  return c.c0 ^ (l & c.c1) ^ (r & c.c2) ^ (l & r & c.c3);
}

}  // namespace truth_table
}  // namespace nimbo
