#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "component/component.hpp"
#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"
#include "random_circuit.hpp"
#include "reference_model.hpp"

namespace nimbo {
namespace {

using testing_model::apply;
using testing_model::ModelledCircuit;
using testing_model::ReferenceModel;
using testing_model::Values;

BitBus bus_of(const std::string& text) {
  return BitBus(BitBusValue::from_string(text).value());
}
BoxedEvaluator bus_ref(const std::string& id) {
  return std::make_unique<BusRef>(id);
}

void connect(Component& component, const Values& edges) {
  for (const auto& [from, to] : edges) ASSERT_TRUE(component.add_influence(from, to).ok());
}

// a, b inputs; c = a AND b; d = NOT c; table order d, a, c, b; complete
// influence lists. With `feedback`, an unrelated bus x = x follows, which
// makes the simulation run the worklist.
Simulation worked_example(bool feedback) {
  Component component("ex");
  for (const char* id : {"d", "a", "c", "b"}) component.add_bus(id, bus_of("0"));
  if (feedback) component.add_bus("x", bus_of("0"));
  component.set_assignment("c", std::make_unique<And>(bus_ref("a"), bus_ref("b")));
  component.set_assignment("d", std::make_unique<Not>(bus_ref("c")));
  if (feedback) component.set_assignment("x", bus_ref("x"));
  connect(component, {{"a", "c"}, {"b", "c"}, {"c", "d"}});
  return Simulation(std::move(component));
}

Values example_values(Simulation& simulation) {
  Values values = testing_model::values_of(simulation);
  values.resize(4);
  return values;
}

// The worked example on the worklist (with feedback: its evaluations turn
// by turn) and as one pass: the values of each update, a rejected input
// that changes nothing, an input for a driven bus overwritten, a restore of
// the rendered values.
TEST(Update, WorkedExample) {
  for (const bool feedback : {false, true}) {
    SCOPED_TRACE(feedback);
    Simulation simulation = worked_example(feedback);
    ASSERT_TRUE(apply(simulation, {{"a", "1"}, {"b", "1"}}).ok());
    EXPECT_EQ(simulation.runs_one_pass(), !feedback);
    EXPECT_EQ(example_values(simulation), (Values{{"d", "0"}, {"a", "1"}, {"c", "1"}, {"b", "1"}}));
    if (feedback) {
      EXPECT_EQ(simulation.last_evaluation_count(), 3U + 1);  // d, c, x, d again
      ASSERT_TRUE(apply(simulation, {}).ok());
      EXPECT_EQ(simulation.last_evaluation_count(), 2U + 1);
    }
    ASSERT_TRUE(apply(simulation, {{"a", "0"}}).ok());
    if (feedback) {
      EXPECT_EQ(simulation.last_evaluation_count(), 3U + 1);
    }
    const Values after = {{"d", "1"}, {"a", "0"}, {"c", "0"}, {"b", "1"}};
    EXPECT_EQ(example_values(simulation), after);

    const Status status = apply(simulation, {{"nope", "1"}, {"b", "0"}, {"a", "11"}, {"c", "x"}});
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), "Invalid value \"11\". The value must have 1 bits.");
    EXPECT_EQ(example_values(simulation), after);
    ASSERT_TRUE(apply(simulation, {{"c", "1"}, {"d", "0"}}).ok());
    EXPECT_EQ(example_values(simulation), after);

    simulation.restore_values(
        std::vector<BitBusValue>(feedback ? 5 : 4, BitBusValue::from_string("0").value()));
    EXPECT_EQ(example_values(simulation), (Values{{"d", "0"}, {"a", "0"}, {"c", "0"}, {"b", "0"}}));
    ASSERT_TRUE(apply(simulation, {{"b", "1"}}).ok());
    EXPECT_EQ(example_values(simulation), (Values{{"d", "1"}, {"a", "0"}, {"c", "0"}, {"b", "1"}}));
  }
}

