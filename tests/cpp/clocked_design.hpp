// Random designs with registers, for the tests and the fuzz targets: every
// choice comes from `pick(n)` (a number below n), so a random generator or
// the fuzzer's bytes drive it. A design is a recipe that builds the same
// circuit as many times as needed: as a Component with its registers, and
// as the plain model.
//
// Busses come in width classes (a gate's result has the smaller width of
// its operands, so logic stays within a class): inputs, register q's and
// driven busses, each register's d a driven bus of its q's class. One or
// two clocks, both edges, enables and asynchronous resets (from inputs or
// from logic), reset values and initial values at random. Without
// `feedback`, logic reads only lower ranks; with it, any bus, so the
// worklist runs between registers. With `memories`, random memories of
// every kind of port (add_memories).
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "clocked_model.hpp"
#include "component/component.hpp"
#include "component/memory_record.hpp"
#include "component/register_record.hpp"
#include "expr_nodes/nodes.hpp"
#include "reference_model.hpp"

namespace nimbo::testing_model {

struct ClockedShape {
  bool feedback = false;      // logic may read any bus, itself included
  int dropped_influence = 0;  // one reader in this many left out of the lists (0: none)
  std::vector<std::size_t> widths = {1, 3, 64, 65};
  bool reset_chains = false;    // resets are mostly other registers' q's
  bool clocks_as_data = false;  // registers take clocks as d, enable or reset
  int registers = 6;
  int logic = 14;
  // Gates nothing reads: enough of them that a step follows its changes
  // instead of evaluating every gate.
  int filler = 0;
  int memories = 0;
};

struct ClockedDesign {
  std::vector<std::string> declared;  // bus ids, in declaration order
  std::map<std::string, std::string> initial;
  std::map<std::string, BoxedEvaluator> trees;
  std::vector<std::pair<std::string, std::string>> influence;  // bus, reader
  std::vector<RegisterRecord> registers;
  std::vector<MemoryRecord> memories;
  std::vector<std::vector<std::string>> contents;  // of each memory: its initial words as bits
  std::map<std::string, std::size_t> inputs;       // written by steps: id and width
  std::vector<std::string> clocks;
  std::vector<std::string> qs;

  // With `loop`, one more bus `loop` = `loop`, declared last: feedback that
  // changes no value and makes the simulation run the worklist.
  Component component(bool loop = false) const {
    Component component("clocked");
    for (const std::string& id : declared) {
      component.add_bus(id, BitBus(BitBusValue::from_string(initial.at(id)).value()));
    }
    for (const auto& [id, tree] : trees) component.set_assignment(id, tree->clone_box());
    for (const auto& [bus, reader] : influence) (void)component.add_influence(bus, reader);
    if (loop) {
      component.add_bus("loop", BitBus());
      component.set_assignment("loop", std::make_unique<BusRef>("loop"));
      (void)component.add_influence("loop", "loop");
    }
    return component;
  }

