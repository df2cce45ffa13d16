// The transpose of lane words and the spread of bits into bytes, against
// bit-by-bit loops on random words.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "engine/bit_matrix.hpp"

namespace nimbo {
namespace {

TEST(BitMatrix, TransposeMovesEachBitAcrossTheDiagonal) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::array<Word, 64> rows{};
    for (Word& row : rows) row = rng() & rng();  // sparse and dense bits
    std::array<Word, 64> turned = rows;
    transpose_bits(turned);
    for (std::size_t i = 0; i < 64; ++i) {
      for (std::size_t j = 0; j < 64; ++j) {
        ASSERT_EQ((turned[j] >> i) & 1U, (rows[i] >> j) & 1U) << i << ", " << j;
      }
    }
    transpose_bits(turned);
    EXPECT_EQ(turned, rows);
  }
}

TEST(BitMatrix, BytesHoldTheCountedBitsAndNothingPastAndGiveThemBack) {
  std::mt19937_64 rng(8);
  for (std::size_t count = 0; count <= 64; ++count) {
    const Word bits = rng();
    std::vector<std::uint8_t> bytes(72, 7);
    bits_to_bytes(bits, count, bytes.data());
    for (std::size_t k = 0; k < bytes.size(); ++k) {
      ASSERT_EQ(bytes[k], k < count ? (bits >> k) & 1U : 7U) << count << ", " << k;
    }
    bytes.resize(count);  // and back, from exactly `count` bytes
    const Word low = count == 64 ? bits : bits & ((Word{1} << count) - 1);
    EXPECT_EQ(bytes_to_bits(bytes.data(), count), low) << count;
    EXPECT_TRUE(bytes_are_bits(bytes.data(), count)) << count;
    for (std::size_t k = 0; k < count; ++k) {  // any other byte anywhere is seen
      const std::uint8_t kept = bytes[k];
      bytes[k] = static_cast<std::uint8_t>(2 + rng() % 254);
      EXPECT_FALSE(bytes_are_bits(bytes.data(), count)) << count << ", " << k;
      bytes[k] = kept;
    }
  }
}

}  // namespace
}  // namespace nimbo
