#include "engine/lane_isa.hpp"

#include <atomic>
#include <cstdlib>

namespace nimbo {
namespace {

const LaneKernels& kernels_of(LaneIsa isa) noexcept {
#if defined(NIMBO_LANE_X86)
  if (isa == LaneIsa::kAvx512) return lane_kernels::kAvx512;
  if (isa == LaneIsa::kAvx2) return lane_kernels::kAvx2;
#endif
  (void)isa;
  return lane_kernels::kPortable;
}

LaneIsa initial_isa() noexcept {
  const char* asked = std::getenv("NIMBO_LANE_ISA");
  if (asked != nullptr) {
    const auto isa = lane_isa_named(asked);
    if (isa && lane_isa_supported(*isa)) return *isa;
  }
  return best_lane_isa();
}

std::atomic<LaneIsa>& chosen() noexcept {
  static std::atomic<LaneIsa> isa{initial_isa()};
  return isa;
}

}  // namespace

std::string_view lane_isa_name(LaneIsa isa) noexcept {
  switch (isa) {
    case LaneIsa::kAvx2:
      return "avx2";
    case LaneIsa::kAvx512:
      return "avx512";
    case LaneIsa::kPortable:
      break;
  }
  return "portable";
}

std::optional<LaneIsa> lane_isa_named(std::string_view name) noexcept {
  for (const LaneIsa isa : kLaneIsas) {
    if (lane_isa_name(isa) == name) return isa;
  }
  return std::nullopt;
}

bool lane_isa_supported(LaneIsa isa) noexcept {
#if defined(NIMBO_LANE_X86)
  switch (isa) {
    case LaneIsa::kAvx2:
      return __builtin_cpu_supports("avx2");
    case LaneIsa::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl");
    case LaneIsa::kPortable:
      break;
  }
#endif
  return isa == LaneIsa::kPortable;
}

LaneIsa best_lane_isa() noexcept {
  LaneIsa best = LaneIsa::kPortable;
  for (const LaneIsa isa : kLaneIsas) {
    if (lane_isa_supported(isa)) best = isa;
  }
  return best;
}

std::size_t widest_lane_words(LaneIsa isa) noexcept {
  return isa == LaneIsa::kAvx512 ? 8 : 4;
}

LaneIsa lane_isa() noexcept {
  return chosen().load(std::memory_order_relaxed);
}

bool choose_lane_isa(LaneIsa isa) noexcept {
  if (!lane_isa_supported(isa)) return false;
  chosen().store(isa, std::memory_order_relaxed);
  return true;
}

const LaneKernels& lane_kernels_in_use() noexcept {
  return kernels_of(lane_isa());
}

}  // namespace nimbo
