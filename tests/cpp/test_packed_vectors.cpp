// PackedVectors gives back every write as it was packed: positions in any
// order, texts of bits of any length, and texts a step refuses kept as
// written.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/packed_vectors.hpp"

namespace nimbo {
namespace {

using Write = std::pair<std::uint32_t, std::string>;
using Vector = std::vector<Write>;

void expect_round_trip(const std::vector<Vector>& vectors) {
  std::vector<PositionInput> writes;
  std::vector<std::size_t> ends;
  for (const Vector& vector : vectors) {
    for (const auto& [position, bits] : vector) writes.push_back({position, bits});
    ends.push_back(writes.size());
  }
  const PackedVectors packed(TextVectors{writes, ends});
  ASSERT_EQ(packed.size(), vectors.size());
  UnpackedWrites room;
  // Read out of order: each vector stands alone.
  for (std::size_t v = vectors.size(); v-- > 0;) {
    const auto unpacked = packed.of(v, room);
    ASSERT_EQ(unpacked.size(), vectors[v].size()) << "vector " << v;
    for (std::size_t w = 0; w < unpacked.size(); ++w) {
      EXPECT_EQ(unpacked[w].position, vectors[v][w].first) << "vector " << v << " write " << w;
      EXPECT_EQ(unpacked[w].bits, vectors[v][w].second) << "vector " << v << " write " << w;
    }
  }
}

TEST(PackedVectors, GivesBackEachKindOfWrite) {
  const std::string wide(130, '1');
  expect_round_trip({
      {},                                                // a vector without writes
      {{0, "0"}, {1, "1"}, {2, "0"}},                    // one-bit busses in a row
      {{7, "1"}, {3, "0"}, {3, "1"}, {0, "1"}},          // backwards, twice the same
      {{4'000'000'000U, "1"}, {0, "0"}},                 // far apart both ways
      {{5, "0110"}, {6, "10000000"}, {9, "100000001"}},  // bits across byte ends
      {{2, wide}, {3, std::string(64, '0')}},            // many words
      {{1, ""}, {2, "x"}, {3, "01z1"}, {4, "0b11"}},     // refused texts, as written
      {{1, std::string("0\0"
                       "1",
                       3)},
       {2, "\xe2\x82\xac"}},  // any bytes
  });
}

TEST(PackedVectors, RandomWritesComeBackAsWritten) {
  std::mt19937 random(7);
  const std::string letters = "0101010101z x";
  std::vector<Vector> vectors(300);
  for (Vector& vector : vectors) {
    vector.resize(random() % 12);
    for (Write& write : vector) {
      write.first = random() % 3 == 0 ? static_cast<std::uint32_t>(random()) : random() % 50;
      write.second.resize(random() % 3 == 0 ? random() % 100 : 1);
      for (char& c : write.second) c = letters[random() % letters.size()];
    }
  }
  expect_round_trip(vectors);
}

TEST(PackedVectors, OneBitBussesInARowTakeAboutAByteEach) {
  std::vector<PositionInput> writes;
  for (std::uint32_t p = 0; p < 1000; ++p) writes.push_back({p + 10, p % 3 ? "1" : "0"});
  const std::vector<std::size_t> ends{writes.size()};
  PackedVectors packed(TextVectors{writes, ends});
  packed.shrink_to_fit();
  EXPECT_LT(packed.held(), 1100U);
}

}  // namespace
}  // namespace nimbo
