#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "component/component.hpp"
#include "expr_nodes/nodes.hpp"
#include "reference_model.hpp"

namespace nimbo {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

BitBus bus_of(const std::string& text) {
  return BitBus(BitBusValue::from_string(text).value());
}
BoxedEvaluator bus_ref(const std::string& id) {
  return std::make_unique<BusRef>(id);
}
BoxedEvaluator lit(const std::string& text) {
  return std::make_unique<Const>(BitBusValue::from_string(text).value());
}

Status update(Component& component, const Values& inputs) {
  std::vector<SignalInput> signals;
  for (const auto& [id, bits] : inputs) signals.push_back({id, bits});
  return component.update_signals(signals);
}

// a, b inputs; c = a AND b; d = NOT c; table order d, a, c, b.
Component worked_example() {
  Component component("ex");
  for (const char* id : {"d", "a", "c", "b"}) component.add_bus(id, bus_of("0"));
  component.set_assignment("c", std::make_unique<And>(bus_ref("a"), bus_ref("b")));
  component.set_assignment("d", std::make_unique<Not>(bus_ref("c")));
  for (const auto& [from, to] : Values{{"a", "c"}, {"b", "c"}, {"c", "d"}}) {
    EXPECT_TRUE(component.add_influence(from, to).ok());
  }
  return component;
}

TEST(Update, WorkedExampleFollowsTheWorklistTurnByTurn) {
  Component component = worked_example();
  ASSERT_TRUE(update(component, {{"a", "1"}, {"b", "1"}}).ok());
  EXPECT_EQ(component.get_values(), (Values{{"d", "0"}, {"a", "1"}, {"c", "1"}, {"b", "1"}}));
  EXPECT_EQ(component.last_evaluation_count(), 3U);  // d, c, d again

  ASSERT_TRUE(update(component, {}).ok());
  EXPECT_EQ(component.last_evaluation_count(), 2U);
  EXPECT_EQ(component.get_values(), (Values{{"d", "0"}, {"a", "1"}, {"c", "1"}, {"b", "1"}}));

  ASSERT_TRUE(update(component, {{"a", "0"}}).ok());
  EXPECT_EQ(component.last_evaluation_count(), 3U);
  EXPECT_EQ(component.get_values(), (Values{{"d", "1"}, {"a", "0"}, {"c", "0"}, {"b", "1"}}));
}

TEST(Update, PhaseOneErrorKeepsEarlierWritesAndSkipsEvaluation) {
  Component component = worked_example();
  const Status status = update(component, {{"nope", "1"}, {"a", "1"}, {"b", "11"}, {"c", "1"}});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), "Invalid value \"11\". The value must have 1 bits.");
  EXPECT_EQ(component.last_evaluation_count(), 0U);
  EXPECT_EQ(component.get_values(), (Values{{"d", "0"}, {"a", "1"}, {"c", "0"}, {"b", "0"}}));
  // The next successful call brings the driven busses back in line.
  ASSERT_TRUE(update(component, {{"b", "1"}}).ok());
  EXPECT_EQ(component.get_values(), (Values{{"d", "0"}, {"a", "1"}, {"c", "1"}, {"b", "1"}}));
}

TEST(Update, InputForADrivenBusIsOverwritten) {
  Component component = worked_example();
  ASSERT_TRUE(update(component, {{"c", "1"}}).ok());
  EXPECT_EQ(component.get_values(), (Values{{"d", "1"}, {"a", "0"}, {"c", "0"}, {"b", "0"}}));
}

