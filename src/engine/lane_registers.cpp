#include "engine/lane_registers.hpp"

#include <algorithm>

#include "engine/register_rules.hpp"

namespace nimbo {

LaneRegisterBit lane_register_bit(const LanePass& lanes, const Register& reg, std::size_t bit) {
  const auto signal_of = [&](const std::optional<std::uint32_t>& position,
                             LanePass::Signal absent) {
    return position ? lanes.signals(*position)[0] : absent;
  };
  return {lanes.signals(reg.q)[bit], lanes.signals(reg.d)[bit],
          signal_of(reg.enable, LanePass::kAllOne), signal_of(reg.async_reset, LanePass::kAllZero),
          level_mask(reg.reset_value.bit(bit))};
}

Status settle_lane_resets(LanePass& lanes, std::span<const LaneRegisterBit> reset_bits,
                          LaneMemories* memories, const AsyncParts& parts,
                          std::span<const Word> live, std::span<Word> changed,
                          std::vector<Word>& flips) {
  const std::size_t words = lanes.lane_words();
  // A round's writes are the flips of the q bits of the live lanes, register
  // by register, and those of the read data.
  const auto round = [&] {
    std::fill(changed.begin(), changed.end(), Word{0});
    flips.clear();
    Word any = 0;
    for (const LaneRegisterBit& bit : reset_bits) {
      const Word* q = lanes.lanes(bit.q);
      const Word* reset = lanes.lanes(bit.reset);
      for (std::size_t w = 0; w < words; ++w) {
        const Word flip = held_q(q[w], reset[w] & live[w], bit.reset_value) ^ q[w];
        flips.push_back(flip);
        changed[w] |= flip;
        any |= flip;
      }
    }
    const bool read_flips = memories != nullptr && memories->async_round(lanes, live, changed);
    return any != 0 || read_flips;
  };
  const auto update = [&] {
    const Word* flip = flips.data();
    for (const LaneRegisterBit& bit : reset_bits) {
      Word* q = lanes.lanes(bit.q);
      for (std::size_t w = 0; w < words; ++w) q[w] ^= *flip++;
    }
    if (memories != nullptr) memories->flip(lanes);
    lanes.run();
    return ok_status();
  };
  return settle_async_parts(parts, round, update);
}

}  // namespace nimbo
