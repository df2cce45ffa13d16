// BitMatrix: how lanes (one bit per lane of a signal) become rows (one
// number, or one byte per bit, per lane) and back: the transpose of a 64 x
// 64 bit matrix, and eight bits as eight bytes of 0 or 1 and back, each a
// few operations on one word.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "busses/truth_table.hpp"

namespace nimbo {

static_assert(std::endian::native == std::endian::little,
              "byte i of a row is byte i of the word loaded from it");

// Transposes a 64 x 64 bit matrix in place: bit j of rows[i] becomes bit i
// of rows[j]. Inline: its loops have constant bounds, and unrolled in its
// callers they are a few hundred operations without a branch.
inline void transpose_bits(Word (&rows)[64]) noexcept {
  // Swaps ever smaller blocks across the diagonal: 32 x 32, then 16 x 16
  // within each, and so on down to single bits.
  Word mask = 0x00000000FFFFFFFFULL;
  for (std::size_t span = 32; span != 0; span >>= 1, mask ^= mask << span) {
    for (std::size_t k = 0; k < 64; k = ((k | span) + 1) & ~span) {
      const Word swapped = ((rows[k] >> span) ^ rows[k | span]) & mask;
      rows[k] ^= swapped << span;
      rows[k | span] ^= swapped;
    }
  }
}

// The low 8 bits of `bits` as 8 bytes of 0 or 1, bit i in byte i.
constexpr std::uint64_t bytes_of_bits(Word bits) noexcept {
  // Byte i of the product keeps bit i of its copy of the 8 bits; adding
  // 0x7F carries into the top of each byte exactly when that bit is 1.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const std::uint64_t kept = ((bits & 0xFFU) * kOnes) & 0x8040201008040201ULL;
  return ((kept + 0x7F7F7F7F7F7F7F7FULL) >> 7) & kOnes;
}

// The inverse: 8 bytes each 0 or 1 (byte i is bit i) as 8 bits.
constexpr Word bits_of_bytes(std::uint64_t bytes) noexcept {
  return (bytes * 0x0102040810204080ULL) >> 56;
}

// Whether every one of 8 bytes is 0 or 1.
constexpr bool bytes_are_bits(std::uint64_t bytes) noexcept {
  return (bytes & 0xFEFEFEFEFEFEFEFEULL) == 0;
}

// The first `count` (at most 8) bytes at `from` as the low bytes of a word.
inline std::uint64_t load_bytes(const std::uint8_t* from, std::size_t count) noexcept {
  std::uint64_t bytes = 0;
  std::memcpy(&bytes, from, count);
  return bytes;
}

// The low `count` (at most 8) bytes of `bytes` to `to`.
inline void store_bytes(std::uint8_t* to, std::uint64_t bytes, std::size_t count) noexcept {
  std::memcpy(to, &bytes, count);
}

}  // namespace nimbo