// NAND SR latch: q = NAND(s_n, qn), qn = NAND(r_n, q).
TEST(Update, LatchSettlesAndHoldsItsState) {
  Component latch("sr");
  for (const char* id : {"s_n", "r_n", "q", "qn"}) latch.add_bus(id, bus_of("1"));
  latch.set_assignment("q", std::make_unique<Nand>(bus_ref("s_n"), bus_ref("qn")));
  latch.set_assignment("qn", std::make_unique<Nand>(bus_ref("r_n"), bus_ref("q")));
  for (const auto& [from, to] : Values{{"s_n", "q"}, {"qn", "q"}, {"r_n", "qn"}, {"q", "qn"}}) {
    ASSERT_TRUE(latch.add_influence(from, to).ok());
  }
  auto q_and_qn = [&] {
    const Values v = latch.get_values();
    return v[2].second + v[3].second;
  };
  ASSERT_TRUE(update(latch, {{"s_n", "0"}, {"r_n", "1"}}).ok());
  EXPECT_EQ(q_and_qn(), "10");
  ASSERT_TRUE(update(latch, {{"s_n", "1"}}).ok());
  EXPECT_EQ(q_and_qn(), "10");  // holds
  ASSERT_TRUE(update(latch, {{"r_n", "0"}}).ok());
  EXPECT_EQ(q_and_qn(), "01");
  ASSERT_TRUE(update(latch, {{"r_n", "1"}}).ok());
  EXPECT_EQ(q_and_qn(), "01");
}

// osc = NAND(enable, osc), listed in its own influence list.
TEST(Update, OscillatorHitsTheBoundAndTheComponentStaysUsable) {
  Component component("osc");
  component.add_bus("enable", bus_of("1"));
  component.add_bus("osc", bus_of("0"));
  component.set_assignment("osc", std::make_unique<Nand>(bus_ref("enable"), bus_ref("osc")));
  ASSERT_TRUE(component.add_influence("osc", "osc").ok());
  ASSERT_TRUE(component.add_influence("enable", "osc").ok());
  const Status status = update(component, {});
  ASSERT_FALSE(status.ok());
  const std::uint64_t limit = component.evaluation_limit();
  EXPECT_EQ(status.error(),
            "Circuit did not settle: stopped after " + std::to_string(limit) + " evaluations");
  EXPECT_EQ(component.last_evaluation_count(), limit);

  ASSERT_TRUE(update(component, {{"enable", "0"}}).ok());
  EXPECT_EQ(component.get_values(), (Values{{"enable", "0"}, {"osc", "1"}}));
  EXPECT_EQ(component.last_evaluation_count(), 2U);
}

TEST(Update, EvaluatedWidthBecomesTheBusWidth) {
  Component component("w");
  component.add_bus("in", bus_of("0000"));
  component.add_bus("out", bus_of("0"));
  component.set_assignment("out", std::make_unique<Not>(bus_ref("in")));
  ASSERT_TRUE(update(component, {{"in", "0101"}}).ok());
  EXPECT_EQ(component.get_values()[1].second, "1010");
  // An input for the driven bus must now have its new width.
  EXPECT_FALSE(update(component, {{"out", "1"}}).ok());
  EXPECT_TRUE(update(component, {{"out", "1111"}}).ok());
}

TEST(Update, ComponentWithoutBussesAcceptsAnything) {
  Component component("empty");
  EXPECT_TRUE(update(component, {{"x", "not bits"}}).ok());
}

// Random circuits of every gate kind and mixed widths (including wide and
// empty values), declared in random order, checked against the plain model:
// same values and the same number of evaluations after every update.
class AgainstReferenceModel : public ::testing::TestWithParam<unsigned> {};

