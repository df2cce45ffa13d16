#include "engine/word_memories.hpp"

#include <algorithm>
#include <bit>

#include "engine/memory_rules.hpp"

namespace nimbo {

WordMemories::SlotList WordMemories::slot_list(const WordPass& pass, const BitList& list,
                                               std::size_t width) {
  SlotList slots;
  slots.width = width;
  if (list.size() == 1) {
    slots.first = pass.slot(list[0]);
    return slots;
  }
  for (const std::uint32_t position : list) slots.slots.push_back(pass.slot(position));
  return slots;
}

Word WordMemories::unit(const WordPass& pass, const SlotList& list, std::size_t u) {
  if (list.slots.empty()) return pass.slot_word(list.first + static_cast<std::uint32_t>(u));
  Word value = 0;
  const std::size_t end = std::min(list.slots.size(), (u + 1) * 64);
  for (std::size_t b = u * 64; b < end; ++b) {
    value |= (pass.slot_word(list.slots[b]) & 1U) << (b % 64);
  }
  return value;
}

Word WordMemories::level(const WordPass& pass, std::uint32_t slot, Word absent) {
  return slot == kNone ? absent : level_mask((pass.slot_word(slot) & 1U) != 0);
}

void WordMemories::put(const WordPass& pass, const SlotList& list, const Word* value,
                       SlotWrites& writes) {
  const std::size_t units = BitBusValue::words_for(list.width);
  for (std::size_t u = 0; u < units; ++u) {
    const Word now = unit(pass, list, u);
    if (now == value[u]) continue;
    if (list.slots.empty()) {
      writes.add(list.first + static_cast<std::uint32_t>(u), list.first, value[u]);
      continue;
    }
    for (Word flips = now ^ value[u]; flips != 0; flips &= flips - 1) {
      const auto bit = static_cast<std::size_t>(std::countr_zero(flips));
      const std::uint32_t slot = list.slots[u * 64 + bit];
      writes.add(slot, slot, (value[u] >> bit) & 1U);
    }
  }
}

WordMemories::WordMemories(const Memories& memories, const Circuit& circuit, const WordPass& pass) {
  const auto changes = [&](const BitList& list) {
    return std::any_of(list.begin(), list.end(),
                       [&](std::uint32_t p) { return circuit.pass_changes(p); });
  };
  const auto slot_of = [&](const std::optional<std::uint32_t>& position) {
    return position ? pass.slot(*position) : kNone;
  };
  for (std::size_t m = 0; m < memories.list.size(); ++m) {
    const nimbo::Memory& resolved = memories.list[m];
    Memory& memory = memories_.emplace_back();
    memory.index = m;
    memory.words = resolved.words;
    memory.offset = resolved.offset;
    memory.stride = resolved.stride;
    for (const MemoryReadPort& port : resolved.read_ports) {
      ReadPort& read = memory.reads.emplace_back();
      read.address =
          slot_list(pass, port.address,
                    port.address.size() == 1 ? pass.width(port.address[0]) : port.address.size());
      read.data = slot_list(pass, port.data, resolved.width);
      read.synchronous = port.synchronous();
      read.edge = port.edge;
      read.enable = slot_of(port.enable);
      read.async_reset = slot_of(port.async_reset);
      read.sync_reset = slot_of(port.sync_reset);
      read.enable_over_reset = port.enable_over_reset;
      read.async_value.assign(port.async_reset_value.data(),
                              port.async_reset_value.data() + resolved.stride);
      read.sync_value.assign(port.sync_reset_value.data(),
                             port.sync_reset_value.data() + resolved.stride);
      read.transparent = port.transparent;
      if (!read.synchronous) rounds_need_pass_ = rounds_need_pass_ || changes(port.address);
      if (port.async_reset) {
        rounds_need_pass_ = rounds_need_pass_ || circuit.pass_changes(*port.async_reset);
      }
    }
    for (const MemoryWritePort& port : resolved.write_ports) {
      WritePort& write = memory.writes.emplace_back();
      write.address =
          slot_list(pass, port.address,
                    port.address.size() == 1 ? pass.width(port.address[0]) : port.address.size());
      write.data = slot_list(pass, port.data, resolved.width);
      if (!port.enable.empty()) write.enable = slot_list(pass, port.enable, resolved.width);
      write.edge = port.edge;
      write.data_units.assign(resolved.stride, 0);
      write.enable_units.assign(resolved.stride, 0);
    }
  }
}

void WordMemories::load_word(const Memory& memory, const MemoryWords& words,
                             std::uint64_t address) {
  word_.assign(memory.stride, 0);
  if (const auto index = word_index(memory.offset, memory.words, address)) {
    const Word* units = words.of(memory.index).data() + *index * memory.stride;
    std::copy_n(units, memory.stride, word_.begin());
  }
}

void WordMemories::async_round(const WordPass& pass, const MemoryWords& words, SlotWrites& writes) {
  for (const Memory& memory : memories_) {
    for (const ReadPort& port : memory.reads) {
      if (port.synchronous) {
        if (port.async_reset == kNone || level(pass, port.async_reset, 0) == 0) continue;
        put(pass, port.data, port.async_value.data(), writes);
        continue;
      }
      load_word(memory, words, unit(pass, port.address, 0));
      put(pass, port.data, word_.data(), writes);
    }
  }
}

void WordMemories::edge(const WordPass& pass, MemoryWords& words, Edge edge, SlotWrites& writes) {
  for (Memory& memory : memories_) {
    for (WritePort& port : memory.writes) {
      if (port.edge != edge) continue;
      port.at = unit(pass, port.address, 0);
      for (std::size_t u = 0; u < memory.stride; ++u) {
        port.data_units[u] = unit(pass, port.data, u);
        port.enable_units[u] = port.enable.width == 0 ? ~Word{0} : unit(pass, port.enable, u);
      }
      if (port.enable.width == 0) {
        port.enable_units.back() = BitBusValue::tail_mask(port.data.width);
      }
    }
    for (const ReadPort& port : memory.reads) {
      if (!port.synchronous || port.edge != edge) continue;
      const Word enable = level(pass, port.enable, ~Word{0});
      const Word async_reset = level(pass, port.async_reset, 0);
      const Word sync_reset =
          sync_reset_mask(level(pass, port.sync_reset, 0), enable, port.enable_over_reset);
      if ((enable | async_reset | sync_reset) == 0) continue;  // the data keeps its value
      const std::uint64_t at = unit(pass, port.address, 0);
      load_word(memory, words, at);
      for (const std::uint32_t w : port.transparent) {
        const WritePort& writer = memory.writes[w];
        if (writer.at != at) continue;
        for (std::size_t u = 0; u < memory.stride; ++u) {
          word_[u] = written_word(word_[u], writer.data_units[u], writer.enable_units[u]);
        }
      }
      for (std::size_t u = 0; u < memory.stride; ++u) {
        word_[u] = next_read(unit(pass, port.data, u), word_[u], enable, async_reset,
                             port.async_value[u], sync_reset, port.sync_value[u]);
      }
      put(pass, port.data, word_.data(), writes);
    }
  }
  for (Memory& memory : memories_) {
    for (const WritePort& port : memory.writes) {
      if (port.edge != edge) continue;
      const auto index = word_index(memory.offset, memory.words, port.at);
      if (!index) continue;
      Word* word = words.of(memory.index).data() + *index * memory.stride;
      for (std::size_t u = 0; u < memory.stride; ++u) {
        word[u] = written_word(word[u], port.data_units[u], port.enable_units[u]);
      }
    }
  }
}

}  // namespace nimbo
