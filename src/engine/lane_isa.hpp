// LaneIsa: which build of the lane kernels (lane_kernels.hpp) runs.
//
// The best set the processor has, unless the environment variable
// NIMBO_LANE_ISA (portable, avx2 or avx512), read once, asks for another:
// a set the processor lacks, or a name that is none of these, gives the
// best set there is. Tests and benchmarks may choose again with
// choose_lane_isa().
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "engine/lane_kernels.hpp"

namespace nimbo {

enum class LaneIsa { kPortable, kAvx2, kAvx512 };

inline constexpr LaneIsa kLaneIsas[] = {LaneIsa::kPortable, LaneIsa::kAvx2, LaneIsa::kAvx512};

std::string_view lane_isa_name(LaneIsa isa) noexcept;
std::optional<LaneIsa> lane_isa_named(std::string_view name) noexcept;
// Whether this build has the set and the processor runs it.
bool lane_isa_supported(LaneIsa isa) noexcept;
LaneIsa best_lane_isa() noexcept;

// The most lane words per signal worth running with `isa`: 8 (one 512-bit
// register) with AVX-512, else 4 (more run no faster; docs/benchmarks.md).
std::size_t widest_lane_words(LaneIsa isa) noexcept;

// The set in use (see above).
LaneIsa lane_isa() noexcept;
// Uses `isa` from now on; false (and no change) when it is not supported.
bool choose_lane_isa(LaneIsa isa) noexcept;
// The kernels of the set in use.
const LaneKernels& lane_kernels_in_use() noexcept;

}  // namespace nimbo
