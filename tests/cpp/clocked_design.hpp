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
// worklist runs between registers.
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
};

struct ClockedDesign {
  std::vector<std::string> declared;  // bus ids, in declaration order
  std::map<std::string, std::string> initial;
  std::map<std::string, BoxedEvaluator> trees;
  std::vector<std::pair<std::string, std::string>> influence;  // bus, reader
  std::vector<RegisterRecord> registers;
  std::map<std::string, std::size_t> inputs;  // written by steps: id and width
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
    return ClockedModel(std::move(plain), registers);
  }
};

template <class Pick>
std::string picked_bits(Pick& pick, std::size_t width) {
  std::string text(width, '0');
  for (char& c : text) c = pick(2) != 0 ? '1' : '0';
  return text;
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
