// The lane kernels of one instruction set: CMake builds this file once per
// set, naming it with NIMBO_LANE_KERNELS (kPortable, kAvx2, kAvx512) and
// passing the set's compiler flags. Nothing here may be an inline function
// shared with other files (the linker could keep this file's copy for all of
// them): the loops use only what is defined here, in an unnamed namespace.
#include <utility>

#include "busses/truth_table.hpp"
#include "engine/lane_kernels.hpp"

#ifndef NIMBO_LANE_KERNELS
#define NIMBO_LANE_KERNELS kPortable
#endif

namespace nimbo {
namespace {

// The lane words of one signal as one vector of the compiler's: a loop over
// them is one operation where the set has registers that wide.
typedef LaneWord Lanes2 __attribute__((vector_size(16), aligned(8), may_alias));
typedef LaneWord Lanes4 __attribute__((vector_size(32), aligned(8), may_alias));
typedef LaneWord Lanes8 __attribute__((vector_size(64), aligned(8), may_alias));

// A specialisation per count: as a template argument (std::conditional_t)
// a vector type would lose its alignment and aliasing attributes.
template <std::size_t kWords>
struct LanesOf;
template <>
struct LanesOf<1> {
  using Type = LaneWord;
};
template <>
struct LanesOf<2> {
  using Type = Lanes2;
};
template <>
struct LanesOf<4> {
  using Type = Lanes4;
};
template <>
struct LanesOf<8> {
  using Type = Lanes8;
};

template <std::size_t kWords, TruthTable kTable>
void run_lanes(const LaneWord* lanes, const LaneSignal* left, const LaneSignal* right,
               LaneWord* out, std::size_t count) {
  using V = typename LanesOf<kWords>::Type;
  // The coefficients are constants of the loop: it folds to the table's
  // few operations (see truth_table::apply_fixed).
  constexpr truth_table::Coefficients c = truth_table::coefficients(kTable);
  for (std::size_t i = 0; i < count; ++i) {
    const V l = *reinterpret_cast<const V*>(lanes + left[i] * kWords);
    const V r = *reinterpret_cast<const V*>(lanes + right[i] * kWords);
    V o = l & r & c.c3;
    if constexpr (c.c0 != 0) o ^= c.c0;
    if constexpr (c.c1 != 0) o ^= l;
    if constexpr (c.c2 != 0) o ^= r;
    *reinterpret_cast<V*>(out + i * kWords) = o;
  }
}

template <std::size_t kWords, std::size_t... kTables>
constexpr void fill_runs(LaneRun (&runs)[16], std::index_sequence<kTables...>) {
  ((runs[kTables] = &run_lanes<kWords, static_cast<TruthTable>(kTables)>), ...);
}

constexpr LaneKernels make_kernels() {
  LaneKernels kernels{};
  fill_runs<1>(kernels.runs[0], std::make_index_sequence<16>{});
  fill_runs<2>(kernels.runs[1], std::make_index_sequence<16>{});
  fill_runs<4>(kernels.runs[2], std::make_index_sequence<16>{});
  fill_runs<8>(kernels.runs[3], std::make_index_sequence<16>{});
  return kernels;
}

}  // namespace

namespace lane_kernels {
constinit const LaneKernels NIMBO_LANE_KERNELS = make_kernels();
}  // namespace lane_kernels

}  // namespace nimbo
