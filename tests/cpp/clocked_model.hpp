// The plain model of a design with registers and memories, stepping
// through the plain update of reference_model.hpp one update at a time (as
// tests/python/clocked_model.py does through nimbo.core).
//
// One step is one cycle of every clock:
// 1. the step's inputs with every clock at 0 in one update, then the
//    asynchronous resets;
// 2. the rising edge: what each posedge register takes (its reset value
//    while its reset is 1, else d when it has no enable or the enable is 1)
//    read first, then every clock 1 and those q's in one update, then the
//    resets;
// 3. the falling edge: the same for negedge registers, every clock 0.
// The resets: while some register's reset is 1 and its q is not its reset
// value, all such q's in one update; after one round per register and one
// more, "Asynchronous resets did not settle".
//
// Memories (docs/ir.md, "Memories: a step with memories"): their words are
// bit strings here, element 0 first. Each edge also reads what the
// synchronous read ports of that edge take and what its write ports write
// before anything is written, writes the words (the later port over an
// earlier one), and writes the read data with the q's; the resets become
// the asynchronous parts: read ports with their asynchronous reset at 1
// take its value, asynchronous read ports the word at their address, one
// round per register and read port and one more.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "component/memory_record.hpp"
#include "component/register_record.hpp"
#include "reference_model.hpp"

namespace nimbo::testing_model {

// A memory of the model: its record and its words now (bit strings of the
// width, word 0 first).
struct ModelMemory {
  MemoryRecord record;
  std::vector<std::string> words;
};

class ClockedModel {
 public:
  ClockedModel(ReferenceModel plain, std::vector<RegisterRecord> registers,
               std::vector<ModelMemory> memories = {}, std::uint64_t work_limit = kModelWorkLimit)
      : plain_(std::move(plain)),
        registers_(std::move(registers)),
        memories_(std::move(memories)),
        work_limit_(work_limit) {
    std::set<std::string> clocks;
    for (const RegisterRecord& r : registers_) clocks.insert(r.clock);
    for (const ModelMemory& memory : memories_) {
      for (const MemoryReadRecord& port : memory.record.read_ports) {
        if (port.clock) clocks.insert(*port.clock);
        read_ports_ += 1;
        async_reads_ = async_reads_ || !port.clock;
      }
      for (const MemoryWriteRecord& port : memory.record.write_ports) clocks.insert(port.clock);
    }
    clocks_.assign(clocks.begin(), clocks.end());
  }

  const std::vector<std::string>& words(std::size_t memory) const {
    return memories_[memory].words;
  }

  // "" on success, else the error. The initial state: settle({}).
  std::string settle(const Values& inputs) {
    Values all = inputs;
    for (const std::string& clock : clocks_) all.emplace_back(clock, "0");
    const std::string error = update(all);
    return error.empty() ? resets() : error;
  }

  std::string resets() {
    for (std::size_t round = 0; round <= registers_.size() + read_ports_; ++round) {
      const std::map<std::string, std::string> now = values_map();
      Values forced;
      for (const RegisterRecord& r : registers_) {
        if (!r.async_reset || now.at(*r.async_reset) != "1") continue;
        const std::string target = reset_value(r, now);
        if (now.at(r.q) != target) forced.emplace_back(r.q, target);
      }
      for (const ModelMemory& memory : memories_) {
        for (const MemoryReadRecord& port : memory.record.read_ports) {
          std::string target;
          if (!port.clock) {
            target = word_at(memory, number(list_bits(now, port.address)));
          } else if (port.async_reset && now.at(*port.async_reset) == "1") {
            target = port.async_reset_value.value_or(zeros(memory));
          } else {
            continue;
          }
          if (list_bits(now, port.data) != target) put(forced, port.data, target);
        }
      }
      if (forced.empty()) return "";
      const std::string error = update(forced);
      if (!error.empty()) return error;
    }
    return async_reads_ ? "Asynchronous resets or memory reads did not settle"
                        : "Asynchronous resets did not settle";
  }

  std::string step(const Values& inputs) {
    if (registers_.empty() && memories_.empty()) return update(inputs);
    std::string error = settle(inputs);
    if (error.empty()) error = edge(Edge::kPosedge, "1");
    if (error.empty()) error = edge(Edge::kNegedge, "0");
    return error;
  }

  std::string update(const Values& inputs) { return plain_.update(inputs, work_limit_); }
  Values values() const { return plain_.values(); }
  const ReferenceModel& plain() const noexcept { return plain_; }

 private:
  std::map<std::string, std::string> values_map() const {
    std::map<std::string, std::string> map;
    for (const auto& [id, text] : plain_.values()) map[id] = text;
    return map;
  }

