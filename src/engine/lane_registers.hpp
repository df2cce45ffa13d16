// Registers over lane words, for the runners that hold one sequence or copy
// per lane (sequence_lanes, reactive_lanes): a register bit as lanes hold it,
// and the rounds of asynchronous resets and asynchronous memory reads of
// register_rules.hpp and memory_rules.hpp, lane word by lane word.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "engine/lane_memories.hpp"
#include "engine/lane_pass.hpp"
#include "engine/memory_rules.hpp"
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