TEST_P(AgainstReferenceModel, SameValuesAndEvaluationCounts) {
  std::mt19937_64 rng(GetParam());
  const int bus_count = 2 + static_cast<int>(rng() % 40);
  const int widths[] = {0, 1, 1, 1, 3, 8, 63, 64, 65, 130};
  auto random_text = [&](std::size_t width) {
    std::string text(width, '0');
    for (char& c : text) c = (rng() & 1) ? '1' : '0';
    return text;
  };
  // Rank r reads only ranks below r, so the assignments form a DAG.
  std::vector<std::string> ids;
  for (int i = 0; i < bus_count; ++i) ids.push_back("n" + std::to_string(i));
  std::vector<int> order(static_cast<std::size_t>(bus_count));
  for (int i = 0; i < bus_count; ++i) order[static_cast<std::size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);

  Component component("random");
  testing_model::ReferenceModel model;
  std::vector<std::size_t> bus_width(static_cast<std::size_t>(bus_count));
  for (int rank : order) {
    const std::size_t width = static_cast<std::size_t>(widths[rng() % 10]);
    bus_width[static_cast<std::size_t>(rank)] = width;
    const std::string text = random_text(width);
    component.add_bus(ids[static_cast<std::size_t>(rank)], bus_of(text));
    model.add_bus(ids[static_cast<std::size_t>(rank)], BitBusValue::from_string(text).value());
  }
  std::vector<std::vector<int>> readers(static_cast<std::size_t>(bus_count));
  std::function<BoxedEvaluator(int, int)> random_tree = [&](int rank, int depth) -> BoxedEvaluator {
    const unsigned pick = static_cast<unsigned>(rng() % 8);
    if (depth == 0 || pick < 3) {
      if (rank > 0 && rng() % 6 != 0) {
        const int source = static_cast<int>(rng() % static_cast<unsigned>(rank));
        readers[static_cast<std::size_t>(source)].push_back(rank);
        return bus_ref(ids[static_cast<std::size_t>(source)]);
      }
      if (rng() % 2) return bus_ref("missing");
      return lit(random_text(static_cast<std::size_t>(widths[rng() % 10])));
    }
    if (pick == 3) return std::make_unique<Not>(random_tree(rank, depth - 1));
    BoxedEvaluator l = random_tree(rank, depth - 1);
    BoxedEvaluator r = random_tree(rank, depth - 1);
    return make_gate_node(static_cast<Gate>(rng() % 6), std::move(l), std::move(r));
  };
  std::vector<bool> driven(static_cast<std::size_t>(bus_count));
  for (int rank = 0; rank < bus_count; ++rank) {
    if (rank < 2 || rng() % 4 == 0) continue;  // an input
    driven[static_cast<std::size_t>(rank)] = true;
    BoxedEvaluator tree = random_tree(rank, 1 + static_cast<int>(rng() % 4));
    model.set_assignment(ids[static_cast<std::size_t>(rank)], tree->clone_box());
    component.set_assignment(ids[static_cast<std::size_t>(rank)], std::move(tree));
  }
  // Complete influence lists plus some extra entries (self and backwards).
  for (int rank = 0; rank < bus_count; ++rank) {
    std::vector<int> targets = readers[static_cast<std::size_t>(rank)];
    if (rng() % 3 == 0)
      targets.push_back(static_cast<int>(rng() % static_cast<unsigned>(bus_count)));
    for (int target : targets) {
      const auto& from = ids[static_cast<std::size_t>(rank)];
      const auto& to = ids[static_cast<std::size_t>(target)];
      ASSERT_TRUE(component.add_influence(from, to).ok());
      model.add_influence(from, to);
    }
  }

  for (int step = 0; step < 6; ++step) {
    Values inputs;
    for (int rank = 0; rank < bus_count; ++rank) {
      if (driven[static_cast<std::size_t>(rank)] || rng() % 2) continue;
      std::string text = random_text(bus_width[static_cast<std::size_t>(rank)]);
      if (rng() % 25 == 0) text += "1";  // a rejected input now and then
      inputs.emplace_back(ids[static_cast<std::size_t>(rank)], text);
    }
    const Status status = update(component, inputs);
    const std::string expected = model.update(inputs, component.evaluation_limit());
    EXPECT_EQ(status.ok() ? "" : status.error(), expected) << "step " << step;
    EXPECT_EQ(component.last_evaluation_count(), model.evaluations) << "step " << step;
    ASSERT_EQ(component.get_values(), model.values()) << "step " << step;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, AgainstReferenceModel, ::testing::Range(1U, 61U));

}  // namespace
}  // namespace nimbo
