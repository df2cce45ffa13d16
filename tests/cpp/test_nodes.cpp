#include <gtest/gtest.h>

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

struct GateCase {
  Gate gate;
  std::string left, right, result;
};

class GateTable : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateTable, CombinesBitwiseAndCutsToTheSmallerWidth) {
  const GateCase& c = GetParam();
  const BusTable empty;
  EXPECT_EQ(gate(c.gate, lit(c.left), lit(c.right))->evaluate(empty).to_string(), c.result);
}

INSTANTIATE_TEST_SUITE_P(Gates, GateTable,
                         ::testing::Values(GateCase{Gate::kAnd, "1101", "011", "010"},
                                           GateCase{Gate::kOr, "10", "", ""},
                                           GateCase{Gate::kXor, "1100", "1010", "0110"},
                                           GateCase{Gate::kXnor, "1100", "1010", "1001"},
                                           GateCase{Gate::kNand, "11", "10", "01"},
                                           GateCase{Gate::kNor, "00", "01", "10"},
                                           GateCase{Gate::kNand, "111", "1", "0"},
                                           GateCase{Gate::kNor, "", "", ""},
                                           GateCase{Gate::kOr, "0011", "0101", "0111"},
                                           GateCase{Gate::kXnor, "1", "1111", "1"}));

// Wide operands against a character-by-character model of each gate.
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
  std::string expected;
  for (std::size_t i = 0; i < std::min(l.size(), r.size()); ++i) {
    const bool a = l[i] == '1', b = r[i] == '1';
    bool out = false;
    switch (g) {
      case Gate::kAnd:
        out = a && b;
        break;
      case Gate::kOr:
        out = a || b;
        break;
      case Gate::kXor:
        out = a != b;
        break;
      case Gate::kNand:
        out = !(a && b);
        break;
      case Gate::kNor:
        out = !(a || b);
        break;
      case Gate::kXnor:
        out = a == b;
        break;
    }
    expected += out ? '1' : '0';
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
                                            ::testing::Values(1, 64, 129, 200)));

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
