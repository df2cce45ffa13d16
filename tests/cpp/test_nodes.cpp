#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

#include "busses/bus_table.hpp"
#include "expr_nodes/nodes.hpp"

namespace nimbo {
namespace {

BitBusValue bits(const std::string& text) {
  return BitBusValue::from_string(text).value();
}
BoxedEvaluator lit(const std::string& text) {
  return std::make_unique<Const>(bits(text));
}
BoxedEvaluator ref(const std::string& id) {
  return std::make_unique<BusRef>(id);
}

BoxedEvaluator gate(Gate g, BoxedEvaluator l, BoxedEvaluator r) {
  return make_gate_node(g, std::move(l), std::move(r));
}

// Operands of every width against a character-by-character model of each
// gate: bitwise, cut to the smaller width.
class WideGates : public ::testing::TestWithParam<std::tuple<Gate, int, int>> {};

TEST_P(WideGates, MatchBitByBitModel) {
  const auto [g, left_width, right_width] = GetParam();
  std::mt19937_64 rng(static_cast<unsigned>(left_width * 1000 + right_width));
  auto random_text = [&](int width) {
    std::string text(static_cast<std::size_t>(width), '0');
    for (char& c : text) c = (rng() & 1) ? '1' : '0';
    return text;
  };
  const std::string l = random_text(left_width), r = random_text(right_width);
  // Each gate's output bit for the operand bits 00, 01, 10 and 11.
  const std::map<Gate, std::string> truth = {{Gate::kAnd, "0001"}, {Gate::kOr, "0111"},
                                             {Gate::kXor, "0110"}, {Gate::kNand, "1110"},
                                             {Gate::kNor, "1000"}, {Gate::kXnor, "1001"}};
  std::string expected;  // as wide as the narrower operand
  for (std::size_t i = 0; i < std::min(l.size(), r.size()); ++i) {
    expected += truth.at(g)[(l[i] == '1' ? 2 : 0) + (r[i] == '1' ? 1 : 0)];
  }
  const BusTable empty;
  EXPECT_EQ(gate(g, lit(l), lit(r))->evaluate(empty).to_string(), expected);
  std::string inverted = l;
  for (char& c : inverted) c = c == '1' ? '0' : '1';
  EXPECT_EQ(Not(lit(l)).evaluate(empty).to_string(), inverted);
}

INSTANTIATE_TEST_SUITE_P(Widths, WideGates,
                         ::testing::Combine(::testing::Values(Gate::kAnd, Gate::kOr, Gate::kXor,
                                                              Gate::kNand, Gate::kNor, Gate::kXnor),
                                            ::testing::Values(0, 63, 64, 65, 130),
                                            ::testing::Values(0, 1, 3, 64, 129, 200)));

class BusRefs : public ::testing::Test {
 protected:
  void SetUp() override {
    BitBus bus(bits("101"));
    table.add("a", std::move(bus));
  }
  BusTable table;
};

TEST_F(BusRefs, ReadACopyOfTheBusOrOneZeroBitWhenMissing) {
  BitBusValue read = BusRef("a").evaluate(table);
  EXPECT_EQ(read.to_string(), "101");
  table.value(0) = bits("000");
  EXPECT_EQ(read.to_string(), "101");
  for (const char* missing : {"A", " a", "a ", "", "b"}) {
    EXPECT_EQ(BusRef(missing).evaluate(table).to_string(), "0") << missing;
  }
  EXPECT_EQ(BusRef("a").evaluate(BusTable()).to_string(), "0");
}

TEST_F(BusRefs, NestedTreesAndClones) {
  table.value(0) = bits("11");
  BoxedEvaluator tree = std::make_unique<Not>(gate(Gate::kAnd, ref("a"), lit("1")));
  EXPECT_EQ(tree->evaluate(table).to_string(), "0");
  BoxedEvaluator copy = tree->clone_box();
  tree.reset();
  EXPECT_EQ(copy->evaluate(table).to_string(), "0");
  EXPECT_EQ(copy->debug_string(),
            "Not { expr: And { l_expr: BusRef { bus_id: \"a\" }, r_expr: Const { value: "
            "BitBusValue { raw_value: [true] } } } }");
}

TEST(NodeDebugForms, NameEveryKind) {
  const char* names[] = {"And", "Or", "Xor", "Nand", "Nor", "Xnor"};
  const Gate gates[] = {Gate::kAnd, Gate::kOr, Gate::kXor, Gate::kNand, Gate::kNor, Gate::kXnor};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(gate(gates[i], ref("x"), lit(""))->debug_string(),
              std::string(names[i]) +
                  " { l_expr: BusRef { bus_id: \"x\" }, r_expr: Const { value: BitBusValue { "
                  "raw_value: [] } } }");
  }
  EXPECT_EQ(BusRef("q\"\\").debug_string(), "BusRef { bus_id: \"q\\\"\\\\\" }");
}

}  // namespace
}  // namespace nimbo
