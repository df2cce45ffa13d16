// Benchmark circuits built through the C++ API.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component/component.hpp"

namespace nimbo::bench {

struct Circuit {
  Component component;
  std::vector<std::string> inputs;  // ids of the input busses
  std::size_t gates = 0;
};

// An n-bit ripple-carry adder of 1-bit busses (a0.., b0.., cin -> s0.., cout).
Circuit ripple_carry_adder(int bits);

// Layers of `layer_width` two-input gates of all six kinds, each reading two
// random busses of the layer below; `gates` gates in all above one layer of
// inputs. Every bus lists the gates that read it.
Circuit layered_dag(std::size_t gates, std::size_t layer_width, std::uint64_t seed);

}  // namespace nimbo::bench
