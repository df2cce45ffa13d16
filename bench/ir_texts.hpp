// IR JSON texts for the render benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nimbo::bench {

// A random layered DAG of 1-bit busses: `inputs` input busses, then `gates`
// two-input gates of all six kinds in layers of `layer_width`, each reading
// two random busses of the layer below through "ref" operands. Every bus's influence
// list names every gate that reads it.
std::string layered_dag_ir(std::size_t inputs, std::size_t gates, std::size_t layer_width,
                           std::uint64_t seed);

// `busses` busses of `width` bits with random initial values: the first
// `inputs` are inputs, each later one the "xor" of two earlier busses, with
// complete influence lists.
std::string wide_bus_ir(std::size_t busses, std::size_t inputs, std::size_t width,
                        std::uint64_t seed);

}  // namespace nimbo::bench
