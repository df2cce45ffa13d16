#include "engine/lane_registers.hpp"

#include <algorithm>

#include "engine/lane_words.hpp"

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
  flips.resize(reset_bits.size() * lanes.lane_words());
  return with_lane_words(lanes.lane_words(), [&](auto words) {
    constexpr std::size_t kWords = decltype(words)::value;
    // A round's writes are the flips of the q bits of the live lanes,
    // register by register, and those of the read data.
    const auto round = [&] {
      std::fill(changed.begin(), changed.end(), Word{0});
      Word live_words[kWords];
      std::copy_n(live.begin(), kWords, live_words);
      Word changed_words[kWords] = {};
      const Word* all = lanes.lanes(0);
      Word* flip = flips.data();
      for (const LaneRegisterBit& bit : reset_bits) {
        const Word* q = all + bit.q * kWords;
        const Word* reset = all + bit.reset * kWords;
        for (std::size_t w = 0; w < kWords; ++w) {
          flip[w] = held_q(q[w], reset[w] & live_words[w], bit.reset_value) ^ q[w];
          changed_words[w] |= flip[w];
        }
        flip += kWords;
      }
      Word any = 0;
      for (std::size_t w = 0; w < kWords; ++w) {
        changed[w] = changed_words[w];
        any |= changed_words[w];
      }
      const bool read_flips = memories != nullptr && memories->async_round(lanes, live, changed);
      return any != 0 || read_flips;
    };
    const auto update = [&] {
      Word* all = lanes.lanes(0);
      const Word* flip = flips.data();
      for (const LaneRegisterBit& bit : reset_bits) {
        Word* q = all + bit.q * kWords;
        for (std::size_t w = 0; w < kWords; ++w) q[w] ^= flip[w];
        flip += kWords;
      }
      if (memories != nullptr) memories->flip(lanes);
      lanes.run();
      return ok_status();
    };
    return settle_async_parts(parts, round, update);
  });
}

}  // namespace nimbo
