#include "engine/lane_memories.hpp"

#include <algorithm>
#include <bit>

#include "engine/bit_matrix.hpp"
#include "engine/memory_rules.hpp"

namespace nimbo {

namespace {

std::vector<LanePass::Signal> signals_of(const LanePass& lanes, const BitList& list) {
  std::vector<LanePass::Signal> signals;
  if (list.size() == 1) {
    const auto all = lanes.signals(list[0]);
    signals.assign(all.begin(), all.end());
    return signals;
  }
  for (const std::uint32_t position : list) signals.push_back(lanes.signals(position)[0]);
  return signals;
}

std::vector<Word> masks_of(const BitBusValue& value) {
  std::vector<Word> masks(value.width());
  for (std::size_t b = 0; b < value.width(); ++b) masks[b] = level_mask(value.bit(b));
  return masks;
}

}  // namespace

LaneMemories::LaneMemories(const Memories& memories, const LanePass& lanes, bool copy_every)
    : async_parts_(memories.async_parts),
      lane_words_(lanes.lane_words()),
      block_(lanes.block_size()) {
  std::size_t widest = 1;
  const auto signal_of = [&](const std::optional<std::uint32_t>& position, Signal absent) {
    return position ? lanes.signals(*position)[0] : absent;
  };
  for (std::size_t m = 0; m < memories.list.size(); ++m) {
    const nimbo::Memory& resolved = memories.list[m];
    Memory& memory = memories_.emplace_back();
    memory.index = m;
    memory.words = resolved.words;
    memory.offset = resolved.offset;
    memory.stride = resolved.stride;
    memory.width = resolved.width;
    memory.copied = copy_every || !resolved.write_ports.empty();
    widest = std::max(widest, resolved.stride);
    for (const MemoryReadPort& port : resolved.read_ports) {
      ReadPort& read = memory.reads.emplace_back();
      read.address = signals_of(lanes, port.address);
      read.data = signals_of(lanes, port.data);
      read.synchronous = port.synchronous();
      read.edge = port.edge;
      read.enable = signal_of(port.enable, LanePass::kAllOne);
      read.async_reset = signal_of(port.async_reset, LanePass::kAllZero);
      read.sync_reset = signal_of(port.sync_reset, LanePass::kAllZero);
      read.enable_over_reset = port.enable_over_reset;
      read.async_value = masks_of(port.async_reset_value);
      read.sync_value = masks_of(port.sync_reset_value);
      read.transparent = port.transparent;
    }
    for (const MemoryWritePort& port : resolved.write_ports) {
      WritePort& write = memory.writes.emplace_back();
      write.address = signals_of(lanes, port.address);
      write.data = signals_of(lanes, port.data);
      if (port.enable.empty()) {
        write.enable.assign(resolved.width, LanePass::kAllOne);
      } else {
        write.enable = signals_of(lanes, port.enable);
      }
      write.edge = port.edge;
      write.at.assign(block_, 0);
      write.data_units.assign(block_ * resolved.stride, 0);
      write.enable_units.assign(block_ * resolved.stride, 0);
    }
  }
  found_.assign(64 * widest, 0);
}

std::size_t LaneMemories::bytes_per_lane(const Memories& memories, bool copy_every) {
  std::size_t bytes = 0;
  for (const nimbo::Memory& memory : memories.list) {
    if (copy_every || !memory.write_ports.empty())
      bytes += memory.words * memory.stride * sizeof(Word);
  }
  return bytes;
}

bool LaneMemories::any_of(Edge edge) const noexcept {
  for (const Memory& memory : memories_) {
    for (const ReadPort& port : memory.reads) {
      if (port.synchronous && port.edge == edge) return true;
    }
    for (const WritePort& port : memory.writes) {
      if (port.edge == edge) return true;
    }
  }
  return false;
}

void LaneMemories::start(const MemoryWords& words) {
  for (Memory& memory : memories_) {
    const auto initial = words.of(memory.index);
    if (!memory.copied) {
      memory.shared = initial.data();
      continue;
    }
    memory.lane_words.resize(block_ * initial.size());
    for (std::size_t lane = 0; lane < block_; ++lane) {
      std::copy(initial.begin(), initial.end(),
                memory.lane_words.begin() + static_cast<std::ptrdiff_t>(lane * initial.size()));
    }
  }
}

void LaneMemories::load(const MemoryWords& words, std::span<const Word> live) {
  for (Memory& memory : memories_) {
    const auto initial = words.of(memory.index);
    if (!memory.copied) {
      memory.shared = initial.data();
      continue;
    }
    memory.lane_words.resize(block_ * initial.size());
    for (std::size_t w = 0; w < lane_words_ && w < live.size(); ++w) {
      for (Word left = live[w]; left != 0; left &= left - 1) {
        const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
        std::copy(initial.begin(), initial.end(),
                  memory.lane_words.begin() + static_cast<std::ptrdiff_t>(lane * initial.size()));
      }
    }
  }
}

void LaneMemories::gather(const LanePass& lanes, std::span<const Signal> bits, std::size_t w) {
  std::fill(std::begin(numbers_), std::end(numbers_), Word{0});
  for (std::size_t i = 0; i < bits.size(); ++i) numbers_[i] = lanes.lanes(bits[i])[w];
  transpose_bits(numbers_);
}

void LaneMemories::gather_unit(const LanePass& lanes, std::span<const Signal> bits,
                               std::size_t unit, std::size_t w) {
  std::fill(std::begin(numbers_), std::end(numbers_), Word{0});
  const std::size_t end = std::min(bits.size(), (unit + 1) * 64);
  for (std::size_t b = unit * 64; b < end; ++b) numbers_[b - unit * 64] = lanes.lanes(bits[b])[w];
  transpose_bits(numbers_);
}

void LaneMemories::fetch(const Memory& memory, std::size_t w, Word live) {
  const std::size_t stride = memory.stride;
  std::fill_n(found_.begin(), 64 * stride, Word{0});
  for (Word left = live; left != 0; left &= left - 1) {
    const auto lane = static_cast<std::size_t>(std::countr_zero(left));
    const auto index = word_index(memory.offset, memory.words, numbers_[lane]);
    if (!index) continue;
    const Word* word = words_of(memory, w * 64 + lane) + *index * stride;
    std::copy_n(word, stride, found_.begin() + static_cast<std::ptrdiff_t>(lane * stride));
  }
}

void LaneMemories::scatter_unit(const Memory& memory, std::size_t unit) {
  for (std::size_t lane = 0; lane < 64; ++lane) bits_[lane] = found_[lane * memory.stride + unit];
  transpose_bits(bits_);
}

bool LaneMemories::async_round(const LanePass& lanes, std::span<const Word> live,
                               std::span<Word> changed) {
  targets_.clear();
  target_words_.clear();
  target_lanes_.clear();
  Word any = 0;
  const auto note = [&](Signal signal, std::size_t w, Word flip) {
    if (flip == 0) return;
    targets_.push_back(signal);
    target_lanes_.push_back(static_cast<std::uint32_t>(w));
    target_words_.push_back(flip);
    changed[w] |= flip;
    any |= flip;
  };
  for (const Memory& memory : memories_) {
    for (const ReadPort& port : memory.reads) {
      if (port.synchronous) {
        if (port.async_reset == LanePass::kAllZero) continue;
        for (std::size_t w = 0; w < lane_words_; ++w) {
          const Word reset = lanes.lanes(port.async_reset)[w] & live[w];
          if (reset == 0) continue;
          for (std::size_t b = 0; b < port.data.size(); ++b) {
            const Word now = lanes.lanes(port.data[b])[w];
            note(port.data[b], w, (now ^ port.async_value[b]) & reset);
          }
        }
        continue;
      }
      for (std::size_t w = 0; w < lane_words_; ++w) {
        if (live[w] == 0) continue;
        gather(lanes, port.address, w);
        fetch(memory, w, live[w]);
        for (std::size_t unit = 0; unit < memory.stride; ++unit) {
          scatter_unit(memory, unit);
          const std::size_t end = std::min(port.data.size(), (unit + 1) * 64);
          for (std::size_t b = unit * 64; b < end; ++b) {
            const Word now = lanes.lanes(port.data[b])[w];
            note(port.data[b], w, (now ^ bits_[b - unit * 64]) & live[w]);
          }
        }
      }
    }
  }
  return any != 0;
}

void LaneMemories::flip(LanePass& lanes) const {
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    lanes.lanes(targets_[i])[target_lanes_[i]] ^= target_words_[i];
  }
}