// Which components run as one pass: reads of driven busses must be listed in
// influence lists unless they read a bus declared earlier that is itself
// final when taken.
TEST(Update, OnePassNeedsReadsThatSettle) {
  struct Case {
    const char* name;
    std::vector<const char*> order;
    Values influence;
    bool one_pass;
  };
  // c = a AND b; d = NOT c; e = d (copy).
  const Case cases[] = {
      {"declared in read order, no lists", {"a", "b", "c", "d", "e"}, {}, true},
      {"reverse order, complete lists", {"e", "d", "c", "b", "a"}, {{"c", "d"}, {"d", "e"}}, true},
      {"reverse order, one list missing", {"e", "d", "c", "b", "a"}, {{"c", "d"}}, false},
      // d is read by e after it, but d reads c declared later, so d is not
      // final when taken: e needs the list entry.
      {"earlier reader of an unsettled bus", {"a", "b", "d", "e", "c"}, {{"c", "d"}}, false},
      {"the same with the entry", {"a", "b", "d", "e", "c"}, {{"c", "d"}, {"d", "e"}}, true},
  };
  for (const Case& c : cases) {
    Component component("k");
    for (const char* id : c.order) component.add_bus(id, bus_of("0"));
    component.set_assignment("c", std::make_unique<And>(bus_ref("a"), bus_ref("b")));
    component.set_assignment("d", std::make_unique<Not>(bus_ref("c")));
    component.set_assignment("e", bus_ref("d"));
    connect(component, c.influence);
    Simulation simulation(std::move(component));
    ASSERT_TRUE(simulation.prepare().ok());
    EXPECT_FALSE(simulation.has_feedback()) << c.name;
    EXPECT_EQ(simulation.runs_one_pass(), c.one_pass) << c.name;
  }
}

// NAND SR latch: q = NAND(s_n, qn), qn = NAND(r_n, q).
TEST(Update, LatchSettlesAndHoldsItsState) {
  Component latch("sr");
  for (const char* id : {"s_n", "r_n", "q", "qn"}) latch.add_bus(id, bus_of("1"));
  latch.set_assignment("q", std::make_unique<Nand>(bus_ref("s_n"), bus_ref("qn")));
  latch.set_assignment("qn", std::make_unique<Nand>(bus_ref("r_n"), bus_ref("q")));
  connect(latch, {{"s_n", "q"}, {"qn", "q"}, {"r_n", "qn"}, {"q", "qn"}});
  Simulation simulation(std::move(latch));
  auto q_and_qn = [&] {
    const Values v = testing_model::values_of(simulation);
    return v[2].second + v[3].second;
  };
  const std::pair<Values, const char*> steps[] = {
      {{{"s_n", "0"}, {"r_n", "1"}}, "10"},
      {{{"s_n", "1"}}, "10"},  // holds
      {{{"r_n", "0"}}, "01"},
      {{{"r_n", "1"}}, "01"},
  };
  for (const auto& [inputs, expected] : steps) {
    ASSERT_TRUE(apply(simulation, inputs).ok());
    EXPECT_EQ(q_and_qn(), expected);
  }
  EXPECT_TRUE(simulation.has_feedback());
}

