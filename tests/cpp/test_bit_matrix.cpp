// The 64 x 64 bit transpose and bits as bytes, against bit-by-bit loops.
#include <gtest/gtest.h>

#include <random>

#include "engine/bit_matrix.hpp"

namespace nimbo {
namespace {

TEST(BitMatrix, TransposeMovesEveryBitAcrossTheDiagonal) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20; ++round) {
    Word rows[64];
    for (Word& row : rows) row = round == 0 ? Word{1} << (&row - rows) : rng();
    Word before[64];
    std::copy(std::begin(rows), std::end(rows), before);
    transpose_bits(rows);
    for (std::size_t i = 0; i < 64; ++i) {
      for (std::size_t j = 0; j < 64; ++j) {
        ASSERT_EQ((rows[j] >> i) & 1U, (before[i] >> j) & 1U) << i << "," << j;
      }
    }
  }
}

TEST(BitMatrix, BitsBecomeBytesAndBack) {
  for (Word bits = 0; bits < 512; ++bits) {  // the bits above the low 8 are ignored
    const std::uint64_t bytes = bytes_of_bits(bits);
    for (std::size_t i = 0; i < 8; ++i) {
      ASSERT_EQ((bytes >> (8 * i)) & 0xFFU, (bits >> i) & 1U) << bits << " byte " << i;
    }
    ASSERT_TRUE(bytes_are_bits(bytes));
    ASSERT_EQ(bits_of_bytes(bytes), bits & 0xFFU);
  }
}

TEST(BitMatrix, AnyByteOtherThanZeroAndOneIsNoBit) {
  for (std::size_t i = 0; i < 8; ++i) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      const std::uint64_t bytes = 0x0001000100010001ULL | (std::uint64_t{byte} << (8 * i));
      const bool bits = ((bytes >> (8 * i)) & 0xFFU) <= 1;
      ASSERT_EQ(bytes_are_bits(bytes), bits) << "byte " << i << " = " << byte;
    }
  }
}

TEST(BitMatrix, LoadsAndStoresOnlyTheBytesAsked) {
  const std::uint8_t row[9] = {1, 0, 1, 1, 0, 0, 1, 0, 7};
  for (std::size_t count = 0; count <= 8; ++count) {
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < count; ++i) expected |= std::uint64_t{row[i]} << (8 * i);
    ASSERT_EQ(load_bytes(row, count), expected) << count;
    std::uint8_t out[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    store_bytes(out, ~std::uint64_t{0}, count);
    for (std::size_t i = 0; i < 9; ++i) ASSERT_EQ(out[i], i < count ? 0xFF : 9) << count;
  }
}

}  // namespace
}  // namespace nimbo