void LaneMemories::edge(const LanePass& lanes, Edge edge, std::span<const Word> live) {
  targets_.clear();
  target_words_.clear();
  target_lanes_.clear();
  for (Memory& memory : memories_) {
    const std::size_t stride = memory.stride;
    for (WritePort& port : memory.writes) {
      if (port.edge != edge) continue;
      for (std::size_t w = 0; w < lane_words_; ++w) {
        if (live[w] == 0) continue;
        gather(lanes, port.address, w);
        std::copy_n(numbers_, 64, port.at.begin() + static_cast<std::ptrdiff_t>(w * 64));
        for (std::size_t unit = 0; unit < stride; ++unit) {
          gather_unit(lanes, port.data, unit, w);
          for (std::size_t lane = 0; lane < 64; ++lane) {
            port.data_units[(w * 64 + lane) * stride + unit] = numbers_[lane];
          }
          gather_unit(lanes, port.enable, unit, w);
          for (std::size_t lane = 0; lane < 64; ++lane) {
            port.enable_units[(w * 64 + lane) * stride + unit] = numbers_[lane];
          }
        }
      }
    }
    for (const ReadPort& port : memory.reads) {
      if (!port.synchronous || port.edge != edge) continue;
      for (std::size_t w = 0; w < lane_words_; ++w) {
        if (live[w] == 0) continue;
        gather(lanes, port.address, w);
        Word addresses[64];
        std::copy_n(numbers_, 64, addresses);
        fetch(memory, w, live[w]);
        for (const std::uint32_t t : port.transparent) {
          const WritePort& writer = memory.writes[t];
          for (Word left = live[w]; left != 0; left &= left - 1) {
            const auto lane = static_cast<std::size_t>(std::countr_zero(left));
            const std::size_t at = w * 64 + lane;
            if (writer.at[at] != addresses[lane]) continue;
            for (std::size_t unit = 0; unit < stride; ++unit) {
              Word& word = found_[lane * stride + unit];
              word = written_word(word, writer.data_units[at * stride + unit],
                                  writer.enable_units[at * stride + unit]);
            }
          }
        }
        const Word enable = lanes.lanes(port.enable)[w];
        const Word async_reset = lanes.lanes(port.async_reset)[w];
        const Word sync_reset =
            sync_reset_mask(lanes.lanes(port.sync_reset)[w], enable, port.enable_over_reset);
        for (std::size_t unit = 0; unit < stride; ++unit) {
          scatter_unit(memory, unit);
          const std::size_t end = std::min(port.data.size(), (unit + 1) * 64);
          for (std::size_t b = unit * 64; b < end; ++b) {
            const Word now = lanes.lanes(port.data[b])[w];
            const Word next = next_read(now, bits_[b - unit * 64], enable, async_reset,
                                        port.async_value[b], sync_reset, port.sync_value[b]);
            targets_.push_back(port.data[b]);
            target_lanes_.push_back(static_cast<std::uint32_t>(w));
            target_words_.push_back((now & ~live[w]) | (next & live[w]));
          }
        }
      }
    }
  }
  // The words, each lane's own, the later write port over an earlier one.
  for (Memory& memory : memories_) {
    const std::size_t stride = memory.stride;
    for (const WritePort& port : memory.writes) {
      if (port.edge != edge) continue;
      for (std::size_t w = 0; w < lane_words_; ++w) {
        for (Word left = live[w]; left != 0; left &= left - 1) {
          const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
          const auto index = word_index(memory.offset, memory.words, port.at[lane]);
          if (!index) continue;
          Word* word = memory.lane_words.data() + (lane * memory.words + *index) * stride;
          for (std::size_t unit = 0; unit < stride; ++unit) {
            word[unit] = written_word(word[unit], port.data_units[lane * stride + unit],
                                      port.enable_units[lane * stride + unit]);
          }
        }
      }
    }
  }
}

void LaneMemories::store(LanePass& lanes) const {
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    lanes.lanes(targets_[i])[target_lanes_[i]] = target_words_[i];
  }
}

}  // namespace nimbo
