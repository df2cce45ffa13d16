#include "engine/vectors.hpp"

#include "engine/messages.hpp"

namespace nimbo {

VectorFault stopped_by_sink(std::size_t vector) {
  VectorFault fault;
  fault.vector = vector;
  fault.stopped_by_sink = true;
  return fault;
}

VectorFault interrupted_at(std::size_t vector) {
  return VectorFault{vector, std::nullopt, std::string(messages::kInterrupted), true};
}

std::optional<VectorFault> fault_of(std::size_t vector, const Status& status) {
  if (status.ok()) return std::nullopt;
  return VectorFault{vector, std::nullopt,   status.error(), status.interrupted(),
                     false,  status.detail()};
}

}  // namespace nimbo
