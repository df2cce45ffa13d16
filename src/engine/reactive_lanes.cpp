#include "engine/reactive_lanes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "engine/bit_matrix.hpp"
#include "engine/lane_words.hpp"
#include "engine/messages.hpp"
#include "engine/register_rules.hpp"

namespace nimbo {
namespace {

constexpr std::size_t kMaxWords = LanePass::kMaxLaneWords;
// Up to this many signals, write and read move bits lane by lane instead of
// transposing 64 x 64 bits.
constexpr std::size_t kBitByBit = 16;

}  // namespace

ReactiveLanes::ReactiveLanes(const Circuit& circuit, const Registers& registers,
                             const Memories& memories, std::size_t count)
    : circuit_(circuit),
      registers_(registers),
      count_(std::max<std::size_t>(count, 1)),
      async_parts_(registers.list.size(), memories),
      clocked_(!registers.empty() || !memories.empty()) {
  auto first = std::make_unique<LanePass>(circuit.graph, circuit.schedule, *circuit.plan);
  first->fit(count_);
  block_lanes_ = first->block_size();
  const std::size_t blocks = (count_ + block_lanes_ - 1) / block_lanes_;
  blocks_.push_back(std::move(first));
  while (blocks_.size() < blocks) blocks_.push_back(std::make_unique<LanePass>(*blocks_.front()));
  if (!memories.empty()) {
    // The words themselves come with load().
    for (const auto& block : blocks_) memories_.emplace_back(memories, *block, true);
    // Saturated: a count too large for the budget must not wrap around it.
    const std::size_t per_lane = LaneMemories::bytes_per_lane(memories, true);
    const std::size_t lanes_held = blocks * block_lanes_;
    memory_bytes_ =
        per_lane != 0 && lanes_held > SIZE_MAX / per_lane ? SIZE_MAX : lanes_held * per_lane;
  }

  const LanePass& lanes = *blocks_.front();
  for (const Register& reg : registers_.list) {
    for (std::size_t b = 0; b < lanes.signals(reg.q).size(); ++b) {
      const LaneRegisterBit bit = lane_register_bit(lanes, reg, b);
      edge_bits_[reg.edge == Edge::kPosedge ? 0 : 1].push_back(bit);
      if (reg.async_reset) reset_bits_.push_back(bit);
    }
  }
  for (const std::uint32_t clock : registers_.clocks) {
    clock_signals_.push_back(lanes.signals(clock)[0]);
  }
}

ReactiveLanes::~ReactiveLanes() = default;

void ReactiveLanes::block_mask(std::span<const Word> mask, std::size_t block, Word* live) const {
  const std::size_t words = blocks_[block]->lane_words();
  const std::size_t first = block * block_lanes_ / 64;
  for (std::size_t w = 0; w < words; ++w) {
    live[w] = first + w < mask.size() ? mask[first + w] : Word{0};
  }
}

void ReactiveLanes::load(std::span<const BitBusValue> values, const MemoryWords& words,
                         std::span<const Word> mask) {
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    LanePass& lanes = *blocks_[b];
    Word live[kMaxWords] = {};
    block_mask(mask, b, live);
    if (!memories_.empty())
      memories_[b].load(words, std::span<const Word>(live, lanes.lane_words()));
    for (const std::uint32_t position : circuit_.inputs) {
      const auto bits = lanes.signals(position);
      const BitBusValue& value = values[position];
      for (std::size_t i = 0; i < bits.size() && i < value.width(); ++i) {
        Word* words = lanes.lanes(bits[i]);
        const Word level = level_mask(value.bit(i));
        for (std::size_t w = 0; w < lanes.lane_words(); ++w) {
          words[w] = (words[w] & ~live[w]) | (level & live[w]);
        }
      }
    }
    lanes.run();
  }
}

void ReactiveLanes::write(std::span<const Signal> signals, const Word* values,
                          std::span<const Word> mask) {
  std::array<Word, 64> rows{};
  for (std::size_t group = 0; group < mask_words(); ++group) {
    const Word live = mask[group];
    if (live == 0) continue;
    const std::size_t first = group * 64;
    const std::size_t lanes_here = std::min<std::size_t>(64, count_ - first);
    if (signals.size() <= kBitByBit) {
      // A narrow port: its bits lane by lane cost less than a transpose.
      LanePass& lanes = *blocks_[first / block_lanes_];
      const std::size_t word = (first % block_lanes_) / 64;
      for (std::size_t i = 0; i < signals.size(); ++i) {
        if (signals[i] == LanePass::kNoSignal) continue;
        Word bits = 0;
        for (std::size_t l = 0; l < lanes_here; ++l) bits |= ((values[first + l] >> i) & 1U) << l;
        Word& target = lanes.lanes(signals[i])[word];
        target = (target & ~live) | (bits & live);
      }
      continue;
    }
    std::copy_n(values + first, lanes_here, rows.begin());
    std::fill(rows.begin() + static_cast<std::ptrdiff_t>(lanes_here), rows.end(), Word{0});
    transpose_bits(rows);
    LanePass& lanes = *blocks_[first / block_lanes_];
    const std::size_t word = (first % block_lanes_) / 64;
    for (std::size_t i = 0; i < signals.size(); ++i) {
      if (signals[i] == LanePass::kNoSignal) continue;
      Word& target = lanes.lanes(signals[i])[word];
      target = (target & ~live) | (rows[i] & live);
    }
  }
}

