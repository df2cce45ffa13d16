#include "engine/memory_cycles.hpp"

#include <algorithm>

#include "engine/cycles.hpp"
#include "engine/memory_rules.hpp"

namespace nimbo {
namespace {

std::size_t units_for(std::size_t width) {
  return BitBusValue::words_for(width);
}

// The units of the word at `address`, or zeros outside the memory.
void word_at(const Memory& memory, const MemoryWords& words, std::size_t m, std::uint64_t address,
             std::vector<Word>& word) {
  word.assign(memory.stride, 0);
  if (const auto index = word_index(memory, address)) {
    const auto units = words.of(m).subspan(*index * memory.stride, memory.stride);
    std::copy(units.begin(), units.end(), word.begin());
  }
}

}  // namespace

void MemoryCycles::read_list(PlainUpdates& updates, const BitList& list, std::vector<Word>& units) {
  if (list.size() == 1) {
    updates.read(list[0], scratch_);
    units.assign(scratch_.data(), scratch_.data() + scratch_.word_count());
    return;
  }
  units.assign(units_for(list.size()), 0);
  for (std::size_t b = 0; b < list.size(); ++b) {
    updates.read(list[b], scratch_);
    units[b / 64] |= Word{scratch_.bit(0)} << (b % 64);
  }
}

bool MemoryCycles::reads_high(PlainUpdates& updates, std::uint32_t position) {
  updates.read(position, scratch_);
  return is_high(scratch_);
}

std::uint64_t MemoryCycles::address(PlainUpdates& updates, const BitList& list) {
  read_list(updates, list, units_);
  return units_[0];
}

void MemoryCycles::start(const Memories& memories) {
  // As many values as there are read data busses: `writes` points into
  // them, so they never move while a round or an edge hands them out.
  std::size_t data_busses = 0;
  for (const Memory& memory : memories.list) {
    for (const MemoryReadPort& port : memory.read_ports) data_busses += port.data.size();
  }
  if (values_.size() < data_busses) values_.resize(data_busses);
  used_ = 0;
}

void MemoryCycles::put(const BitList& list, std::size_t width, const std::vector<Word>& units,
                       std::vector<ValueWrite>& writes) {
  if (list.size() == 1) {
    BitBusValue& value = values_[used_++];
    value.resize_for_overwrite(width);
    std::copy_n(units.begin(), value.word_count(), value.data());
    writes.push_back({list[0], &value});
    return;
  }
  for (std::size_t b = 0; b < list.size(); ++b) {
    BitBusValue& value = values_[used_++];
    value.set_narrow(1, (units[b / 64] >> (b % 64)) & 1U);
    writes.push_back({list[b], &value});
  }
}

void MemoryCycles::async_round(PlainUpdates& updates, const Memories& memories,
                               const MemoryWords& words, std::vector<ValueWrite>& writes) {
  start(memories);
  for (std::size_t m = 0; m < memories.list.size(); ++m) {
    const Memory& memory = memories.list[m];
    for (const MemoryReadPort& port : memory.read_ports) {
      if (port.synchronous()) {
        if (!port.async_reset || !reads_high(updates, *port.async_reset)) continue;
        const BitBusValue& value = port.async_reset_value;
        word_.assign(value.data(), value.data() + value.word_count());
      } else {
        word_at(memory, words, m, address(updates, port.address), word_);
      }
      read_list(updates, port.data, now_);
      if (now_ != word_) put(port.data, memory.width, word_, writes);
    }
  }
}

void MemoryCycles::edge(PlainUpdates& updates, const Memories& memories, MemoryWords& words,
                        Edge edge, std::vector<ValueWrite>& writes) {
  start(memories);
  // Every port of every memory reads before any word is written.
  captured_.resize(memories.list.size());
  for (std::size_t m = 0; m < memories.list.size(); ++m) {
    const Memory& memory = memories.list[m];
    std::vector<Write>& captured = captured_[m];
    captured.resize(memory.write_ports.size());
    for (std::size_t w = 0; w < memory.write_ports.size(); ++w) {
      const MemoryWritePort& port = memory.write_ports[w];
      if (port.edge != edge) continue;
      captured[w].address = address(updates, port.address);
      read_list(updates, port.data, captured[w].data);
      if (port.enable.empty()) {
        captured[w].enable.assign(memory.stride, ~Word{0});
        captured[w].enable.back() = BitBusValue::tail_mask(memory.width);
      } else {
        read_list(updates, port.enable, captured[w].enable);
      }
    }
    for (const MemoryReadPort& port : memory.read_ports) {
      if (!port.synchronous() || port.edge != edge) continue;
      const bool async_reset = port.async_reset && reads_high(updates, *port.async_reset);
      const bool enabled = !port.enable || reads_high(updates, *port.enable);
      const bool sync_reset = port.sync_reset && reads_high(updates, *port.sync_reset) &&
                              (enabled || !port.enable_over_reset);
      if (!async_reset && !sync_reset && !enabled) continue;  // the data keeps its value
      const std::uint64_t at = address(updates, port.address);
      word_at(memory, words, m, at, word_);
      for (const std::uint32_t w : port.transparent) {
        const Write& writer = captured[w];
        if (writer.address != at) continue;
        for (std::size_t u = 0; u < memory.stride; ++u) {
          word_[u] = written_word(word_[u], writer.data[u], writer.enable[u]);
        }
      }
      read_list(updates, port.data, now_);
      for (std::size_t u = 0; u < memory.stride; ++u) {
        word_[u] = next_read(now_[u], word_[u], level_mask(enabled), level_mask(async_reset),
                             port.async_reset_value.data()[u], level_mask(sync_reset),
                             port.sync_reset_value.data()[u]);
      }
      put(port.data, memory.width, word_, writes);
    }
  }
  // The words, the later write port over an earlier one.
  for (std::size_t m = 0; m < memories.list.size(); ++m) {
    const Memory& memory = memories.list[m];
    for (std::size_t w = 0; w < memory.write_ports.size(); ++w) {
      if (memory.write_ports[w].edge != edge) continue;
      const Write& writer = captured_[m][w];
      const auto index = word_index(memory, writer.address);
      if (!index) continue;
      Word* word = words.of(m).data() + *index * memory.stride;
      for (std::size_t u = 0; u < memory.stride; ++u) {
        word[u] = written_word(word[u], writer.data[u], writer.enable[u]);
      }
    }
  }
}

}  // namespace nimbo
