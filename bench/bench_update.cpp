// The simulation core on random-read DAGs, side by side in one run:
//   - one update per vector (every input written, as a Python caller would),
//   - batches of vectors (rows of 0/1 bytes, every input in every row),
// in ns per gate and vector, at 10k, 100k and 1M gates; then the same
// circuit declared in random order, and with an inverted operand on every
// gate written inside the gate's tree or as a bus of its own; then the
// batches again with each build of the lane kernels the processor runs.
//
//   bench/run.sh update [--quick]
//
// Every gate reads two random earlier nodes anywhere in the circuit (inputs
// or gates), so nothing about the layout suits the cache; there are as many
// inputs as a hundredth of the gates. Times are CPU time of this thread, so
// other jobs on a shared machine disturb them less than wall time.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "component/component.hpp"
#include "engine/lane_isa.hpp"
#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"

namespace {

using nimbo::BitBus;
using nimbo::BoxedEvaluator;
using nimbo::Component;
using nimbo::Simulation;

enum class Form { kFlat, kNestedInversions, kInverterBusses };

struct Dag {
  Simulation simulation;
  std::vector<std::uint32_t> inputs;  // positions
  std::uint32_t output = 0;
  std::size_t gates = 0;
};

BoxedEvaluator ref(const std::string& id) {
  return std::make_unique<nimbo::BusRef>(id);
}

// `gates` gates over `gates / 100` inputs; every reader is listed in the
// influence list of what it reads.
Dag random_read_dag(std::size_t gates, Form form, bool shuffled, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::size_t input_count = std::max<std::size_t>(gates / 100, 2);
  struct Node {
    std::string id;
    std::string left, right;
    nimbo::Gate kind;
    bool input;
  };
  std::vector<Node> nodes;
  for (std::size_t i = 0; i < input_count; ++i)
    nodes.push_back({"i" + std::to_string(i), "", "", {}, true});
  std::vector<Node> inverters;
  for (std::size_t g = 0; g < gates; ++g) {
    Node node{"g" + std::to_string(g), nodes[rng() % nodes.size()].id,
              nodes[rng() % nodes.size()].id, static_cast<nimbo::Gate>(rng() % 6), false};
    if (form == Form::kInverterBusses) {
      inverters.push_back({"n" + std::to_string(g), node.left, "", {}, false});
      node.left = inverters.back().id;
    }
    nodes.push_back(std::move(node));
  }
  std::vector<const Node*> order;
  for (const Node& node : nodes) order.push_back(&node);
  for (const Node& node : inverters) order.push_back(&node);
  if (shuffled) std::shuffle(order.begin(), order.end(), rng);
  Component c("dag");
  for (const Node* node : order) c.add_bus(node->id, BitBus());
  for (const Node& node : nodes) {
    if (node.input) continue;
    BoxedEvaluator left = ref(node.left);
    if (form == Form::kNestedInversions) left = std::make_unique<nimbo::Not>(std::move(left));
    c.set_assignment(node.id, nimbo::make_gate_node(node.kind, std::move(left), ref(node.right)));
    if (!c.add_influence(node.left, node.id).ok() || !c.add_influence(node.right, node.id).ok()) {
      std::abort();
    }
  }
  for (const Node& node : inverters) {
    c.set_assignment(node.id, std::make_unique<nimbo::Not>(ref(node.left)));
    if (!c.add_influence(node.left, node.id).ok()) std::abort();
  }
  std::vector<std::uint32_t> inputs;
  for (std::size_t i = 0; i < input_count; ++i) inputs.push_back(*c.find(nodes[i].id));
  const std::uint32_t output = *c.find(nodes.back().id);
  return Dag{Simulation(std::move(c)), std::move(inputs), output, gates};
}

class Discard final : public nimbo::VectorSink {
 public:
  bool take(std::size_t, std::span<const nimbo::BitBusValue> values) override {
    ones += values[0].bit(0);
    return true;
  }
  std::size_t ones = 0;
};

// CPU time of the calling thread, in seconds.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ns per gate and vector of one update per vector, every input written.
double per_update(Dag& dag, int runs) {
  std::mt19937_64 rng(5);
  const std::size_t vectors = std::max<std::size_t>(8, 4'000'000 / dag.gates);
  std::vector<std::string> texts(vectors * dag.inputs.size());
  for (std::string& text : texts) text = (rng() & 1) ? "1" : "0";
  std::vector<nimbo::PositionInput> inputs(dag.inputs.size());
  if (!dag.simulation.update_positions({}).ok()) std::abort();  // bind and settle once
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    const double start = thread_seconds();
    for (std::size_t v = 0; v < vectors; ++v) {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        inputs[i] = {dag.inputs[i], texts[v * inputs.size() + i]};
      }
      if (!dag.simulation.update_positions(inputs).ok()) std::abort();
    }
    const double seconds = thread_seconds() - start;
    samples.push_back(seconds * 1e9 / static_cast<double>(vectors * dag.gates));
  }
  return median(samples);
}

