// The plain model of a design with registers, stepping through the plain
// update of reference_model.hpp one update at a time (as
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
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "component/register_record.hpp"
#include "reference_model.hpp"

namespace nimbo::testing_model {

class ClockedModel {
 public:
  ClockedModel(ReferenceModel plain, std::vector<RegisterRecord> registers,
               std::uint64_t work_limit = kModelWorkLimit)
      : plain_(std::move(plain)), registers_(std::move(registers)), work_limit_(work_limit) {
    std::set<std::string> clocks;
    for (const RegisterRecord& r : registers_) clocks.insert(r.clock);
    clocks_.assign(clocks.begin(), clocks.end());
  }

  // "" on success, else the error. The initial state: settle({}).
  std::string settle(const Values& inputs) {
    Values all = inputs;
    for (const std::string& clock : clocks_) all.emplace_back(clock, "0");
    const std::string error = update(all);
    return error.empty() ? resets() : error;
  }

  std::string resets() {
    for (std::size_t round = 0; round <= registers_.size(); ++round) {
      const std::map<std::string, std::string> now = values_map();
      Values forced;
      for (const RegisterRecord& r : registers_) {
        if (!r.async_reset || now.at(*r.async_reset) != "1") continue;
        const std::string target = reset_value(r, now);
        if (now.at(r.q) != target) forced.emplace_back(r.q, target);
      }
      if (forced.empty()) return "";
      const std::string error = update(forced);
      if (!error.empty()) return error;
    }
    return "Asynchronous resets did not settle";
  }

  std::string step(const Values& inputs) {
    if (registers_.empty()) return update(inputs);
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
    const std::string error = update(all);
    return error.empty() ? resets() : error;
  }

  ReferenceModel plain_;
  std::vector<RegisterRecord> registers_;
  std::vector<std::string> clocks_;
  std::uint64_t work_limit_;
};

}  // namespace nimbo::testing_model
