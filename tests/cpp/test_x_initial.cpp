// The x-initial rule: what registers without an initial value start as.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/x_initial.hpp"

namespace nimbo {
namespace {

TEST(XInitial, ModesAndTheirBits) {
  EXPECT_EQ(x_initial_named("zero"), XInitial::kZero);
  EXPECT_EQ(x_initial_named("ones"), XInitial::kOnes);
  EXPECT_EQ(x_initial_named("random"), XInitial::kRandom);
  EXPECT_FALSE(x_initial_named("x").has_value());
  EXPECT_FALSE(x_initial_named("Zero").has_value());
  EXPECT_EQ(initial_bits({XInitial::kZero, 9}, "q", 0, 5), "00000");
  EXPECT_EQ(initial_bits({XInitial::kOnes, 9}, "q", 3, 5), "11111");
  EXPECT_EQ(initial_bits({XInitial::kRandom, 1}, "q", 0, 0), "");
}

TEST(XInitial, RandomBitsDependOnlyOnTheSeedTheNameAndTheWord) {
  const XInitialRule seven{XInitial::kRandom, 7};
  // Fixed bits: the same on every run and machine (a change here changes
  // every user's random start).
  EXPECT_EQ(initial_bits(seven, "count[0]", 0, 16), "1110001111010110");
  const std::string wide = initial_bits(seven, "r", 0, 200);
  EXPECT_EQ(wide.size(), 200U);
  EXPECT_EQ(wide.substr(0, 64), initial_bits(seven, "r", 0, 64));  // a prefix of the same stream
  std::set<std::string> seen;
  for (const char* name : {"a", "b", "c"}) {
    for (std::uint64_t seed : {0ULL, 1ULL, 18446744073709551615ULL}) {
      for (std::uint64_t word : {0ULL, 1ULL}) {
        seen.insert(initial_bits({XInitial::kRandom, seed}, name, word, 64));
      }
    }
  }
  EXPECT_EQ(seen.size(), 18U);  // every name, seed and word draws other bits
  std::size_t ones = 0;
  for (const char bit : wide) ones += bit == '1';
  EXPECT_GT(ones, 50U);
  EXPECT_LT(ones, 150U);
}

}  // namespace
}  // namespace nimbo
