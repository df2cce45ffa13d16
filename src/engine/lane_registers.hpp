// Registers over lane words, for the runners that hold one sequence or copy
// per lane (sequence_lanes, reactive_lanes): a register bit as lanes hold it,
// and the rounds of asynchronous resets and asynchronous memory reads of
// register_rules.hpp and memory_rules.hpp, lane word by lane word. The
// loops over register bits take the lane words per signal as a template
// argument (lane_words.hpp): a caller dispatches once per edge.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "engine/lane_memories.hpp"
#include "engine/lane_pass.hpp"
#include "engine/memory_rules.hpp"
#include "engine/register_rules.hpp"
#include "engine/registers.hpp"

namespace nimbo {

// A register bit as lanes hold it: the signals of its q, d, enable and
// asynchronous reset (a register without an enable reads the signal of all
// ones, one without a reset the signal of all zeros), and the mask of its
// reset value.
struct LaneRegisterBit {
  LanePass::Signal q, d, enable, reset;
  Word reset_value;
};

// Bit `bit` of `reg` in `lanes`.
LaneRegisterBit lane_register_bit(const LanePass& lanes, const Register& reg, std::size_t bit);

// What the lanes of `bits` take at their edge, kWords words per bit into
// `captured`, which the result points past. Without kEnable (kReset) the
// bits have no enable (reset) and those signals are not read. With kKeep,
// the lanes out of `keep` (kWords words) keep their q.
template <std::size_t kWords, bool kEnable, bool kReset, bool kKeep = false>
Word* capture_lane_bits(const LanePass& lanes, std::span<const LaneRegisterBit> bits,
                        const Word* keep, Word* captured) noexcept {
  const Word* all = lanes.lanes(0);
  for (const LaneRegisterBit& bit : bits) {
    const Word* q = all + bit.q * kWords;
    const Word* d = all + bit.d * kWords;
    const Word* enable = all + bit.enable * kWords;
    const Word* reset = all + bit.reset * kWords;
    for (std::size_t w = 0; w < kWords; ++w) {
      Word next = next_q(q[w], d[w], kEnable ? enable[w] : ~Word{0}, kReset ? reset[w] : Word{0},
                         bit.reset_value);
      if constexpr (kKeep) next = (next & keep[w]) | (q[w] & ~keep[w]);
      captured[w] = next;
    }
    captured += kWords;
  }
  return captured;
}

// Writes what the lanes of `bits` take at their edge into their q's at
// once, as capture_lane_bits and store_lane_bits would: for bits whose d,
// enable and reset are no q that the same edge writes.
template <std::size_t kWords, bool kEnable, bool kReset>
void update_lane_bits(LanePass& lanes, std::span<const LaneRegisterBit> bits) noexcept {
  Word* all = lanes.lanes(0);
  for (const LaneRegisterBit& bit : bits) {
    Word* q = all + bit.q * kWords;
    const Word* d = all + bit.d * kWords;
    const Word* enable = all + bit.enable * kWords;
    const Word* reset = all + bit.reset * kWords;
    for (std::size_t w = 0; w < kWords; ++w) {
      q[w] = next_q(q[w], d[w], kEnable ? enable[w] : ~Word{0}, kReset ? reset[w] : Word{0},
                    bit.reset_value);
    }
  }
}

// Writes what capture_lane_bits took into the q's of `bits`; the result
// points past what was read.
template <std::size_t kWords>
const Word* store_lane_bits(LanePass& lanes, std::span<const LaneRegisterBit> bits,
                            const Word* captured) noexcept {
  Word* all = lanes.lanes(0);
  for (const LaneRegisterBit& bit : bits) {
    Word* q = all + bit.q * kWords;
    for (std::size_t w = 0; w < kWords; ++w) q[w] = captured[w];
    captured += kWords;
  }
  return captured;
}

// Settles the asynchronous parts of the `live` lanes: `reset_bits` are the
// bits of the registers with a reset, in register order; `memories` those of
// the lanes, or null when none has an asynchronous part. A round reads every
// reset, q and read port before it writes. When they do not settle,
// `changed` holds the lanes that still changed in the last round. `flips` is
// room the rounds reuse.
Status settle_lane_resets(LanePass& lanes, std::span<const LaneRegisterBit> reset_bits,
                          LaneMemories* memories, const AsyncParts& parts,
                          std::span<const Word> live, std::span<Word> changed,
                          std::vector<Word>& flips);

}  // namespace nimbo