// A ring of three inverters listed in each other's influence lists never
// settles; the bound counts value words, so a ring of wide busses stops
// after as much work as a ring of narrow ones.
TEST(Update, RingStopsAtTheWorkLimitAndStaysUsable) {
  for (const std::size_t width : {std::size_t{1}, std::size_t{1} << 16}) {
    Component ring("ring");
    for (const char* id : {"enable", "x", "y", "z"})
      ring.add_bus(id, bus_of(std::string(width, '0')));
    ring.set_assignment("x", std::make_unique<Nand>(bus_ref("enable"), bus_ref("z")));
    ring.set_assignment("y", std::make_unique<Not>(bus_ref("x")));
    ring.set_assignment("z", std::make_unique<Not>(bus_ref("y")));
    connect(ring, {{"enable", "x"}, {"x", "y"}, {"y", "z"}, {"z", "x"}});
    Simulation simulation(std::move(ring));
    const Status status = apply(simulation, {{"enable", std::string(width, '1')}});
    ASSERT_FALSE(status.ok());
    // Each evaluation costs the bus taken plus its words (the exact count
    // is checked against the model elsewhere).
    const std::uint64_t cost = 1 + BitBusValue::words_for(width);
    const std::string prefix = "Circuit did not settle: stopped after ";
    ASSERT_EQ(status.error().rfind(prefix, 0), 0U) << status.error();
    const std::uint64_t evaluations = std::stoull(status.error().substr(prefix.size()));
    EXPECT_NEAR(static_cast<double>(evaluations),
                static_cast<double>(simulation.work_limit() / cost), 4);

    ASSERT_TRUE(apply(simulation, {{"enable", std::string(width, '0')}}).ok());
    EXPECT_EQ(testing_model::values_of(simulation)[1].second, std::string(width, '1'));
  }
}

TEST(Update, InterruptStopsTheWorklistAndTheNextUpdateStartsAfresh) {
  Component ring("osc");
  ring.add_bus("osc", bus_of("0"));
  ring.set_assignment("osc", std::make_unique<Not>(bus_ref("osc")));
  connect(ring, {{"osc", "osc"}});
  Simulation simulation(std::move(ring));
  static int polls = 0;
  polls = 0;
  const UpdateControl control{[] { return ++polls == 3; }, 0, std::chrono::nanoseconds{0}};
  const Status status = simulation.update_signals({}, control);
  ASSERT_FALSE(status.ok());
  EXPECT_TRUE(status.interrupted());
  EXPECT_EQ(polls, 3);
  EXPECT_LT(simulation.last_evaluation_count(), simulation.work_limit());
  // Not waiting any more: a new update runs to the bound again.
  EXPECT_FALSE(apply(simulation, {}).interrupted());
}

TEST(Update, EvaluatedWidthBecomesTheBusWidth) {
  for (const bool feedback : {false, true}) {
    Component component("w");
    component.add_bus("in", bus_of("0000"));
    component.add_bus("out", bus_of("0"));
    if (feedback) component.add_bus("x", bus_of("0"));
    component.set_assignment("out", std::make_unique<Not>(bus_ref("in")));
    if (feedback) component.set_assignment("x", bus_ref("x"));
    Simulation simulation(std::move(component));
    // Before the first update the driven bus has its declared width.
    EXPECT_FALSE(apply(simulation, {{"out", "1111"}}).ok());
    ASSERT_TRUE(apply(simulation, {{"in", "0101"}, {"out", "1"}}).ok());
    EXPECT_EQ(testing_model::values_of(simulation)[1].second, "1010");
    EXPECT_FALSE(apply(simulation, {{"out", "1"}}).ok());
    EXPECT_TRUE(apply(simulation, {{"out", "1111"}}).ok());
  }
}

TEST(Update, ComponentWithoutBussesAcceptsAnything) {
  Simulation simulation(Component("empty"));
  EXPECT_TRUE(apply(simulation, {{"x", "not bits"}}).ok());
}

// Random circuits against the plain model: the same values and errors after
// every update, and, where the worklist runs, the same number of evaluations.
struct ModelCase {
  const char* name;
  testing_model::CircuitShape shape;
  bool always_one_pass;
};

class AgainstReferenceModel : public ::testing::TestWithParam<std::tuple<ModelCase, unsigned>> {};

