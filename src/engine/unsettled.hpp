// What an update that does not settle reports beside its message: the busses
// that kept changing, and a loop they form, so that the user sees where the
// circuit oscillates. Worked out only on that failure.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace nimbo {

struct Unsettled {
  std::vector<std::uint32_t> changing;  // positions, in table order
  // A loop among them: each bus reads the next, the last reads the first.
  std::vector<std::uint32_t> loop;

  bool empty() const noexcept { return changing.empty(); }
};

// The shortest loop through the first bus of `changing` (one flag per
// position) that lies on a loop of changing busses, following `readers`
// (the driven busses that read position p are readers[offsets[p] ..
// offsets[p + 1])); empty when no changing bus lies on one. Each bus of the
// result reads the next, the last reads the first.
std::vector<std::uint32_t> loop_among(std::span<const std::uint8_t> changing,
                                      std::span<const std::uint32_t> offsets,
                                      std::span<const std::uint32_t> readers);

}  // namespace nimbo
