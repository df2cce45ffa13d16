#include "engine/pass_plan.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>
#include <utility>

namespace nimbo {

PassPlan make_pass_plan(const GateGraph& graph, const Schedule& schedule,
                        std::span<const BitBusValue> values) {
  PassPlan plan;
  const std::size_t value_count = graph.value_count();
  plan.widths.assign(value_count, 0);
  std::vector<std::uint32_t> level(value_count, 0);
  for (std::size_t p = 0; p < graph.bus_count(); ++p) plan.widths[p] = values[p].width();
  for (ValueId v = static_cast<ValueId>(graph.bus_count()); v < value_count; ++v) {
    if (graph.is_constant(v)) plan.widths[v] = graph.constant(v).width();
  }

  const auto gates = graph.gates();
  std::vector<std::uint32_t> gate_level(gates.size(), 0);
  for (const std::uint32_t q : schedule.order) {
    const BusDriver& driver = graph.driver(q);
    if (driver.kind == BusDriver::Kind::kCopy) {
      plan.widths[q] = plan.widths[driver.source];
      level[q] = level[driver.source];
      continue;
    }
    for (std::uint32_t g = driver.first_gate; g < driver.end_gate; ++g) {
      const GraphGate& gate = gates[g];
      plan.widths[gate.out] = std::min(plan.widths[gate.left], plan.widths[gate.right]);
      gate_level[g] = 1 + std::max(level[gate.left], level[gate.right]);
      level[gate.out] = gate_level[g];
      plan.levels = std::max(plan.levels, gate_level[g]);
    }
  }

  plan.gate_order.resize(gates.size());
  std::iota(plan.gate_order.begin(), plan.gate_order.end(), 0U);
  const auto key = [&](std::uint32_t g) {
    return std::make_tuple(gate_level[g], plan.widths[gates[g].out], gates[g].table);
  };
  std::stable_sort(plan.gate_order.begin(), plan.gate_order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  for (std::size_t i = 0; i < plan.gate_order.size(); ++i) {
    if (i == 0 || key(plan.gate_order[i]) != key(plan.gate_order[i - 1])) {
      plan.run_starts.push_back(static_cast<std::uint32_t>(i));
      plan.run_levels.push_back(gate_level[plan.gate_order[i]]);
    }
  }
  plan.run_starts.push_back(static_cast<std::uint32_t>(plan.gate_order.size()));
  return plan;
}

std::vector<std::uint32_t> gates_by_operands(const GateGraph& graph, const Schedule& schedule,
                                             const PassPlan& plan) {
  const auto gates = graph.gates();
  const std::size_t value_count = graph.value_count();
  // A copy is placed where its source is.
  std::vector<ValueId> source(value_count);
  std::iota(source.begin(), source.end(), ValueId{0});
  for (const std::uint32_t p : schedule.order) {
    const BusDriver& driver = graph.driver(p);
    if (driver.kind == BusDriver::Kind::kCopy) source[p] = source[driver.source];
  }
  std::vector<std::uint64_t> place(value_count);
  std::iota(place.begin(), place.end(), std::uint64_t{0});
  std::vector<std::uint32_t> order = plan.gate_order;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> run;
  for (std::size_t k = 0; k + 1 < plan.run_starts.size(); ++k) {
    // A run reads only earlier runs, whose places are final.
    run.clear();
    for (std::uint32_t i = plan.run_starts[k]; i < plan.run_starts[k + 1]; ++i) {
      const GraphGate& gate = gates[order[i]];
      run.emplace_back(std::min(place[source[gate.left]], place[source[gate.right]]), order[i]);
    }
    std::stable_sort(run.begin(), run.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t j = 0; j < run.size(); ++j) {
      const std::uint32_t at = plan.run_starts[k] + static_cast<std::uint32_t>(j);
      order[at] = run[j].second;
      place[gates[run[j].second].out] = value_count + at;
    }
  }
  return order;
}

}  // namespace nimbo
