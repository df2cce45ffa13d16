// Vectors: many updates handed over at once, and what comes back of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"

namespace nimbo {

// The same with the bus already found: its table position.
struct PositionInput {
  std::uint32_t position;
  std::string_view bits;
};

// A value to write, already a value rather than text (of the bus's width
// unless the update is to refuse it).
struct ValueWrite {
  std::uint32_t position;
  const BitBusValue* value;
};

// Vectors as bit-string texts: vector v writes
// writes[ends[v - 1] .. ends[v]) (from 0 for the first).
struct TextVectors {
  std::span<const PositionInput> writes;
  std::span<const std::size_t> ends;

  std::size_t size() const noexcept { return ends.size(); }
  std::span<const PositionInput> of(std::size_t vector) const {
    const std::size_t begin = vector == 0 ? 0 : ends[vector - 1];
    return writes.subspan(begin, ends[vector] - begin);
  }
};

// Vectors as rows of bytes, each 0 or 1: one column per bit of each bus of
// `inputs`, in that order, element 0 of a bus first. Every vector writes
// every bus of `inputs`.
struct ByteVectors {
  std::span<const std::uint32_t> inputs;
  const std::uint8_t* data = nullptr;
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::ptrdiff_t row_stride = 0;     // bytes from one row to the next
  std::ptrdiff_t column_stride = 1;  // bytes from one column to the next

  std::uint8_t at(std::size_t row, std::size_t column) const noexcept {
    return data[static_cast<std::ptrdiff_t>(row) * row_stride +
                static_cast<std::ptrdiff_t>(column) * column_stride];
  }
};

// The shown busses of a block of vectors, one bit per vector ("lanes"):
// bit j of word j / 64 of lanes(i, b) is bit b of shown bus i in vector j.
class ShownLanes {
 public:
  virtual std::size_t width(std::size_t shown) const = 0;
  virtual const Word* lanes(std::size_t shown, std::size_t bit) const = 0;

 protected:
  ~ShownLanes() = default;
};

// Receives the values of the shown busses after each vector.
class VectorSink {
 public:
  // A sink that can take a whole block of vectors at once says so here;
  // take_block then replaces take for the vectors of a one-pass batch.
  virtual bool takes_blocks() const { return false; }
  virtual void take_block(std::size_t /*first*/, std::size_t /*count*/,
                          const ShownLanes& /*values*/) {}

  // `values` holds the shown busses' values, in the order they were asked
  // for; it is valid during the call only. False stops the run (the sink
  // knows why).
  virtual bool take(std::size_t vector, std::span<const BitBusValue> values) = 0;

 protected:
  ~VectorSink() = default;
};

// Sequences as bytes: sequence s is rows [s][0 .. steps), which like
// ByteVectors write every bus of `inputs` in every step.
struct ByteSequences {
  std::span<const std::uint32_t> inputs;
  const std::uint8_t* data = nullptr;
  std::size_t sequences = 0;
  std::size_t steps = 0;
  std::size_t columns = 0;
  std::ptrdiff_t sequence_stride = 0;
  std::ptrdiff_t step_stride = 0;
  std::ptrdiff_t column_stride = 1;

  std::size_t count() const noexcept { return sequences; }
  std::size_t length(std::size_t) const noexcept { return steps; }
  std::uint8_t at(std::size_t sequence, std::size_t step, std::size_t column) const noexcept {
    return data[static_cast<std::ptrdiff_t>(sequence) * sequence_stride +
                static_cast<std::ptrdiff_t>(step) * step_stride +
                static_cast<std::ptrdiff_t>(column) * column_stride];
  }
};

// Receives the values of the shown busses after each step of each sequence.
class SequenceSink {
 public:
  // After step `step`: lane i holds sequence `first + i`, for the lanes whose
  // bit is set in `live` (one bit per lane).
  virtual bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                         const ShownLanes& values) = 0;
  // The same for one sequence (runs that do not use lanes).
  virtual bool take(std::size_t sequence, std::size_t step,
                    std::span<const BitBusValue> values) = 0;
  // Whether take_step may be called from several threads at once, each for
  // sequences of its own (sequence_threads.hpp); otherwise every call comes
  // from the thread that started the run.
  virtual bool takes_concurrently() const { return false; }

 protected:
  ~SequenceSink() = default;
};

// Why a run of vectors stopped before its end. Every vector before `vector`
// was applied and handed to the sink; `vector` itself changed nothing (or,
// for a circuit that did not settle or an interrupt, was cut short).
struct VectorFault {
  std::size_t vector = 0;
  std::optional<std::uint32_t> position;  // the bus at fault, if one is
  std::string message;
  bool interrupted = false;
  bool stopped_by_sink = false;  // after `vector` was applied
  std::string detail = {};       // Error::detail of the failure
};

// The fault of a run that the sink stopped after `vector`.
VectorFault stopped_by_sink(std::size_t vector);
// The fault of a run interrupted before `vector`.
VectorFault interrupted_at(std::size_t vector);
// The fault of vector `vector` when `status` is a failure.
std::optional<VectorFault> fault_of(std::size_t vector, const Status& status);

}  // namespace nimbo
