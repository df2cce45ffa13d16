// Nanoseconds per evaluated assignment for updates that flip one random
// input, on a ripple-carry adder and on random layered DAGs of growing size.
//
//   bench/run.sh            (builds, then runs this)
//   bench_update [--quick]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "circuits.hpp"

using nimbo::SignalInput;
using nimbo::bench::Circuit;

namespace {

struct Figures {
  double changes_per_update;
  double ns_per_evaluation;
  double evaluations_per_update;
  double us_per_update;
};

Figures measure(Circuit& circuit, int updates, int runs, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto& component = circuit.component;
  if (!component.update_signals({}).ok()) std::abort();  // settle once, and bind
  std::vector<double> per_eval, per_update, evals, changed;
  std::vector<nimbo::BitBusValue> before;
  for (int run = 0; run < runs; ++run) {
    std::uint64_t evaluations = 0;
    std::uint64_t changes = 0;
    double seconds = 0;
    for (int i = 0; i < updates; ++i) {
      const std::string& id = circuit.inputs[rng() % circuit.inputs.size()];
      const auto position = *component.busses().find(id);
      const char* bits = component.busses().value(position).bit(0) ? "0" : "1";
      const SignalInput input{id, bits};
      const auto values = component.busses().values();
      before.assign(values.begin(), values.end());
      const auto start = std::chrono::steady_clock::now();
      if (!component.update_signals({&input, 1}).ok()) std::abort();
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      evaluations += component.last_evaluation_count();
      for (std::size_t p = 0; p < before.size(); ++p) changes += !(before[p] == values[p]);
    }
    changed.push_back(static_cast<double>(changes) / updates);
    per_eval.push_back(seconds * 1e9 / static_cast<double>(evaluations));
    per_update.push_back(seconds * 1e6 / updates);
    evals.push_back(static_cast<double>(evaluations) / updates);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  return {median(changed), median(per_eval), median(evals), median(per_update)};
}

void print_row(const std::string& name, std::size_t gates, const Figures& f) {
  std::printf("%-28s %10zu %13.0f %15.0f %12.2f %9.2f\n", name.c_str(), gates,
              f.evaluations_per_update, f.changes_per_update, f.us_per_update, f.ns_per_evaluation);
}

// Every DAG has the same depth, so that the share of gates a flipped input
// reaches is alike at every size and the per-evaluation cost shows how the
// loop scales with circuit size alone.
constexpr std::size_t kLayers = 100;

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int runs = quick ? 3 : 7;
  std::printf("%-28s %10s %13s %15s %12s %9s\n", "circuit", "gates", "evals/update",
              "changed/update", "us/update", "ns/eval");

  Circuit adder = nimbo::bench::ripple_carry_adder(64);
  Figures f = measure(adder, 2000, runs, 1);
  print_row("ripple-carry adder, 64 bit", adder.gates, f);

  std::vector<std::size_t> sizes = {10'000, 100'000, 1'000'000};
  if (quick) sizes.pop_back();
  double first = 0, last = 0;
  for (std::size_t gates : sizes) {
    Circuit dag = nimbo::bench::layered_dag(gates, gates / kLayers, 42);
    const int updates = static_cast<int>(std::max<std::size_t>(5, 2'000'000 / gates));
    f = measure(dag, updates, runs, 2);
    print_row("random DAG, " + std::to_string(gates / 1000) + "k gates", gates, f);
    if (first == 0) first = f.ns_per_evaluation;
    last = f.ns_per_evaluation;
  }
  std::printf("per-evaluation cost, largest / smallest DAG: %.2fx\n", last / first);
  if (!quick) {
    // A deeper shape for comparison: layers 1000 gates wide, 1000 deep.
    Circuit deep = nimbo::bench::layered_dag(1'000'000, 1000, 42);
    f = measure(deep, 5, runs, 2);
    print_row("random DAG, 1000k, 1000 deep", 1'000'000, f);
  }
  return 0;
}
