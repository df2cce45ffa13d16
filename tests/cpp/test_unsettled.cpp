// What an update that does not settle reports beside nimbo.core's message:
// the busses still changing and a loop they form; and the loop search on
// its own, over graphs of several parts.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/component.hpp"
#include "engine/messages.hpp"
#include "engine/simulation.hpp"
#include "engine/unsettled.hpp"
#include "expr_nodes/nodes.hpp"
#include "random_circuit.hpp"

namespace nimbo {
namespace {

BoxedEvaluator bus_ref(const std::string& id) {
  return std::make_unique<BusRef>(id);
}

// Readers of each position from (bus, reader) edges, as loop_among takes them.
struct Graph {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> readers;
  Graph(std::size_t count, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges) {
    offsets.assign(count + 1, 0);
    for (const auto& [bus, reader] : edges) ++offsets[bus + 1];
    for (std::size_t p = 0; p < count; ++p) offsets[p + 1] += offsets[p];
    readers.resize(edges.size());
    std::vector<std::uint32_t> next(offsets.begin(), offsets.end() - 1);
    for (const auto& [bus, reader] : edges) readers[next[bus]++] = reader;
  }
};

TEST(Unsettled, TheLoopIsTheShortestThroughTheFirstBusOnOne) {
  struct Case {
    const char* name;
    std::size_t count;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;  // (bus, a reader of it)
    std::vector<std::uint8_t> changing;
    std::vector<std::uint32_t> loop;  // each reads the next
  };
  const Case cases[] = {
      {"a chain is no loop", 3, {{0, 1}, {1, 2}}, {1, 1, 1}, {}},
      {"a bus that reads itself", 2, {{0, 1}, {1, 1}}, {1, 1}, {1}},
      {"a ring of three", 3, {{0, 1}, {1, 2}, {2, 0}}, {1, 1, 1}, {0, 2, 1}},
      {"a chord makes it shorter",
       4,
       {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {1, 0}},
       {1, 1, 1, 1},
       {0, 1}},
      {"a bus that does not change breaks the ring", 3, {{0, 1}, {1, 2}, {2, 0}}, {1, 0, 1}, {}},
      {"the first part that is a loop",
       5,
       {{0, 1}, {2, 3}, {3, 4}, {4, 2}},
       {1, 1, 1, 1, 1},
       {2, 4, 3}},
  };
  for (const Case& c : cases) {
    const Graph graph(c.count, c.edges);
    EXPECT_EQ(loop_among(c.changing, graph.offsets, graph.readers), c.loop) << c.name;
  }
}

TEST(Unsettled, ALongRingNeedsNoDeepStack) {
  constexpr std::uint32_t kCount = 1'000'000;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t p = 0; p < kCount; ++p) edges.emplace_back(p, (p + 1) % kCount);
  const Graph graph(kCount, edges);
  const std::vector<std::uint8_t> changing(kCount, 1);
  const std::vector<std::uint32_t> loop = loop_among(changing, graph.offsets, graph.readers);
  ASSERT_EQ(loop.size(), kCount);
  EXPECT_EQ(loop[0], 0U);
  EXPECT_EQ(loop[1], kCount - 1);  // 0 reads the last bus
}

TEST(Unsettled, TheMessageNamesAFewBussesAndTheLoopTheWayValuesFlow) {
  const std::vector<std::string> ids = {"a", "b", "c", "d e", "f", "g", "h", "i", "j", "k"};
  const auto id = [&](std::uint32_t p) -> const std::string& { return ids[p]; };
  struct Case {
    std::vector<std::uint32_t> changing;
    std::vector<std::uint32_t> loop;
    const char* text;
  };
  const Case cases[] = {
      {{0}, {}, "bus still changing: a"},
      {{0}, {0}, "bus still changing: a (a -> a)"},
      {{0, 1, 2}, {0, 2, 1}, "busses still changing: a, b, c (a -> b -> c -> a)"},
      {{0, 1, 2, 3, 4, 5, 6},
       {0, 3},
       "busses still changing: a, b, c, \"d e\", f and 2 more (a -> \"d e\" -> a)"},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
       {0, 9, 8, 7, 6, 5, 4, 3, 2, 1},
       "busses still changing: a, b, c, \"d e\", f and 5 more "
       "(a -> b -> c -> \"d e\" -> f -> g -> h -> i -> ... -> a, a loop of 10 busses)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(messages::still_changing(c.changing, c.loop, id), c.text);
  }
  EXPECT_EQ(messages::with_detail("M", ""), "M");
  EXPECT_EQ(messages::with_detail("M", "D"), "M; D");
}

// en, a = NAND(en, c), b = NOT a, c = NOT b, and z = NOT en beside it:
// with en = 1 the ring a -> b -> c oscillates, z settles.
Simulation ring() {
  Component component("ring");
  for (const char* id : {"en", "z", "a", "b", "c"}) {
    component.add_bus(id, BitBus(BitBusValue::zeros(1)));
  }
  component.set_assignment("a", std::make_unique<Nand>(bus_ref("en"), bus_ref("c")));
  component.set_assignment("b", std::make_unique<Not>(bus_ref("a")));
  component.set_assignment("c", std::make_unique<Not>(bus_ref("b")));
  component.set_assignment("z", std::make_unique<Not>(bus_ref("en")));
  for (const auto& [from, to] :
       {std::pair{"en", "a"}, {"a", "b"}, {"b", "c"}, {"c", "a"}, {"en", "z"}}) {
    EXPECT_TRUE(component.add_influence(from, to).ok());
  }
  return Simulation(std::move(component));
}

TEST(Unsettled, AnUpdateThatDoesNotSettleSaysWhatKeptChanging) {
  Simulation simulation = ring();
  ASSERT_TRUE(simulation.prepare().ok());
  ASSERT_TRUE(testing_model::apply(simulation, {{"en", "0"}}).ok());
  const std::vector<BitBusValue> before = simulation.snapshot();
  UpdateControl control;
  control.work_limit = 1000;
  const Status status = testing_model::apply(simulation, {{"en", "1"}}, control);
  ASSERT_FALSE(status.ok());
  // nimbo.core's message as it was; the busses beside it.
  EXPECT_EQ(status.error().rfind("Circuit did not settle: stopped after ", 0), 0U)
      << status.error();
  EXPECT_EQ(status.detail(), "busses still changing: a, b, c (a -> b -> c -> a)");
  // A settled update after it reports nothing more.
  EXPECT_TRUE(testing_model::apply(simulation, {{"en", "0"}}).ok());
  EXPECT_EQ(simulation.snapshot(), before);
}

}  // namespace
}  // namespace nimbo
