// The number of lane words per signal (LanePass: 1, 2, 4 or 8) as a
// constant of the compiler's: a loop over the words of a signal whose count
// is known unrolls into a few whole-register operations, where a count read
// at run time leaves a loop with its test and branch for every signal.
//
// with_lane_words(words, f) calls f(LaneWords<W>{}) once, W being `words`;
// inside, `decltype(w)::value` (or `w()`) is W, a template argument.
#pragma once

#include <cstddef>
#include <type_traits>

namespace nimbo {

template <std::size_t kWords>
using LaneWords = std::integral_constant<std::size_t, kWords>;

template <class F>
decltype(auto) with_lane_words(std::size_t words, F&& f) {
  switch (words) {
    case 1:
      return f(LaneWords<1>{});
    case 2:
      return f(LaneWords<2>{});
    case 4:
      return f(LaneWords<4>{});
    case 8:
    default:  // LanePass holds no other count (set_lane_words)
      return f(LaneWords<8>{});
  }
}

}  // namespace nimbo