TEST_P(AgainstReferenceModel, SameValuesAndErrors) {
  const auto& [model_case, seed] = GetParam();
  std::mt19937_64 rng(seed);
  testing_model::RandomCircuit circuit =
      testing_model::make_random_circuit(rng, model_case.shape, 2 + static_cast<int>(rng() % 40));
  Simulation& simulation = circuit.simulation;
  ASSERT_TRUE(simulation.prepare().ok());
  ASSERT_EQ(simulation.has_feedback(), circuit.model.feedback());
  if (model_case.always_one_pass) {
    EXPECT_TRUE(simulation.runs_one_pass());
  }
  for (int step = 0; step < 6; ++step) {
    const Values inputs = testing_model::random_inputs(rng, circuit, simulation);
    const Status status = apply(simulation, inputs, {nullptr, testing_model::kModelWorkLimit});
    const std::string expected = circuit.model.update(inputs, testing_model::kModelWorkLimit);
    EXPECT_EQ(status.ok() ? "" : status.error(), expected) << "step " << step;
    if (!simulation.runs_one_pass() && status.ok()) {
      EXPECT_EQ(simulation.last_evaluation_count(), circuit.model.evaluations) << "step " << step;
      // One-bit circuits take the worklist's byte form.
      EXPECT_EQ(simulation.last_update_on_bits(), model_case.shape.narrow) << "step " << step;
    }
    ASSERT_EQ(testing_model::values_of(simulation), circuit.model.values()) << "step " << step;
    ASSERT_TRUE(testing_model::same_values(simulation, circuit.model)) << "step " << step;
  }
}

// With complete influence lists a settled worklist leaves nothing stale: an
// update that changes nothing runs no evaluation, yet counts every driven bus
// as the full algorithm evaluates it; after a change it runs only the busses
// the change reaches.
TEST(Update, WorklistRunsOnlyEvaluationsThatCanChangeSomething) {
  int checked = 0;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937_64 rng(seed);
    testing_model::RandomCircuit circuit =
        testing_model::make_random_circuit(rng, {true, true, 0, seed % 2 == 0}, 60);
    Simulation& simulation = circuit.simulation;
    if (!apply(simulation, {}, {nullptr, testing_model::kModelWorkLimit}).ok()) continue;
    ASSERT_EQ(circuit.model.update({}, testing_model::kModelWorkLimit), "");
    if (simulation.runs_one_pass()) continue;  // no loop came out of this seed
    ++checked;
    std::size_t driven = 0;
    for (const bool d : circuit.driven) driven += d;
    ASSERT_TRUE(apply(simulation, {}).ok());
    ASSERT_EQ(circuit.model.update({}, testing_model::kModelWorkLimit), "");
    EXPECT_EQ(simulation.last_evaluations_run(), 0U) << "seed " << seed;
    EXPECT_EQ(simulation.last_evaluation_count(), circuit.model.evaluations) << "seed " << seed;
    EXPECT_EQ(simulation.last_evaluation_count(), driven) << "seed " << seed;
  }
  EXPECT_GE(checked, 4);
}

// Few inputs changed per update: the one-pass update follows the changes
// (fewer gates than the circuit has) and still ends in the model's values.
TEST(Update, FollowingChangesGivesTheValuesOfAFullPass) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937_64 rng(seed);
    testing_model::RandomCircuit circuit =
        testing_model::make_random_circuit(rng, {false, true, 0, seed % 2 == 0}, 300);
    Simulation& simulation = circuit.simulation;
    std::vector<std::string> inputs;
    for (std::size_t rank = 0; rank < circuit.ids.size(); ++rank) {
      if (!circuit.driven[rank]) inputs.push_back(circuit.ids[rank]);
    }
    bool followed = false;
    for (int step = 0; step < 40; ++step) {
      Values written;
      for (int k = 0; k < 1 + step % 3; ++k) {
        const std::string& id = inputs[rng() % inputs.size()];
        written.emplace_back(
            id, testing_model::random_bits(rng, simulation.width(*simulation.find(id))));
      }
      ASSERT_TRUE(testing_model::apply(simulation, written).ok());
      ASSERT_EQ(circuit.model.update(written, testing_model::kModelWorkLimit), "");
      ASSERT_EQ(testing_model::values_of(simulation), circuit.model.values())
          << "seed " << seed << " step " << step;
      followed = followed || simulation.last_evaluation_count() < simulation.graph().gates().size();
    }
    EXPECT_TRUE(followed) << "seed " << seed;
  }
}