void ReactiveLanes::read(std::span<const Signal> signals, Word* values) const {
  std::array<Word, 64> rows{};
  for (std::size_t group = 0; group < mask_words(); ++group) {
    const std::size_t first = group * 64;
    const LanePass& lanes = *blocks_[first / block_lanes_];
    const std::size_t word = (first % block_lanes_) / 64;
    const std::size_t lanes_here = std::min<std::size_t>(64, count_ - first);
    if (signals.size() <= kBitByBit) {
      std::array<Word, kBitByBit> bits{};
      for (std::size_t i = 0; i < signals.size(); ++i) bits[i] = lanes.lanes(signals[i])[word];
      for (std::size_t l = 0; l < lanes_here; ++l) {
        Word value = 0;
        for (std::size_t i = 0; i < signals.size(); ++i) value |= ((bits[i] >> l) & 1U) << i;
        values[first + l] = value;
      }
      continue;
    }
    for (std::size_t i = 0; i < 64; ++i) {
      rows[i] = i < signals.size() ? lanes.lanes(signals[i])[word] : Word{0};
    }
    transpose_bits(rows);
    std::copy_n(rows.begin(), std::min<std::size_t>(64, count_ - first), values + first);
  }
}

void ReactiveLanes::resets(std::size_t block, std::span<Word> live, std::size_t first,
                           std::vector<std::size_t>& failed) {
  LanePass& lanes = *blocks_[block];
  LaneMemories* memories = memories_.empty() ? nullptr : &memories_[block];
  if (memories != nullptr && !memories->async_parts()) memories = nullptr;
  if (reset_bits_.empty() && memories == nullptr) return;
  const std::size_t words = lanes.lane_words();
  Word changed[kMaxWords] = {};
  if (settle_lane_resets(lanes, reset_bits_, memories, async_parts_, live,
                         std::span<Word>(changed, words), captured_)
          .ok()) {
    return;
  }
  // The lanes that still changed in the last round did not settle.
  for (std::size_t w = 0; w < words; ++w) {
    for (Word left = changed[w]; left != 0; left &= left - 1) {
      failed.push_back(first + w * 64 + static_cast<std::size_t>(std::countr_zero(left)));
    }
    live[w] &= ~changed[w];
  }
}

void ReactiveLanes::edge(std::size_t block, Edge edge, std::span<Word> live, std::size_t first,
                         std::vector<std::size_t>& failed) {
  LanePass& lanes = *blocks_[block];
  LaneMemories* memories = memories_.empty() ? nullptr : &memories_[block];
  const bool level = edge == Edge::kPosedge;
  const auto write_clocks = [&] {
    for (const Signal clock : clock_signals_) lanes.fill(clock, 0, lanes.block_size(), level);
  };
  if (!registers_.any_of(edge) && (memories == nullptr || !memories->any_of(edge)) &&
      !circuit_.clocks_read) {
    // Nothing reads the clocks and no register or memory port takes this
    // edge: only the clocks change, and a pass would give every lane what it
    // holds.
    write_clocks();
    return;
  }
  const std::vector<LaneRegisterBit>& bits = edge_bits_[edge == Edge::kPosedge ? 0 : 1];
  // Everything the edge writes is read before anything is written; the
  // lanes out of `live` keep their q's.
  captured_.resize(bits.size() * lanes.lane_words());
  with_lane_words(lanes.lane_words(), [&](auto words) {
    capture_lane_bits<decltype(words)::value, true, true, true>(lanes, bits, live.data(),
                                                                captured_.data());
  });
  if (memories != nullptr) memories->edge(lanes, edge, live);
  write_clocks();
  if (memories != nullptr) memories->store(lanes);
  with_lane_words(lanes.lane_words(), [&](auto words) {
    store_lane_bits<decltype(words)::value>(lanes, bits, captured_.data());
  });
  lanes.run();
  resets(block, live, first, failed);
}

void ReactiveLanes::settle(std::span<const Word> mask, std::vector<std::size_t>& failed) {
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    Word live_words[kMaxWords] = {};
    block_mask(mask, b, live_words);
    LanePass& lanes = *blocks_[b];
    const std::span<Word> live(live_words, lanes.lane_words());
    if (std::all_of(live.begin(), live.end(), [](Word w) { return w == 0; })) continue;
    lanes.run();
    resets(b, live, b * block_lanes_, failed);
  }
}

void ReactiveLanes::step(std::span<const Word> mask, std::vector<std::size_t>& failed) {
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    Word live_words[kMaxWords] = {};
    block_mask(mask, b, live_words);
    LanePass& lanes = *blocks_[b];
    const std::span<Word> live(live_words, lanes.lane_words());
    if (std::all_of(live.begin(), live.end(), [](Word w) { return w == 0; })) continue;
    const std::size_t first = b * block_lanes_;
    // The clocks are 0 between calls: the step's first update is a pass.
    lanes.run();
    resets(b, live, first, failed);
    if (!clocked_) continue;
    edge(b, Edge::kPosedge, live, first, failed);
    edge(b, Edge::kNegedge, live, first, failed);
  }
  std::sort(failed.begin(), failed.end());
}

}  // namespace nimbo
