// LaneKernels: the loops that combine whole words of lanes, compiled once
// per instruction set (lane_kernels.cpp, built for each; lane_isa.hpp picks
// one at run time). Every set gives the same words: only their speed differs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbo {

using LaneWord = std::uint64_t;
using LaneSignal = std::uint32_t;

// Evaluates `count` one-bit gates of one truth table: gate i writes the
// words of out + i * words from those of signals left[i] and right[i] of
// `lanes`, `words` words per signal.
using LaneRun = void (*)(const LaneWord* lanes, const LaneSignal* left, const LaneSignal* right,
                         LaneWord* out, std::size_t count);

struct LaneKernels {
  // By lane words (1, 2, 4, 8), then truth table.
  LaneRun runs[4][16];
};

namespace lane_kernels {
extern const LaneKernels kPortable;
#if defined(NIMBO_LANE_X86)
extern const LaneKernels kAvx2;
extern const LaneKernels kAvx512;
#endif
}  // namespace lane_kernels

}  // namespace nimbo