bool stop_now() {
  return true;
}

// A control that stops at its first question, asked at every look at the
// clock: binding stops at its first poll, within its walk over the busses in
// a large circuit, between its steps in a small one. Nothing of it is kept,
// and the next update binds and settles as the model does.
TEST(Update, AnInterruptWhileBindingKeepsNothing) {
  for (const int busses : {30, 6000}) {
    for (const bool feedback : {false, true}) {
      std::mt19937_64 rng(static_cast<unsigned>(busses) + feedback);
      testing_model::RandomCircuit circuit =
          testing_model::make_random_circuit(rng, {feedback, true, 0, false}, busses);
      Simulation& simulation = circuit.simulation;
      const Values before = testing_model::values_of(simulation);
      const UpdateControl stop{&stop_now, testing_model::kModelWorkLimit,
                               std::chrono::nanoseconds{0}};
      const Status interrupted = apply(simulation, {}, stop);
      ASSERT_TRUE(interrupted.interrupted()) << busses;
      EXPECT_EQ(simulation.graph().gates().size(), 0U) << busses;
      EXPECT_EQ(testing_model::values_of(simulation), before) << busses;
      const Status status = apply(simulation, {}, {nullptr, testing_model::kModelWorkLimit});
      EXPECT_EQ(status.ok() ? "" : status.error(),
                circuit.model.update({}, testing_model::kModelWorkLimit));
      EXPECT_EQ(testing_model::values_of(simulation), circuit.model.values()) << busses;
    }
  }
}

// A gate-level netlist whose flip-flops are NAND latches on two clock
// phases (a master open while phi1 is 1, a slave while phi2 is 1), built
// alike into a component and the plain model: the flip-flops' d are random
// gates over their q and the inputs, the table order is shuffled, and every
// reader is listed (with `partial`, one in five is left out).
struct LatchNetlist {
  Simulation simulation;
  ReferenceModel model;
  std::vector<std::string> inputs;  // phi1, phi2, then the data inputs
};

LatchNetlist make_latch_netlist(std::mt19937_64& rng, int flip_flops, bool partial) {
  struct Node {
    std::string id;
    std::string left, right;
    Gate gate;
    bool inverted_left;
  };
  std::vector<std::string> inputs = {"phi1", "phi2"};
  for (int i = 0; i < 3; ++i) inputs.push_back("in" + std::to_string(i));
  std::vector<Node> nodes;
  std::vector<std::string> qs;
  for (int k = 0; k < flip_flops; ++k) qs.push_back("q" + std::to_string(k));
  const auto any_source = [&] {
    const std::size_t pick = rng() % (qs.size() + inputs.size() - 2);
    return pick < qs.size() ? qs[pick] : inputs[2 + pick - qs.size()];
  };
  for (int k = 0; k < flip_flops; ++k) {
    const std::string f = "f" + std::to_string(k) + "_";
    const std::string d = f + "d";
    nodes.push_back({d, any_source(), any_source(), static_cast<Gate>(rng() % 6), rng() % 2 == 0});
    nodes.push_back({f + "s1", d, "phi1", Gate::kNand, false});
    nodes.push_back({f + "r1", f + "s1", "phi1", Gate::kNand, false});
    nodes.push_back({f + "m", f + "s1", f + "mn", Gate::kNand, false});
    nodes.push_back({f + "mn", f + "r1", f + "m", Gate::kNand, false});
    nodes.push_back({f + "s2", f + "m", "phi2", Gate::kNand, false});
    nodes.push_back({f + "r2", f + "s2", "phi2", Gate::kNand, false});
    nodes.push_back({qs[static_cast<std::size_t>(k)], f + "s2", f + "qn", Gate::kNand, false});
    nodes.push_back({f + "qn", f + "r2", qs[static_cast<std::size_t>(k)], Gate::kNand, false});
  }
  std::vector<std::string> order = inputs;
  for (const Node& node : nodes) order.push_back(node.id);
  std::shuffle(order.begin(), order.end(), rng);
  ModelledCircuit built;
  for (const std::string& id : order) built.add_bus(id, "0");
  for (const Node& node : nodes) {
    BoxedEvaluator left = bus_ref(node.left);
    if (node.inverted_left) left = std::make_unique<Not>(std::move(left));
    built.set_assignment(node.id, *make_gate_node(node.gate, std::move(left), bus_ref(node.right)));
    for (const std::string* read : {&node.left, &node.right}) {
      if (partial && rng() % 5 == 0) continue;
      built.add_influence(*read, node.id);
    }
  }
  return LatchNetlist{Simulation(std::move(built.component)), std::move(built.model),
                      std::move(inputs)};
}

