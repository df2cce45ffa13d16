// PackedVectors: vectors as bit-string texts kept in a few bytes a write,
// for runs that hold many long sequences at once (run_sequences_jsonl), and
// TextSequences, the sequences such runs step through.
//
// A TextVectors write is a position and a view of its text (24 bytes); a
// port of 32 one-bit busses written as a number makes 32 of them from a few
// characters. Packed, a write is one byte when its bus follows the previous
// write's and its text is one bit, and the bits of longer texts of 0s and
// 1s take one bit each; any other text is kept as written, so that a step
// refuses it with the message it would give the unpacked vectors. A step
// unpacks its writes into a reused room just before it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/vectors.hpp"

namespace nimbo {

// Where a vector is unpacked: its writes, whose texts view `chars`. Valid
// until the room is used again.
struct UnpackedWrites {
  std::vector<PositionInput> writes;
  std::string chars;
};

class PackedVectors {
 public:
  PackedVectors() = default;
  explicit PackedVectors(const TextVectors& vectors) { append(vectors); }

  // Appends every vector of `vectors`, in order.
  void append(const TextVectors& vectors);
  // Gives back the room that growing left unused.
  void shrink_to_fit();

  std::size_t size() const noexcept { return ends_.size(); }
  // The bytes held.
  std::size_t held() const noexcept {
    return bytes_.capacity() + ends_.capacity() * sizeof(std::size_t);
  }
  // The writes of vector `vector`, as the TextVectors packed had them.
  std::span<const PositionInput> of(std::size_t vector, UnpackedWrites& room) const;

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> ends_;  // of each vector in bytes_
};

// Sequences of steps as texts, each run from the same start.
struct TextSequences {
  std::span<const PackedVectors> sequences;

  std::size_t count() const noexcept { return sequences.size(); }
  std::size_t length(std::size_t sequence) const { return sequences[sequence].size(); }
  std::span<const PositionInput> of(std::size_t sequence, std::size_t step,
                                    UnpackedWrites& room) const {
    return sequences[sequence].of(step, room);
  }
};

}  // namespace nimbo
