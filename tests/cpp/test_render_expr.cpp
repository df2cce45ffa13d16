// Expression decoding: one IR expression object to an evaluator tree.
#include <string>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "renderer/renderer.hpp"

namespace nimbo {
namespace {

// The debug form of the decoded tree, or the error text.
std::string decode(const std::string& expression) {
  const boost::json::value json = boost::json::parse(expression);
  Result<BoxedEvaluator> tree = Renderer::render_expr(json);
  return tree.ok() ? tree.value()->debug_string() : "error: " + tree.error();
}

struct ExprCase {
  const char* name;
  const char* expression;
  std::string expected;
};

class RenderExprTest : public testing::TestWithParam<ExprCase> {};

TEST_P(RenderExprTest, Decodes) {
  EXPECT_EQ(decode(GetParam().expression), GetParam().expected);
}

const std::string kRefA = "BusRef { bus_id: \"a\" }";
const std::string kRefB = "BusRef { bus_id: \"b\" }";

INSTANTIATE_TEST_SUITE_P(
    Trees, RenderExprTest,
    testing::Values(
        ExprCase{"ConstText", R"({"type":"const","args":{"value":"1010"}})",
                 "Const { value: BitBusValue { raw_value: [true, false, true, false] } }"},
        ExprCase{"ConstArray", R"({"args":{"value":[true,false,true]},"type":"const"})",
                 "Const { value: BitBusValue { raw_value: [true, false, true] } }"},
        ExprCase{"ConstArrayOnlyTrueIsOne",
                 R"({"type":"const","args":{"value":[1,"1",null,[true],{},false,true]}})",
                 "Const { value: BitBusValue { raw_value: [false, false, false, false, false, "
                 "false, true] } }"},
        ExprCase{"ConstEmptyText", R"({"type":"const","args":{"value":""}})",
                 "Const { value: BitBusValue { raw_value: [] } }"},
        ExprCase{"ConstEmptyArray", R"({"type":"const","args":{"value":[]}})",
                 "Const { value: BitBusValue { raw_value: [] } }"},
        ExprCase{"Ref", R"({"type":"ref","args":{"id":"a"},"extra":1})", kRefA},
        ExprCase{"BusRef", R"({"type":"bus_ref","args":{"id":"a"}})", kRefA},
        ExprCase{"Not", R"({"type":"not","args":{"expr":{"type":"ref","args":{"id":"a"}}}})",
                 "Not { expr: " + kRefA + " }"},
        ExprCase{"AllGates",
                 R"({"type":"and","args":{"l_expr":{"type":"or","args":{
                      "l_expr":{"type":"ref","args":{"id":"a"}},"r_expr":{"type":"ref","args":{"id":"b"}}}},
                    "r_expr":{"type":"xor","args":{"l_expr":{"type":"nand","args":{
                      "l_expr":{"type":"ref","args":{"id":"a"}},"r_expr":{"type":"ref","args":{"id":"b"}}}},
                    "r_expr":{"type":"nor","args":{"l_expr":{"type":"xnor","args":{
                      "l_expr":{"type":"ref","args":{"id":"a"}},"r_expr":{"type":"ref","args":{"id":"b"}}}},
                    "r_expr":{"type":"ref","args":{"id":"a"}}}}}}}})",
                 "And { l_expr: Or { l_expr: " + kRefA + ", r_expr: " + kRefB +
                     " }, r_expr: Xor { l_expr: Nand { l_expr: " + kRefA + ", r_expr: " + kRefB +
                     " }, r_expr: Nor { l_expr: Xnor { l_expr: " + kRefA + ", r_expr: " + kRefB +
                     " }, r_expr: " + kRefA + " } } }"},
        // Refusals.
        ExprCase{"NotAnObject", R"(["const"])", "error: Missing or invalid 'type' field"},
        ExprCase{"NullExpression", "null", "error: Missing or invalid 'type' field"},
        ExprCase{"NoType", R"({"args":{"value":"1"}})", "error: Missing or invalid 'type' field"},
        ExprCase{"NumericType", R"({"type":5,"args":{}})",
                 "error: Missing or invalid 'type' field"},
        ExprCase{"CapitalType", R"({"type":"AND"})", "error: Unknown expression type: AND"},
        ExprCase{"CamelCaseType", R"({"type":"BusRef","args":{"id":"a"}})",
                 "error: Unknown expression type: BusRef"},
        ExprCase{"EmptyType", R"({"type":""})", "error: Unknown expression type: "},
        ExprCase{"ConstBadCharacter", R"({"type":"const","args":{"value":"10a1"}})",
                 "error: Invalid const value: Invalid character 'a' in bit string"},
        ExprCase{"ConstNumber", R"({"type":"const","args":{"value":5}})",
                 "error: Invalid const value type"},
        ExprCase{"ConstNull", R"({"type":"const","args":{"value":null}})",
                 "error: Invalid const value type"},
        ExprCase{"ConstTrue", R"({"type":"const","args":{"value":true}})",
                 "error: Invalid const value type"},
        ExprCase{"ConstObject", R"({"type":"const","args":{"value":{}}})",
                 "error: Invalid const value type"},
        ExprCase{"ConstNoArgs", R"({"type":"const"})",
                 "error: Missing 'value' in const expression"},
        ExprCase{"ConstValueOutsideArgs", R"({"type":"const","value":"1","args":{}})",
                 "error: Missing 'value' in const expression"},
        ExprCase{"ConstArgsArray", R"({"type":"const","args":["1"]})",
                 "error: Missing 'value' in const expression"},
        ExprCase{"RefNoArgs", R"({"type":"ref"})", "error: Missing 'id' in bus_ref/ref expression"},
        ExprCase{"RefIdOutsideArgs", R"({"type":"ref","id":"a","args":{}})",
                 "error: Missing 'id' in bus_ref/ref expression"},
        ExprCase{"BusRefNumericId", R"({"type":"bus_ref","args":{"id":1}})",
                 "error: Missing 'id' in bus_ref/ref expression"},
        ExprCase{"NotNoArgs", R"({"type":"not"})", "error: Missing 'expr' in not expression"},
        ExprCase{"NotExprOutsideArgs",
                 R"({"type":"not","expr":{"type":"ref","args":{"id":"a"}},"args":{}})",
                 "error: Missing 'expr' in not expression"},
        ExprCase{"NotPassesOperandError", R"({"type":"not","args":{"expr":{"type":"nope"}}})",
                 "error: Unknown expression type: nope"},
        ExprCase{"AndNoArgs", R"({"type":"and"})", "error: Missing 'args' in and expression"},
        ExprCase{"OrNoArgs", R"({"type":"or"})", "error: Missing 'args' in or expression"},
        ExprCase{"XorNoArgs", R"({"type":"xor"})", "error: Missing 'args' in xor expression"},
        ExprCase{"NandNoArgs", R"({"type":"nand"})", "error: Missing 'args' in nand expression"},
        ExprCase{"NorNoArgs", R"({"type":"nor"})", "error: Missing 'args' in nor expression"},
        ExprCase{"XnorNoArgs", R"({"type":"xnor"})", "error: Missing 'args' in xnor expression"},
        ExprCase{"ArgsNull", R"({"type":"and","args":null})", "error: Missing 'l_expr'"},
        ExprCase{
            "ArgsArray",
            R"({"type":"or","args":[{"type":"ref","args":{"id":"a"}},{"type":"ref","args":{"id":"b"}}]})",
            "error: Missing 'l_expr'"},
        ExprCase{"NoRight", R"({"type":"xor","args":{"l_expr":{"type":"ref","args":{"id":"a"}}}})",
                 "error: Missing 'r_expr'"},
        ExprCase{"LeftErrorBeforeMissingRight", R"({"type":"nand","args":{"l_expr":{"type":"x"}}})",
                 "error: Unknown expression type: x"},
        ExprCase{"LeftErrorBeforeRightError",
                 R"({"type":"nor","args":{"r_expr":{"type":"const"},"l_expr":{"type":"ref"}}})",
                 "error: Missing 'id' in bus_ref/ref expression"},
        ExprCase{
            "RightError",
            R"({"type":"xnor","args":{"l_expr":{"type":"ref","args":{"id":"a"}},"r_expr":{"type":"const","args":{"value":"2"}}}})",
            "error: Invalid const value: Invalid character '2' in bit string"},
        ExprCase{
            "InnerErrorPassesUnchanged",
            R"({"type":"or","args":{"l_expr":{"type":"ref","args":{"id":"a"}},"r_expr":{"type":"and"}}})",
            "error: Missing 'args' in and expression"}),
    [](const testing::TestParamInfo<ExprCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nimbo
