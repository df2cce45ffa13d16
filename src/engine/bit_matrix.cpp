#include "engine/bit_matrix.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace nimbo {

void transpose_bits(std::span<Word, 64> rows) noexcept {
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

void bits_to_bytes(Word bits, std::size_t count, std::uint8_t* bytes) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bits at a time: each moves to the low bit of its own byte.
    for (std::size_t k = 0; k < count; k += 8) {
      Word spread = (bits >> k) & 0xFFU;
      spread = (spread | (spread << 28)) & 0x0000000F0000000FULL;
      spread = (spread | (spread << 14)) & 0x0003000300030003ULL;
      spread = (spread | (spread << 7)) & 0x0101010101010101ULL;
      std::memcpy(bytes + k, &spread, std::min<std::size_t>(8, count - k));
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) bytes[k] = static_cast<std::uint8_t>((bits >> k) & 1U);
  }
}

bool bytes_are_bits(const std::uint8_t* bytes, std::size_t count) noexcept {
  // Eight at a time: any bit above the lowest of a byte.
  constexpr Word kHighBits = 0xFEFE'FEFE'FEFE'FEFEULL;
  Word high = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    Word chunk;
    std::memcpy(&chunk, bytes + i, sizeof chunk);
    high |= chunk & kHighBits;
  }
  for (; i < count; ++i) high |= bytes[i] & 0xFEU;
  return high == 0;
}

Word bytes_to_bits(const std::uint8_t* bytes, std::size_t count) noexcept {
  Word bits = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time: the product gathers their low bits into its
    // top byte, byte k into bit k (no two partial products meet).
    for (std::size_t k = 0; k < count; k += 8) {
      Word chunk = 0;
      std::memcpy(&chunk, bytes + k, std::min<std::size_t>(8, count - k));
      bits |= ((chunk * 0x0102040810204080ULL) >> 56) << k;
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) bits |= Word{bytes[k]} << k;
  }
  return bits;
}

}  // namespace nimbo