// Cycles of the four phase changes with new data, and now and then both
// phases open at once (a ring through the latches, which may race or never
// settle) or a phase left open across new data: the same values, errors
// and evaluation counts as the plain model after every update, all on the
// byte form.
TEST(Update, NandLatchNetlistsFollowThePlainModel) {
  int unsettled = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 rng(seed);
    LatchNetlist netlist = make_latch_netlist(rng, 1 + static_cast<int>(rng() % 12), seed % 4 == 0);
    Simulation& simulation = netlist.simulation;
    for (int update = 0; update < 48; ++update) {
      Values inputs;
      switch (rng() % 8 == 0 ? 4 : update % 4) {
        case 0:
          inputs = {{"phi1", "1"}};
          for (std::size_t i = 2; i < netlist.inputs.size(); ++i) {
            inputs.emplace_back(netlist.inputs[i], testing_model::random_bits(rng, 1));
          }
          break;
        case 1:
          inputs = {{"phi1", "0"}};
          break;
        case 2:
          inputs = {{"phi2", "1"}};
          break;
        case 3:
          inputs = {{"phi2", "0"}};
          break;
        default:
          inputs = {{"phi1", "1"}, {"phi2", "1"}, {"in0", testing_model::random_bits(rng, 1)}};
          break;
      }
      const Status status = apply(simulation, inputs, {nullptr, testing_model::kModelWorkLimit});
      const std::string expected = netlist.model.update(inputs, testing_model::kModelWorkLimit);
      ASSERT_EQ(status.ok() ? "" : status.error(), expected)
          << "seed " << seed << " update " << update;
      unsettled += !status.ok();
      EXPECT_TRUE(simulation.last_update_on_bits());
      if (status.ok()) {
        EXPECT_EQ(simulation.last_evaluation_count(), netlist.model.evaluations)
            << "seed " << seed << " update " << update;
      }
      ASSERT_TRUE(testing_model::same_values(simulation, netlist.model))
          << "seed " << seed << " update " << update;
    }
  }
  EXPECT_GT(unsettled, 0);  // some rings oscillated
}

