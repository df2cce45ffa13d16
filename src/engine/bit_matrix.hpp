// Bit matrices of lane words: the transpose that turns 64 signals of 64
// lanes into 64 lanes' numbers (and back), and the spread of a number's
// bits into 0/1 bytes (and back), and the check that bytes are 0 or 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "busses/truth_table.hpp"

namespace nimbo {

// Transposes a 64 x 64 bit matrix in place: bit j of rows[i] becomes bit i
// of rows[j].
void transpose_bits(std::span<Word, 64> rows) noexcept;

// Writes the low `count` bits of `bits` (at most 64) as bytes 0 or 1,
// bit 0 first.
void bits_to_bytes(Word bits, std::size_t count, std::uint8_t* bytes) noexcept;

// Whether each of the `count` bytes from `bytes` is 0 or 1.
bool bytes_are_bits(const std::uint8_t* bytes, std::size_t count) noexcept;

// The `count` bytes from `bytes` (at most 64, each 0 or 1) as the low bits
// of a word, byte 0 in bit 0.
Word bytes_to_bits(const std::uint8_t* bytes, std::size_t count) noexcept;

}  // namespace nimbo