  ClockedModel model(bool loop = false) const {
    ReferenceModel plain;
    for (const std::string& id : declared) {
      plain.add_bus(id, BitBusValue::from_string(initial.at(id)).value());
    }
    for (const auto& [id, tree] : trees) plain.set_assignment(id, tree->clone_box());
    for (const auto& [bus, reader] : influence) plain.add_influence(bus, reader);
    if (loop) {
      plain.add_bus("loop", BitBusValue());
      plain.set_assignment("loop", std::make_unique<BusRef>("loop"));
      plain.add_influence("loop", "loop");
    }
    std::vector<ModelMemory> model_memories;
    for (std::size_t m = 0; m < memories.size(); ++m) {
      model_memories.push_back({memories[m], contents[m]});
    }
    return ClockedModel(std::move(plain), registers, std::move(model_memories));
  }
};

template <class Pick>
std::string picked_bits(Pick& pick, std::size_t width) {
  std::string text(width, '0');
  for (char& c : text) c = pick(2) != 0 ? '1' : '0';
  return text;
}

// A random memory of `width` bits into `design`, whose read ports drive the
// bit lists of `reads` ((data, synchronous) pairs), their addresses,
// enables and resets from `ranked` (asynchronous addresses from
// `settled`): a few words at a small offset (addresses land inside and
// outside), random initial words, synchronous ports with enables, both
// resets, enable_over_reset and transparency, write ports on both edges
// with per-bit enables.
template <class Pick>
void add_memory(Pick& pick, ClockedDesign& design, const std::string& name, std::size_t width,
                const std::vector<std::pair<std::vector<std::string>, bool>>& reads,
                const std::vector<std::string>& ranked, const std::vector<std::string>& settled,
                const std::map<std::string, std::size_t>& width_of, bool clocks_as_data) {
  MemoryRecord record;
  record.index = design.memories.size();
  record.name = name;
  record.words = 1 + pick(9);
  record.width = width;
  record.offset = pick(3) == 0 ? static_cast<std::int64_t>(1 + pick(3)) : 0;
  const auto one_bit_of = [&](const std::vector<std::string>& pool) {
    std::vector<std::string> bits;
    for (const std::string& id : pool) {
      if (width_of.at(id) == 1) bits.push_back(id);
    }
    if (clocks_as_data) bits.insert(bits.end(), design.clocks.begin(), design.clocks.end());
    return bits;
  };
  const std::vector<std::string> one_bit = one_bit_of(ranked);
  const auto bit_list = [&](std::size_t bits) {
    std::vector<std::string> whole;
    for (const std::string& id : ranked) {
      if (width_of.at(id) == bits) whole.push_back(id);
    }
    if (!whole.empty() && (bits > 4 || pick(3) != 0)) {
      return std::vector<std::string>{whole[pick(whole.size())]};
    }
    std::vector<std::string> list;
    for (std::size_t b = 0; b < bits; ++b) list.push_back(one_bit[pick(one_bit.size())]);
    return list;
  };
  const auto address = [&](const std::vector<std::string>& pool) {
    std::vector<std::string> narrow, wide;
    for (const std::string& id : pool) {
      const std::size_t w = width_of.at(id);
      if (w <= 4) narrow.push_back(id);
      if (w > 4 && w <= 64) wide.push_back(id);
    }
    if (!narrow.empty() && pick(3) != 0)
      return std::vector<std::string>{narrow[pick(narrow.size())]};
    if (!wide.empty() && pick(8) == 0) return std::vector<std::string>{wide[pick(wide.size())]};
    const std::vector<std::string> bits = one_bit_of(pool);
    std::vector<std::string> list;
    for (std::size_t b = 0, count = 1 + pick(4); b < count; ++b) {
      list.push_back(bits[pick(bits.size())]);
    }
    return list;
  };
  for (std::size_t w = 0, count = pick(4); w < count; ++w) {
    MemoryWriteRecord port;
    port.clock = design.clocks[pick(design.clocks.size())];
    port.edge = pick(3) == 0 ? Edge::kNegedge : Edge::kPosedge;
    port.address = address(ranked);
    port.data = bit_list(width);
    const std::size_t kind = pick(3);
    if (kind == 1) port.enable = std::vector<std::string>(width, one_bit[pick(one_bit.size())]);
    if (kind == 2) port.enable = bit_list(width);
    record.write_ports.push_back(std::move(port));
  }
  for (const auto& [data, synchronous] : reads) {
    MemoryReadRecord port;
    port.address = address(synchronous ? ranked : settled);
    port.data = data;
    if (synchronous) {
      port.clock = design.clocks[pick(design.clocks.size())];
      if (pick(3) == 0) port.edge = Edge::kNegedge;
      if (pick(2) != 0) port.enable = one_bit[pick(one_bit.size())];
      if (pick(3) == 0) {
        port.async_reset = one_bit[pick(one_bit.size())];
        if (pick(2) != 0) port.async_reset_value = picked_bits(pick, width);
      }
      if (pick(3) == 0) {
        port.sync_reset = one_bit[pick(one_bit.size())];
        if (pick(2) != 0) port.sync_reset_value = picked_bits(pick, width);
        if (port.enable && pick(2) != 0) port.enable_over_reset = true;
      }
      std::vector<std::uint64_t> transparent;
      for (std::size_t w = 0; w < record.write_ports.size(); ++w) {
        const MemoryWriteRecord& writer = record.write_ports[w];
        if (writer.clock == *port.clock && writer.edge == port.edge.value_or(Edge::kPosedge) &&
            pick(2) != 0) {
          transparent.push_back(w);
        }
      }
      if (!transparent.empty()) port.transparent = std::move(transparent);
    }
    record.read_ports.push_back(std::move(port));
  }
  // Initial words: some 0, others random, written as hex runs of one word.
  std::vector<std::string>& contents = design.contents.emplace_back();
  for (std::uint64_t w = 0; w < record.words; ++w) {
    std::string bits(width, '0');
    if (pick(2) != 0) bits = picked_bits(pick, width);
    contents.push_back(bits);
    std::string hex;
    for (std::size_t top = (width + 3) / 4; top-- > 0;) {
      unsigned digit = 0;
      for (std::size_t b = 0; b < 4 && top * 4 + b < width; ++b) {
        if (bits[top * 4 + b] == '1') digit |= 1U << b;
      }
      hex += "0123456789abcdef"[digit];
    }
    record.init.push_back(MemoryInitRecord{w, {hex}, 1});
  }
  design.memories.push_back(std::move(record));
}

template <class Pick>
ClockedDesign make_clocked_design(Pick& pick, const ClockedShape& shape) {
  std::vector<std::size_t> classes;
  for (std::size_t i = 0, count = 1 + pick(3); i < count; ++i) {
    classes.push_back(shape.widths[pick(shape.widths.size())]);
  }
  if (std::find(classes.begin(), classes.end(), 1) == classes.end()) classes.push_back(1);

  ClockedDesign design;
  std::map<std::string, std::size_t> width_of;
  std::map<std::string, std::vector<std::string>> readers;
  std::vector<std::string> ranked;  // what logic may read, in rank order
  const auto declare = [&](const std::string& id, std::size_t width) {
    design.initial[id] = picked_bits(pick, width);
    width_of[id] = width;
    design.declared.push_back(id);
  };

  design.clocks =
      pick(3) != 0 ? std::vector<std::string>{"clk"} : std::vector<std::string>{"clk", "clk2"};
  for (const std::string& clock : design.clocks) {
    declare(clock, 1);
    design.initial[clock] = "0";
  }
  for (std::size_t i = 0, count = 2 + pick(3); i < count; ++i) {
    const std::string id = "in" + std::to_string(i);
    declare(id, classes[pick(classes.size())]);
    design.inputs[id] = width_of[id];
    ranked.push_back(id);
  }
  declare("in_en", 1);
  design.inputs["in_en"] = 1;
  ranked.push_back("in_en");
  for (int i = 0; i < shape.registers; ++i) {
    const std::string id = "q" + std::to_string(i);
    declare(id, classes[pick(classes.size())]);
    design.qs.push_back(id);
    ranked.push_back(id);
  }

  // Read data have no assignment: synchronous ones before the logic, which
  // reads them; asynchronous ones after it, read by no logic and by no
  // asynchronous address, so that the reads settle.
  struct MemoryShape {
    std::size_t width = 1;
    std::vector<std::pair<std::vector<std::string>, bool>> reads;  // data, synchronous
  };
  std::vector<MemoryShape> memory_shapes;
  std::vector<std::string> async_data;
  for (int m = 0; m < shape.memories; ++m) {
    MemoryShape& memory = memory_shapes.emplace_back();
    memory.width = pick(4) == 0 ? 1 + pick(6) : classes[pick(classes.size())];
    for (std::size_t p = 0, count = 1 + pick(3); p < count; ++p) {
      const bool synchronous = pick(3) != 0;
      const std::string stem = "m" + std::to_string(m) + "r" + std::to_string(p);
      std::vector<std::string> data;
      if (memory.width > 1 && memory.width <= 8 && pick(3) == 0) {
        for (std::size_t b = 0; b < memory.width; ++b) {
          data.push_back(stem + "_" + std::to_string(b));
          declare(data.back(), 1);
        }
      } else {
        data.push_back(stem);
        declare(stem, memory.width);
      }
      for (const std::string& id : data) (synchronous ? ranked : async_data).push_back(id);
      memory.reads.emplace_back(std::move(data), synchronous);
    }
  }

  std::vector<std::string> logic;
  for (int i = 0; i < shape.logic; ++i) {
    logic.push_back("g" + std::to_string(i));
    ranked.push_back(logic.back());
    width_of[logic.back()] = classes[pick(classes.size())];
  }
  std::function<BoxedEvaluator(const std::string&, std::size_t, std::size_t, int)> tree =
      [&](const std::string& owner, std::size_t width, std::size_t limit,
          int depth) -> BoxedEvaluator {
    std::vector<std::string> pool;
    for (std::size_t r = 0; r < limit; ++r) {
      if (width_of[ranked[r]] == width) pool.push_back(ranked[r]);
    }
    if (depth == 0 || pool.empty() || pick(3) == 0) {
      if (pool.empty()) {
        return std::make_unique<Const>(BitBusValue::from_string(picked_bits(pick, width)).value());
      }
      const std::string& source = pool[pick(pool.size())];
      readers[source].push_back(owner);
      return std::make_unique<BusRef>(source);
    }
    if (pick(5) == 0) return std::make_unique<Not>(tree(owner, width, limit, depth - 1));
    BoxedEvaluator left = tree(owner, width, limit, depth - 1);
    BoxedEvaluator right = tree(owner, width, limit, depth - 1);
    return make_gate_node(static_cast<Gate>(pick(6)), std::move(left), std::move(right));
  };
  for (const std::string& name : logic) {
    const auto rank =
        static_cast<std::size_t>(std::find(ranked.begin(), ranked.end(), name) - ranked.begin());
    const std::size_t width = width_of[name];
    declare(name, width);
    design.trees[name] =
        tree(name, width, shape.feedback ? ranked.size() : rank, 1 + static_cast<int>(pick(3)));
  }

  for (int i = 0; i < shape.filler; ++i) {
    const std::string id = "f" + std::to_string(i);
    declare(id, 1);
    design.trees[id] = std::make_unique<Not>(std::make_unique<BusRef>("in_en"));
    readers["in_en"].push_back(id);
  }

  const std::vector<std::string> settled = ranked;
  ranked.insert(ranked.end(), async_data.begin(), async_data.end());
  for (std::size_t m = 0; m < memory_shapes.size(); ++m) {
    add_memory(pick, design, "mem" + std::to_string(m), memory_shapes[m].width,
               memory_shapes[m].reads, ranked, settled, width_of, shape.clocks_as_data);
  }

  for (const std::string& q : design.qs) {
    const std::size_t width = width_of[q];
    std::vector<std::string> candidates;
    for (const std::string& name : logic) {
      if (width_of[name] == width) candidates.push_back(name);
    }
    RegisterRecord record;
    record.index = design.registers.size();
    record.q = q;
    record.d = candidates.empty() ? q : candidates[pick(candidates.size())];
    record.clock = design.clocks[pick(design.clocks.size())];
    record.edge = pick(3) == 0 ? Edge::kNegedge : Edge::kPosedge;
    std::vector<std::string> one_bit;
    for (const std::string& id : ranked) {
      if (width_of[id] == 1 && id != q) one_bit.push_back(id);
    }
    if (shape.clocks_as_data) {
      one_bit.insert(one_bit.end(), design.clocks.begin(), design.clocks.end());
      if (width == 1 && pick(3) == 0) record.d = design.clocks[pick(design.clocks.size())];
    }
    if (pick(3) == 0) record.enable = one_bit[pick(one_bit.size())];
    std::vector<std::string> resets;
    for (const std::string& id : one_bit) {
      const bool from_q = id[0] == 'q';
      const bool from_input = id.rfind("in", 0) == 0;
      if (shape.reset_chains ? from_q : shape.clocks_as_data || from_input) resets.push_back(id);
    }
    if (resets.empty()) resets = one_bit;
    if (pick(shape.reset_chains || shape.clocks_as_data ? 2 : 3) == 0) {
      record.async_reset = resets[pick(resets.size())];
      if (pick(2) != 0) record.reset_value = picked_bits(pick, width);
    }
    design.registers.push_back(std::move(record));
  }

  // A shuffled declaration order, and the influence lists: every reader
  // once, some dropped on request.
  for (std::size_t i = design.declared.size(); i > 1; --i) {
    std::swap(design.declared[i - 1], design.declared[pick(i)]);
  }
  for (const auto& [id, list] : readers) {
    std::set<std::string> listed;
    for (const std::string& reader : list) {
      if (!listed.insert(reader).second) continue;
      if (shape.dropped_influence != 0 &&
          pick(static_cast<std::size_t>(shape.dropped_influence)) == 0) {
        continue;
      }
      design.influence.emplace_back(id, reader);
    }
  }
  return design;
}

}  // namespace nimbo::testing_model