// ns per gate and vector of a batch of byte rows, every input in every row.
double per_batch_vector(Dag& dag, int runs) {
  std::mt19937_64 rng(6);
  const std::size_t rows = std::max<std::size_t>(512, 64'000'000 / dag.gates);
  std::vector<std::uint8_t> data(rows * dag.inputs.size());
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(rng() & 1);
  const nimbo::ByteVectors vectors{dag.inputs,
                                   data.data(),
                                   rows,
                                   dag.inputs.size(),
                                   static_cast<std::ptrdiff_t>(dag.inputs.size()),
                                   1};
  const std::uint32_t shown[] = {dag.output};
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    Discard sink;
    const double start = thread_seconds();
    if (dag.simulation.run_vectors(vectors, shown, sink)) std::abort();
    const double seconds = thread_seconds() - start;
    samples.push_back(seconds * 1e9 / static_cast<double>(rows * dag.gates));
  }
  return median(samples);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int runs = quick ? 3 : 5;
  std::vector<std::size_t> sizes = {10'000, 100'000, 1'000'000};
  if (quick) sizes.pop_back();

  std::printf("Random-read DAGs, inputs = gates / 100, every input written in every vector.\n");
  std::printf("%-34s %10s %22s %22s\n", "circuit", "gates", "update: ns/gate-vector",
              "batch: ns/gate-vector");
  double first_update = 0, first_batch = 0, last_update = 0, last_batch = 0;
  for (const std::size_t gates : sizes) {
    Dag dag = random_read_dag(gates, Form::kFlat, false, 42);
    const double update = per_update(dag, runs);
    const double batch = per_batch_vector(dag, runs);
    std::printf("%-34s %10zu %22.3f %22.4f\n", "dependency order", gates, update, batch);
    if (first_update == 0) first_update = update, first_batch = batch;
    last_update = update;
    last_batch = batch;
  }
  std::printf("cost per gate and vector, largest / smallest: update %.2fx, batch %.2fx\n\n",
              last_update / first_update, last_batch / first_batch);

  const std::size_t gates = quick ? 100'000 : 1'000'000;
  std::printf("The same %zu-gate DAG in other forms (update / batch, ns per gate and vector):\n",
              gates);
  struct Variant {
    const char* name;
    Form form;
    bool shuffled;
  };
  const Variant variants[] = {
      {"dependency order", Form::kFlat, false},
      {"random declaration order", Form::kFlat, true},
      {"inverted operand inside each tree", Form::kNestedInversions, false},
      {"inverted operand as its own bus", Form::kInverterBusses, false},
  };
  for (const Variant& variant : variants) {
    Dag dag = random_read_dag(gates, variant.form, variant.shuffled, 42);
    std::printf("%-34s %10zu %22.3f %22.4f\n", variant.name, gates, per_update(dag, runs),
                per_batch_vector(dag, runs));
  }

  std::printf("\nBatches by build of the lane kernels (ns per gate and vector; %s by default):\n",
              std::string(nimbo::lane_isa_name(nimbo::lane_isa())).c_str());
  std::printf("%-34s %10s", "circuit", "gates");
  for (const nimbo::LaneIsa isa : nimbo::kLaneIsas) {
    std::printf(" %10s", std::string(nimbo::lane_isa_name(isa)).c_str());
  }
  std::printf("\n");
  const nimbo::LaneIsa chosen = nimbo::lane_isa();
  for (const std::size_t size : sizes) {
    Dag dag = random_read_dag(size, Form::kFlat, false, 42);
    std::printf("%-34s %10zu", "dependency order", size);
    for (const nimbo::LaneIsa isa : nimbo::kLaneIsas) {
      if (!nimbo::choose_lane_isa(isa)) {
        std::printf(" %10s", "-");
        continue;
      }
      std::printf(" %10.4f", per_batch_vector(dag, runs));
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  nimbo::choose_lane_isa(chosen);
  return 0;
}
