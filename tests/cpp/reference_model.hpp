// A deliberately plain model of the update step for cross-checking the
// component: ids in a deque, a linear pending test, trees evaluated by
// walking them against the bus table, feedback found by a depth-first walk
// of the trees' references.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "busses/bus_table.hpp"
#include "component/component.hpp"
#include "expr_nodes/evaluator.hpp"
#include "expr_nodes/nodes.hpp"

namespace nimbo::testing_model {

// Bus ids and bit-string texts: the inputs of an update, or every value.
using Values = std::vector<std::pair<std::string, std::string>>;

// A small work limit keeps the plain model quick on circuits that never settle.
inline constexpr std::uint64_t kModelWorkLimit = 5000;

// Every id a tree references.
inline void collect_refs(const Evaluator& tree, std::vector<std::string>& out) {
  if (const auto* ref = dynamic_cast<const BusRef*>(&tree)) {
    out.push_back(ref->bus_id);
  } else if (const auto* inverse = dynamic_cast<const Not*>(&tree)) {
    collect_refs(*inverse->expr, out);
  } else if (dynamic_cast<const Const*>(&tree) == nullptr) {
    // One of the six two-input gates.
    const auto visit = [&](const auto* gate) {
      if (gate == nullptr) return false;
      collect_refs(*gate->l_expr, out);
      collect_refs(*gate->r_expr, out);
      return true;
    };
    visit(dynamic_cast<const And*>(&tree)) || visit(dynamic_cast<const Or*>(&tree)) ||
        visit(dynamic_cast<const Xor*>(&tree)) || visit(dynamic_cast<const Nand*>(&tree)) ||
        visit(dynamic_cast<const Nor*>(&tree)) || visit(dynamic_cast<const Xnor*>(&tree));
  }
}

class ReferenceModel {
 public:
  void add_bus(const std::string& id, BitBusValue value) {
    table_.add(id, BitBus(std::move(value)));
  }
  void set_assignment(const std::string& id, BoxedEvaluator tree) { trees_[id] = std::move(tree); }
  void add_influence(const std::string& bus, const std::string& influenced) {
    const auto target = *table_.find(influenced);
    InfluenceList& list = table_.influence_list(*table_.find(bus));
    if (std::find(list.begin(), list.end(), target) == list.end()) list.push_back(target);
  }

  // True when a chain of references leads from a driven bus back to itself.
  bool feedback() const {
    std::map<std::string, int> colour;  // 1 on the walk, 2 done
    std::function<bool(const std::string&)> cycles = [&](const std::string& id) {
      const auto tree = trees_.find(id);
      if (tree == trees_.end() || !table_.find(id)) return false;
      int& c = colour[id];
      if (c == 1) return true;
      if (c == 2) return false;
      c = 1;
      std::vector<std::string> refs;
      collect_refs(*tree->second, refs);
      for (const std::string& ref : refs) {
        if (cycles(ref)) return true;
      }
      colour[id] = 2;
      return false;
    };
    for (const auto& [id, tree] : trees_) {
      if (cycles(id)) return true;
    }
    return false;
  }

  // Returns the error text, or "" on success. Every input is checked before
  // any is written; only a component with feedback has a work limit, checked
  // before evaluating a bus appended after the seeds. Work counts each bus
  // taken and each word of each evaluated value.
  std::string update(const Values& inputs, std::uint64_t work_limit) {
    evaluations = 0;
    for (const auto& [id, text] : inputs) {
      const auto position = table_.find(id);
      if (!position) continue;
      Status status = check_value_text(text, table_.value(*position).width());
      if (!status.ok()) return status.error();
    }
    for (const auto& [id, text] : inputs) {
      const auto position = table_.find(id);
      if (position) table_.value(*position).assign_text(text);
    }
    const bool bounded = feedback();
    std::deque<std::string> worklist;
    for (std::size_t p = 0; p < table_.size(); ++p) worklist.push_back(table_.id(p));
    std::size_t taken = 0;
    std::uint64_t work = 0;
    while (!worklist.empty()) {
      const std::string id = worklist.front();
      worklist.pop_front();
      const bool seed = taken++ < table_.size();
      ++work;
      const auto tree = trees_.find(id);
      if (tree == trees_.end()) continue;
      if (!seed && bounded && work >= work_limit) {
        return "Circuit did not settle: stopped after " + std::to_string(evaluations) +
               " evaluations";
      }
      ++evaluations;
      BitBusValue fresh = tree->second->evaluate(table_);
      work += fresh.word_count();
      const std::size_t position = *table_.find(id);
      const BitBusValue old = table_.value(position);
      const InfluenceList influence = table_.influence_list(position);
      table_.value(position) = fresh;
      if (old == fresh) continue;
      for (const std::uint64_t target : influence) {
        if (target >= table_.size()) continue;
        const std::string& target_id = table_.id(target);
        if (std::find(worklist.begin(), worklist.end(), target_id) != worklist.end()) continue;
        worklist.push_back(target_id);
      }
    }
    return "";
  }

  const BusTable& table() const noexcept { return table_; }
  // Puts back a value for every bus, by position.
  void restore(const std::vector<BitBusValue>& values) {
    for (std::size_t p = 0; p < table_.size(); ++p) table_.value(p) = values[p];
  }

  Values values() const {
    Values out;
    for (std::size_t p = 0; p < table_.size(); ++p)
      out.emplace_back(table_.id(p), table_.value(p).to_string());
    return out;
  }

  std::uint64_t evaluations = 0;

 private:
  BusTable table_;
  std::map<std::string, BoxedEvaluator> trees_;
};

}  // namespace nimbo::testing_model
