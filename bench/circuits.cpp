#include "circuits.hpp"

#include <memory>
#include <random>

#include "expr_nodes/nodes.hpp"

namespace nimbo::bench {

namespace {

BoxedEvaluator bus_ref(const std::string& id) {
  return std::make_unique<BusRef>(id);
}

void influence(Component& component, const std::string& from, const std::string& to) {
  if (!component.add_influence(from, to).ok()) std::abort();
}

}  // namespace

Circuit ripple_carry_adder(int bits) {
  Circuit circuit{Component("adder"), {}, 0};
  Component& c = circuit.component;
  auto add = [&](const std::string& id) { c.add_bus(id, BitBus()); };
  for (int i = 0; i < bits; ++i) {
    add("a" + std::to_string(i));
    add("b" + std::to_string(i));
    circuit.inputs.push_back("a" + std::to_string(i));
    circuit.inputs.push_back("b" + std::to_string(i));
  }
  add("c0");
  circuit.inputs.push_back("c0");
  for (int i = 0; i < bits; ++i) {
    const std::string n = std::to_string(i), next = std::to_string(i + 1);
    for (const char* prefix : {"p", "g", "t", "s", "c"}) {
      add(prefix + (std::string(prefix) == "c" ? next : n));
    }
  }
  for (int i = 0; i < bits; ++i) {
    const std::string n = std::to_string(i), next = std::to_string(i + 1);
    const std::string a = "a" + n, b = "b" + n, cin = "c" + n, p = "p" + n, g = "g" + n,
                      t = "t" + n, s = "s" + n, cout = "c" + next;
    c.set_assignment(p, std::make_unique<Xor>(bus_ref(a), bus_ref(b)));
    c.set_assignment(g, std::make_unique<And>(bus_ref(a), bus_ref(b)));
    c.set_assignment(s, std::make_unique<Xor>(bus_ref(p), bus_ref(cin)));
    c.set_assignment(t, std::make_unique<And>(bus_ref(p), bus_ref(cin)));
    c.set_assignment(cout, std::make_unique<Or>(bus_ref(g), bus_ref(t)));
    for (const auto& [from, to] : {std::pair{a, p},
                                   {a, g},
                                   {b, p},
                                   {b, g},
                                   {p, s},
                                   {cin, s},
                                   {p, t},
                                   {cin, t},
                                   {g, cout},
                                   {t, cout}}) {
      influence(c, from, to);
    }
    circuit.gates += 5;
  }
  return circuit;
}

Circuit layered_dag(std::size_t gates, std::size_t layer_width, std::uint64_t seed) {
  Circuit circuit{Component("dag"), {}, gates};
  Component& c = circuit.component;
  std::mt19937_64 rng(seed);
  std::vector<std::string> below;
  for (std::size_t i = 0; i < layer_width; ++i) {
    below.push_back("i" + std::to_string(i));
    c.add_bus(below.back(), BitBus());
    circuit.inputs.push_back(below.back());
  }
  struct Gate {
    std::string id, left, right;
    nimbo::Gate kind;
  };
  std::vector<Gate> all;
  all.reserve(gates);
  for (std::size_t made = 0; made < gates;) {
    std::vector<std::string> layer;
    for (std::size_t i = 0; i < layer_width && made < gates; ++i, ++made) {
      Gate gate{"g" + std::to_string(made), below[rng() % below.size()],
                below[rng() % below.size()], static_cast<nimbo::Gate>(rng() % 6)};
      c.add_bus(gate.id, BitBus());
      layer.push_back(gate.id);
      all.push_back(std::move(gate));
    }
    below = std::move(layer);
  }
  for (Gate& gate : all) {
    c.set_assignment(gate.id, make_gate_node(gate.kind, bus_ref(gate.left), bus_ref(gate.right)));
    influence(c, gate.left, gate.id);
    influence(c, gate.right, gate.id);
  }
  return circuit;
}

}  // namespace nimbo::bench