  static std::string list_bits(const std::map<std::string, std::string>& now,
                               const std::vector<std::string>& ids) {
    std::string bits;
    for (const std::string& id : ids) bits += now.at(id);
    return bits;
  }
  // An address: the unsigned number of at most 64 bits, element 0 first.
  static std::uint64_t number(const std::string& bits) {
    std::uint64_t value = 0;
    for (std::size_t b = 0; b < bits.size() && b < 64; ++b) {
      if (bits[b] == '1') value |= std::uint64_t{1} << b;
    }
    return value;
  }
  static std::string zeros(const ModelMemory& memory) {
    return std::string(memory.record.width, '0');
  }
  // The index of the word at `address`, or -1 outside the memory.
  static std::int64_t index_of(const ModelMemory& memory, std::uint64_t address) {
    const auto offset = static_cast<std::uint64_t>(memory.record.offset);  // 0 or more in tests
    if (address < offset || address - offset >= memory.record.words) return -1;
    return static_cast<std::int64_t>(address - offset);
  }
  static std::string word_at(const ModelMemory& memory, std::uint64_t address) {
    const std::int64_t index = index_of(memory, address);
    return index < 0 ? zeros(memory) : memory.words[static_cast<std::size_t>(index)];
  }
  static void put(Values& writes, const std::vector<std::string>& ids, const std::string& bits) {
    if (ids.size() == 1) {
      writes.emplace_back(ids[0], bits);
      return;
    }
    for (std::size_t b = 0; b < ids.size(); ++b) writes.emplace_back(ids[b], bits.substr(b, 1));
  }
  static std::string write_mask(const ModelMemory& memory, const MemoryWriteRecord& port,
                                const std::map<std::string, std::string>& now) {
    return port.enable ? list_bits(now, *port.enable) : std::string(memory.record.width, '1');
  }
  // Each bit of `word` that `mask` selects takes `data`'s.
  static std::string written(std::string word, const std::string& data, const std::string& mask) {
    for (std::size_t b = 0; b < word.size(); ++b) {
      if (mask[b] == '1') word[b] = data[b];
    }
    return word;
  }

  // What a synchronous read port takes at its edge, or nullopt.
  static std::optional<std::string> read_takes(const ModelMemory& memory,
                                               const MemoryReadRecord& port,
                                               const std::map<std::string, std::string>& now) {
    const bool enabled = !port.enable || now.at(*port.enable) == "1";
    if (port.async_reset && now.at(*port.async_reset) == "1") {
      return port.async_reset_value.value_or(zeros(memory));
    }
    if (port.sync_reset && now.at(*port.sync_reset) == "1" &&
        (enabled || !port.enable_over_reset.value_or(false))) {
      return port.sync_reset_value.value_or(zeros(memory));
    }
    if (!enabled) return std::nullopt;
    const std::uint64_t address = number(list_bits(now, port.address));
    std::string word = word_at(memory, address);
    std::vector<std::uint64_t> order = port.transparent.value_or(std::vector<std::uint64_t>{});
    std::sort(order.begin(), order.end());
    for (const std::uint64_t w : order) {
      const MemoryWriteRecord& writer = memory.record.write_ports[w];
      if (number(list_bits(now, writer.address)) != address) continue;
      word = written(word, list_bits(now, writer.data), write_mask(memory, writer, now));
    }
    return word;
  }

  static std::string reset_value(const RegisterRecord& r,
                                 const std::map<std::string, std::string>& now) {
    return r.reset_value ? *r.reset_value : std::string(now.at(r.q).size(), '0');
  }

  std::string edge(Edge edge, const char* level) {
    const std::map<std::string, std::string> now = values_map();
    Values all;
    for (const std::string& clock : clocks_) all.emplace_back(clock, level);
    for (const RegisterRecord& r : registers_) {
      if (r.edge != edge) continue;
      if (r.async_reset && now.at(*r.async_reset) == "1") {
        all.emplace_back(r.q, reset_value(r, now));
      } else if (!r.enable || now.at(*r.enable) == "1") {
        all.emplace_back(r.q, now.at(r.d));
      }
    }
    struct Write {
      ModelMemory* memory;
      std::uint64_t address;
      std::string mask, data;
    };
    std::vector<Write> writes;  // read before anything is written
    for (ModelMemory& memory : memories_) {
      for (const MemoryReadRecord& port : memory.record.read_ports) {
        if (!port.clock || port.edge.value_or(Edge::kPosedge) != edge) continue;
        if (const auto taken = read_takes(memory, port, now)) put(all, port.data, *taken);
      }
      for (const MemoryWriteRecord& port : memory.record.write_ports) {
        if (port.edge != edge) continue;
        writes.push_back({&memory, number(list_bits(now, port.address)),
                          write_mask(memory, port, now), list_bits(now, port.data)});
      }
    }
    for (const Write& write : writes) {
      const std::int64_t index = index_of(*write.memory, write.address);
      if (index < 0) continue;
      std::string& word = write.memory->words[static_cast<std::size_t>(index)];
      word = written(word, write.data, write.mask);
    }
    const std::string error = update(all);
    return error.empty() ? resets() : error;
  }

  ReferenceModel plain_;
  std::vector<RegisterRecord> registers_;
  std::vector<ModelMemory> memories_;
  std::size_t read_ports_ = 0;
  bool async_reads_ = false;
  std::vector<std::string> clocks_;
  std::uint64_t work_limit_;
};

}  // namespace nimbo::testing_model
