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
  // Room for a flip record per bit: its index in reset_bits, then its words.
  flips.resize(reset_bits.size() * (lanes.lane_words() + 1));
  std::size_t flipped_end = 0;  // of the records of the last round
  return with_lane_words(lanes.lane_words(), [&](auto words) {
    constexpr std::size_t kWords = decltype(words)::value;
    // A round's writes are the flips of the q bits of the live lanes,
    // register by register, and those of the read data. Only the bits that
    // flip are recorded; a reset asserted in no live lane flips none of its
    // bits, which sit side by side, so its next bits are passed over.
    const auto round = [&] {
      std::fill(changed.begin(), changed.end(), Word{0});
      Word live_words[kWords];
      std::copy_n(live.begin(), kWords, live_words);
      Word changed_words[kWords] = {};
      const Word* all = lanes.lanes(0);
      Word* record = flips.data();
      LanePass::Signal quiet = LanePass::kNoSignal;  // a reset asserted in no live lane
      for (std::size_t i = 0; i < reset_bits.size(); ++i) {
        const LaneRegisterBit& bit = reset_bits[i];
        if (bit.reset == quiet) continue;
        const Word* reset = all + bit.reset * kWords;
        Word asserted[kWords];
        Word any_asserted = 0;
        for (std::size_t w = 0; w < kWords; ++w) {
          asserted[w] = reset[w] & live_words[w];
          any_asserted |= asserted[w];
        }
        if (any_asserted == 0) {
          quiet = bit.reset;
          continue;
        }
        const Word* q = all + bit.q * kWords;
        Word any_flip = 0;
        for (std::size_t w = 0; w < kWords; ++w) {
          record[1 + w] = held_q(q[w], asserted[w], bit.reset_value) ^ q[w];
          any_flip |= record[1 + w];
        }
        if (any_flip == 0) continue;
        record[0] = i;
        for (std::size_t w = 0; w < kWords; ++w) changed_words[w] |= record[1 + w];
        record += kWords + 1;
      }
      flipped_end = static_cast<std::size_t>(record - flips.data());
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
      for (const Word* record = flips.data(); record != flips.data() + flipped_end;
           record += kWords + 1) {
        Word* q = all + reset_bits[record[0]].q * kWords;
        for (std::size_t w = 0; w < kWords; ++w) q[w] ^= record[1 + w];
      }
      if (memories != nullptr) memories->flip(lanes);
      lanes.run();
      return ok_status();
    };
    return settle_async_parts(parts, round, update);
  });
}

}  // namespace nimbo
