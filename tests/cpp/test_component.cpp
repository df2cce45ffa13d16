#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "component/component.hpp"
#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"

namespace nimbo {
namespace {

BitBus bus_of(const std::string& text) {
  return BitBus(BitBusValue::from_string(text).value());
}

TEST(Component, RepeatedIdKeepsItsPositionAndTakesTheLastBusWhole) {
  Component component("c");
  component.add_bus("a", bus_of("1"));
  component.add_bus("b", bus_of("0"));
  ASSERT_TRUE(component.add_influence("a", "b").ok());
  BitBus replacement = bus_of("00");
  replacement.id = "stale";
  component.add_bus("a", std::move(replacement));
  ASSERT_EQ(component.busses().size(), 2U);
  EXPECT_EQ(component.to_string(),
            "a: id: Some(\"a\") IL: [] Value: 00 []\n"
            "b: id: Some(\"b\") IL: [] Value: 0 []\n");
}

struct InfluenceCase {
  std::string bus, influenced, error;
};

class AddInfluenceErrors : public ::testing::TestWithParam<InfluenceCase> {};

TEST_P(AddInfluenceErrors, NameTheInfluencedIdFirstAndChangeNothing) {
  Component component("c");
  component.add_bus("a", bus_of("0"));
  const std::string before = component.to_string();
  const Status status = component.add_influence(GetParam().bus, GetParam().influenced);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), GetParam().error);
  EXPECT_EQ(component.to_string(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, AddInfluenceErrors,
                         ::testing::Values(InfluenceCase{"x", "y", "Bus 'y' not found"},
                                           InfluenceCase{"a", "y", "Bus 'y' not found"},
                                           InfluenceCase{"x", "a", "Bus 'x' not found"},
                                           InfluenceCase{"A", "a", "Bus 'A' not found"}));

TEST(Component, InfluencesAreRecordedOnceInOrderIncludingSelf) {
  Component component("c");
  for (const char* id : {"a", "y", "z"}) component.add_bus(id, bus_of("0"));
  for (const char* target : {"z", "a", "z", "y", "a"}) {
    ASSERT_TRUE(component.add_influence("a", target).ok());
  }
  ASSERT_TRUE(component.add_influence("y", "a").ok());
  ASSERT_TRUE(component.add_influence("a", "y").ok());  // after switching bus
  EXPECT_EQ(component.busses().influence_list(0), (InfluenceList{2, 0, 1}));
  EXPECT_EQ(component.busses().influence_list(1), (InfluenceList{0}));
}

TEST(Component, TextFormAndValues) {
  Component component("top");
  component.add_bus("a", bus_of("1"));
  component.add_bus("y", bus_of("0"));
  ASSERT_TRUE(component.add_influence("a", "y").ok());
  EXPECT_EQ(component.to_string(),
            "a: id: Some(\"a\") IL: [1] Value: 1 [1]\n"
            "y: id: Some(\"y\") IL: [] Value: 0 []\n");
  using Values = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(component.get_values(), (Values{{"a", "1"}, {"y", "0"}}));
  Component empty("e");
  EXPECT_EQ(empty.to_string(), "");
  EXPECT_TRUE(empty.get_values().empty());
  EXPECT_EQ(empty.id(), "e");
}

TEST(Component, AssignmentWithoutBusIsKeptButNeverEvaluated) {
  Component component("c");
  component.add_bus("a", bus_of("0"));
  component.set_assignment("ghost", std::make_unique<Const>(BitBusValue::from_string("1").value()));
  EXPECT_NE(component.assignment("ghost"), nullptr);
  Simulation simulation(std::move(component));
  ASSERT_TRUE(simulation.update_signals({}).ok());
  EXPECT_EQ(simulation.last_evaluation_count(), 0U);
}

}  // namespace
}  // namespace nimbo
