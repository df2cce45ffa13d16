#include "engine/bit_matrix.hpp"

namespace nimbo {

void transpose_bits(Word (&rows)[64]) noexcept {
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

}  // namespace nimbo