// The byte form holds while every value is one bit: a driven bus declared
// wider runs the general form until its first evaluation, a restore of such
// values goes back to it, and a constant wider than a bit keeps a circuit
// on the general form for good. Values and counts stay the model's.
TEST(Update, OneBitFormFollowsTheWidthsOfTheValues) {
  struct Case {
    const char* name;
    const char* declared;  // the value `w` is rendered with
    const char* constant;  // what `w` is XORed with
    bool first_on_bits;    // the first update after a render or a restore
    bool later_on_bits;
  };
  const Case cases[] = {
      {"one bit throughout", "0", "1", true, true},
      {"declared wider", "000", "1", false, true},
      {"wide constant", "0", "11", false, false},
  };
  for (const Case& c : cases) {
    // w = in XOR constant; a latch q = NAND(w, qn), qn = NAND(in, q).
    ModelledCircuit built;
    for (const auto& [id, bits] : Values{{"in", "0"}, {"q", "1"}, {"w", c.declared}, {"qn", "0"}}) {
      built.add_bus(id, bits);
    }
    built.set_assignment(
        "w",
        Xor(bus_ref("in"), std::make_unique<Const>(BitBusValue::from_string(c.constant).value())));
    built.set_assignment("q", Nand(bus_ref("w"), bus_ref("qn")));
    built.set_assignment("qn", Nand(bus_ref("in"), bus_ref("q")));
    for (const auto& [from, to] :
         Values{{"in", "w"}, {"w", "q"}, {"qn", "q"}, {"in", "qn"}, {"q", "qn"}}) {
      built.add_influence(from, to);
    }
    ReferenceModel& model = built.model;
    Simulation simulation(std::move(built.component));
    const std::vector<BitBusValue> rendered = simulation.snapshot();
    const std::vector<BitBusValue> model_rendered(model.table().values().begin(),
                                                  model.table().values().end());
    for (int round = 0; round < 2; ++round) {
      bool first = true;
      for (const char* in : {"1", "0", "1", "1", "0"}) {
        const Values inputs = {{"in", in}};
        ASSERT_TRUE(apply(simulation, inputs).ok()) << c.name;
        if (std::exchange(first, false)) {
          EXPECT_EQ(simulation.last_update_on_bits(), c.first_on_bits) << c.name;
        }
        ASSERT_EQ(model.update(inputs, testing_model::kModelWorkLimit), "") << c.name;
        EXPECT_EQ(simulation.last_evaluation_count(), model.evaluations) << c.name;
        ASSERT_TRUE(testing_model::same_values(simulation, model)) << c.name;
      }
      EXPECT_EQ(simulation.last_update_on_bits(), c.later_on_bits) << c.name;
      simulation.restore_values(rendered);
      model.restore(model_rendered);
    }
  }
}

// An interrupt in the middle of the seeds of a long one-bit chain (with a
// bus that reads itself, so that the worklist runs) leaves the seeds not
// yet taken waiting for the next update, which ends in the model's values.
TEST(Update, InterruptedOneBitSeedsStayStale) {
  const int length = 6000;
  ModelledCircuit built;
  const auto id = [](int i) { return i < 0 ? std::string("in") : "c" + std::to_string(i); };
  for (int i = -1; i < length; ++i) built.add_bus(id(i), "0");
  built.add_bus("x", "0");
  for (int i = 0; i < length; ++i) built.set_assignment(id(i), Not(bus_ref(id(i - 1))));
  built.set_assignment("x", BusRef("x"));
  ReferenceModel& model = built.model;
  Simulation simulation(std::move(built.component));
  ASSERT_TRUE(simulation.prepare().ok());
  const UpdateControl stop{&stop_now, 0, std::chrono::nanoseconds{0}};
  ASSERT_TRUE(apply(simulation, {{"in", "1"}}, stop).interrupted());
  EXPECT_TRUE(simulation.last_update_on_bits());
  EXPECT_LT(simulation.last_evaluations_run(), static_cast<std::uint64_t>(length) / 2);
  ASSERT_TRUE(apply(simulation, {}).ok());
  ASSERT_EQ(model.update({{"in", "1"}}, testing_model::kModelWorkLimit), "");
  EXPECT_TRUE(testing_model::same_values(simulation, model));
}

const ModelCase kModelCases[] = {
    {"DagCompleteLists", {false, true, 0, false}, true},
    {"DagInReadOrder", {false, false, 2, false}, true},
    {"OneBitDag", {false, true, 0, true}, true},
    {"DagPartialLists", {false, true, 3, false}, false},
    {"Feedback", {true, true, 0, false}, false},
    {"FeedbackPartialLists", {true, true, 4, false}, false},
    {"OneBitFeedback", {true, true, 0, true}, false},
    {"OneBitFeedbackPartialLists", {true, true, 4, true}, false},
    {"OneBitFeedbackInReadOrder", {true, false, 0, true}, false},
};

INSTANTIATE_TEST_SUITE_P(Circuits, AgainstReferenceModel,
                         ::testing::Combine(::testing::ValuesIn(kModelCases),
                                            ::testing::Range(1U, 25U)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace nimbo
