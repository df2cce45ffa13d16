// The render driver: IR frame checks, bus values, influence lists, precedence.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component.hpp"
#include "renderer/renderer.hpp"

namespace nimbo {
namespace {

std::string ir_with(const std::string& busses) {
  return R"({"component":{"id":"c","busses":[)" + busses + "]}}";
}

std::string render_error(const std::string& ir) {
  Result<Component> rendered = Renderer(ir).render();
  return rendered.ok() ? "<rendered>" : rendered.error();
}

Component render_ok(const std::string& ir) {
  Result<Component> rendered = Renderer(ir).render();
  EXPECT_TRUE(rendered.ok()) << rendered.error();
  if (!rendered.ok()) return Component("<failed>");
  return std::move(rendered).value();
}

std::string value_of(const Component& component, const std::string& id) {
  const auto position = component.busses().find(id);
  return position ? component.busses().value(*position).to_string() : "<no bus>";
}

std::vector<std::string> influence_of(const Component& component, const std::string& id) {
  std::vector<std::string> ids;
  const auto position = component.busses().find(id);
  if (!position) return {"<no bus>"};
  for (const auto influenced : component.busses().influence_list(*position)) {
    ids.push_back(component.busses().id(influenced));
  }
  return ids;
}

struct FailureCase {
  const char* name;
  std::string ir;
  std::string message;
};

class RenderFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(RenderFailureTest, ReportsFirstFault) {
  EXPECT_EQ(render_error(GetParam().ir), GetParam().message);
}

const std::string kBadAssignment = R"({"id":"a","assignment":{"type":"bogus"}})";

INSTANTIATE_TEST_SUITE_P(
    Frame, RenderFailureTest,
    testing::Values(
        FailureCase{"Empty", "", "Failed to parse IR JSON: line 1, column 1: empty text"},
        FailureCase{"TextAfterDocument", ir_with("") + "\n}",
                    "Failed to parse IR JSON: line 2, column 1: unexpected '}' after the document"},
        FailureCase{"TrailingComma", ir_with(R"({"id":"a"},)"),
                    "Failed to parse IR JSON: line 1, column 45: trailing comma before ']'"},
        FailureCase{"DocumentIsArray", R"([{"component":{"id":"c","busses":[]}}])",
                    "Missing 'component' in IR"},
        FailureCase{"NoComponent", R"({"Component":{"id":"c","busses":[]}})",
                    "Missing 'component' in IR"},
        FailureCase{"ComponentIsText", R"({"component":"c"})",
                    "Missing or invalid 'id' in component"},
        FailureCase{"ComponentIdNumber", R"({"component":{"id":1,"busses":[]}})",
                    "Missing or invalid 'id' in component"},
        FailureCase{"ComponentIdBeforeBusses", R"({"component":{"busses":7}})",
                    "Missing or invalid 'id' in component"},
        FailureCase{"NoBusses", R"({"component":{"id":"c"}})", "Missing or invalid 'busses' array"},
        FailureCase{"BussesObject", R"({"component":{"id":"c","busses":{}}})",
                    "Missing or invalid 'busses' array"},
        FailureCase{"BusNotObject", ir_with(R"("a")"), "Missing 'id' in bus"},
        FailureCase{"BusWithoutId", ir_with(R"({"value":"1"})"), "Missing 'id' in bus"},
        FailureCase{"BusIdNumber", ir_with(R"({"id":3})"), "Missing 'id' in bus"},
        FailureCase{"FirstPassBeforeSecond", ir_with(kBadAssignment + R"(,{"value":"1"})"),
                    "Missing 'id' in bus"},
        FailureCase{"FirstPassBeforeInfluence",
                    ir_with(R"({"id":"a","influence_list":["zz"]},{"id":null})"),
                    "Missing 'id' in bus"},
        FailureCase{"AssignmentError", ir_with(kBadAssignment), "Unknown expression type: bogus"},
        FailureCase{"InfluenceError", ir_with(R"({"id":"a","influence_list":["a","zz"]})"),
                    "Failed to add influence: Bus 'zz' not found"},
        FailureCase{"AssignmentBeforeOwnInfluence",
                    ir_with(R"({"influence_list":["zz"],"id":"a","assignment":{"type":"and"}})"),
                    "Missing 'args' in and expression"},
        FailureCase{"EarlierInfluenceBeforeLaterAssignment",
                    ir_with(R"({"id":"a","influence_list":["zz"]},)" + kBadAssignment),
                    "Failed to add influence: Bus 'zz' not found"},
        FailureCase{"EarlierAssignmentBeforeLaterInfluence",
                    ir_with(kBadAssignment + R"(,{"id":"b","influence_list":["zz"]})"),
                    "Unknown expression type: bogus"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

struct ValueCase {
  const char* name;
  const char* value;  // JSON text of "value"; empty: the key is absent
  const char* bits;
};

class InitialValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(InitialValueTest, NeverFails) {
  const std::string value = GetParam().value;
  const Component component =
      render_ok(ir_with(value.empty() ? R"({"id":"a"})" : R"({"id":"a","value":)" + value + "}"));
  EXPECT_EQ(value_of(component, "a"), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(
    Values, InitialValueTest,
    testing::Values(ValueCase{"Text", R"("0101")", "0101"},
                    ValueCase{
                        "WideText",
                        R"("1000000000000000000000000000000000000000000000000000000000000000001")",
                        "1000000000000000000000000000000000000000000000000000000000000000001"},
                    ValueCase{"BadCharacter", R"("01x2")", "0"},
                    ValueCase{"Space", R"("1 0")", "0"}, ValueCase{"EmptyText", R"("")", ""},
                    ValueCase{"EmptyArray", "[]", ""},
                    ValueCase{"ArrayOnlyTrueIsOne", R"([true,false,1,"1",null,[true]])", "100000"},
                    ValueCase{"True", "true", "0"}, ValueCase{"Number", "11", "0"},
                    ValueCase{"Null", "null", "0"}, ValueCase{"Object", R"({"0":1})", "0"},
                    ValueCase{"Absent", "", "0"}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

struct InfluenceCase {
  const char* name;
  const char* influence_list;
  std::vector<std::string> recorded;
};

class InfluenceListTest : public testing::TestWithParam<InfluenceCase> {};

TEST_P(InfluenceListTest, RecordsStringEntries) {
  const Component component =
      render_ok(ir_with(std::string(R"({"id":"a","influence_list":)") + GetParam().influence_list +
                        R"(},{"id":"b"},{"id":"c"})"));
  EXPECT_EQ(influence_of(component, "a"), GetParam().recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, InfluenceListTest,
    testing::Values(InfluenceCase{"OnlyStringsCount", R"([7,null,"b",["c"],{"c":1}])", {"b"}},
                    InfluenceCase{
                        "OrderKeptDuplicatesOnce", R"(["c","a","c","b","a"])", {"c", "a", "b"}},
                    InfluenceCase{"Text", R"("b")", {}},
                    InfluenceCase{"Object", R"({"b":"b"})", {}}, InfluenceCase{"Null", "null", {}},
                    InfluenceCase{"Empty", "[]", {}}),
    [](const testing::TestParamInfo<InfluenceCase>& info) { return std::string(info.param.name); });

TEST(Render, EmptyBusArrayGivesEmptyComponent) {
  const Component component = render_ok(R"( {"component":{"busses":[],"id":"top","x":1}} )");
  EXPECT_EQ(component.id(), "top");
  EXPECT_EQ(component.busses().size(), 0U);
}

TEST(Render, EvaluatesNothing) {
  const Component component = render_ok(ir_with(
      R"({"id":"a","value":"0","assignment":{"type":"const","args":{"value":"1"}}},)"
      R"({"id":"b","value":"11","assignment":{"type":"not","args":{"expr":{"type":"ref","args":{"id":"b"}}}}})"));
  EXPECT_EQ(value_of(component, "a"), "0");
  EXPECT_EQ(value_of(component, "b"), "11");
  EXPECT_EQ(component.assignment_count(), 2U);
}

TEST(Render, NamesMayPointForwardAndRefsMayDangle) {
  const Component component = render_ok(ir_with(
      R"({"id":"a","assignment":{"type":"and","args":{"l_expr":{"type":"ref","args":{"id":"b"}},)"
      R"("r_expr":{"type":"ref","args":{"id":"nowhere"}}}},"influence_list":["b"]},)"
      R"({"id":"b","assignment":null,"influence_list":["a"]})"));
  ASSERT_NE(component.assignment("a"), nullptr);
  EXPECT_EQ(component.assignment("b"), nullptr);
  EXPECT_EQ(influence_of(component, "a"), std::vector<std::string>{"b"});
  EXPECT_EQ(influence_of(component, "b"), std::vector<std::string>{"a"});
}

TEST(Render, RepeatedIdsKeepLastValueAndAccumulate) {
  const Component component = render_ok(ir_with(
      R"({"id":"x","value":"1","assignment":{"type":"ref","args":{"id":"y"}},"influence_list":["y"]},)"
      R"({"id":"y"},)"
      R"({"id":"x","value":"00","influence_list":["z","y"]},)"
      R"({"id":"z"})"));
  EXPECT_EQ(component.busses().size(), 3U);
  EXPECT_EQ(value_of(component, "x"), "00");
  ASSERT_NE(component.assignment("x"), nullptr);
  EXPECT_EQ(component.assignment("x")->debug_string(), "BusRef { bus_id: \"y\" }");
  EXPECT_EQ(influence_of(component, "x"), (std::vector<std::string>{"y", "z"}));
}

TEST(Render, RepeatedIdsLastAssignmentWins) {
  const Component component =
      render_ok(ir_with(R"({"id":"x","assignment":{"type":"ref","args":{"id":"a"}}},)"
                        R"({"id":"x","assignment":{"type":"ref","args":{"id":"b"}}},{"id":"x"})"));
  ASSERT_NE(component.assignment("x"), nullptr);
  EXPECT_EQ(component.assignment("x")->debug_string(), "BusRef { bus_id: \"b\" }");
}

TEST(Render, LaterDuplicateKeyIsTheOneSeen) {
  const Component component = render_ok(
      R"({"component":{"id":"old","id":"new","busses":[{"id":"a","value":"1","value":"10"}]}})");
  EXPECT_EQ(component.id(), "new");
  EXPECT_EQ(value_of(component, "a"), "10");
}

TEST(Render, NumbersAnywhereAreAccepted) {
  const Component component =
      render_ok(R"({"n":[1e400,-0,123456789012345678901234567890,1e99999999999],)"
                R"("component":{"id":"c","busses":[{"id":"a","value":[-0,1e400],"w":-1E-400}]}})");
  EXPECT_EQ(value_of(component, "a"), "00");
}

// An IR whose single bus has an assignment `levels` expressions deep: a chain
// of "not" (or of "and" nested on the left) ending in a reference.
std::string deep_assignment_ir(int levels, bool binary) {
  std::string open;
  std::string close;
  for (int i = 1; i < levels; ++i) {
    open += binary ? R"({"type":"and","args":{"r_expr":{"type":"ref","args":{"id":"a"}},"l_expr":)"
                   : R"({"type":"not","args":{"expr":)";
    close += "}}";
  }
  return ir_with(R"({"id":"a","assignment":)" + open + R"({"type":"ref","args":{"id":"a"}})" +
                 close + "}");
}

TEST(Render, ExpressionTrees61LevelsDeepDecode) {
  for (const bool binary : {false, true}) {
    Result<Component> rendered = Renderer(deep_assignment_ir(61, binary)).render();
    ASSERT_TRUE(rendered.ok()) << rendered.error();
    const std::string tree = rendered.value().assignment("a")->debug_string();
    EXPECT_EQ(tree.find(binary ? "And {" : "Not {", 0), 0U);

    const std::string error = render_error(deep_assignment_ir(62, binary));
    EXPECT_EQ(error.rfind("Failed to parse IR JSON: ", 0), 0U) << error;
    EXPECT_NE(error.find("nesting deeper than 127 levels"), std::string::npos) << error;
  }
}

TEST(Render, DocumentNesting127ParsesAnd128Fails) {
  const auto ir = [](int depth) {
    std::string extra;
    for (int i = 1; i < depth; ++i) extra += "[";
    for (int i = 1; i < depth; ++i) extra += "]";
    return R"({"component":{"id":"c","busses":[]},"extra":)" + extra + "}";
  };
  EXPECT_EQ(render_error(ir(127)), "<rendered>");
  EXPECT_EQ(render_error(ir(128)),
            "Failed to parse IR JSON: line 1, column 171: nesting deeper than 127 levels");
}

}  // namespace
}  // namespace nimbo
