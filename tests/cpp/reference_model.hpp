// A deliberately plain model of the update step for cross-checking the
// component: ids in a deque, a linear pending test, trees evaluated by
// walking them against the bus table.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "busses/bus_table.hpp"
#include "component/component.hpp"
#include "expr_nodes/evaluator.hpp"

namespace nimbo::testing_model {

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

  // Returns the error text, or "" on success.
  std::string update(const std::vector<std::pair<std::string, std::string>>& inputs,
                     std::uint64_t limit) {
    evaluations = 0;
    for (const auto& [id, text] : inputs) {
      const auto position = table_.find(id);
      if (!position) continue;
      Status status = insert_value_into(table_.value(*position), text);
      if (!status.ok()) return status.error();
    }
    std::deque<std::string> worklist;
    for (std::size_t p = 0; p < table_.size(); ++p) worklist.push_back(table_.id(p));
    while (!worklist.empty()) {
      const std::string id = worklist.front();
      worklist.pop_front();
      const auto tree = trees_.find(id);
      if (tree == trees_.end()) continue;
      if (evaluations == limit) return "limit";
      ++evaluations;
      BitBusValue fresh = tree->second->evaluate(table_);
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

  std::vector<std::pair<std::string, std::string>> values() const {
    std::vector<std::pair<std::string, std::string>> out;
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
