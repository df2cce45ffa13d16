// Vector lines: what each line writes, which line a fault is on, and the
// same when a large block is read in two halves.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "component/component.hpp"
#include "renderer/vector_lines.hpp"

namespace nimbo {
namespace {

using Writes = std::vector<std::pair<std::string, std::string>>;

Component busses_abc() {
  Component component("lines");
  for (const char* id : {"a", "b", "c"}) component.add_bus(id, BitBus());
  return component;
}

// The writes of every vector as (id, bits).
std::vector<Writes> writes_of(const Component& component, const TextVectors& vectors) {
  std::vector<Writes> all;
  for (std::size_t v = 0; v < vectors.size(); ++v) {
    Writes writes;
    for (const PositionInput& input : vectors.of(v)) {
      writes.emplace_back(component.busses().id(input.position), std::string(input.bits));
    }
    all.push_back(writes);
  }
  return all;
}

TEST(VectorLines, EachLineWritesItsMembersWhateverTheirOrder) {
  const Component component = busses_abc();
  VectorLines lines;
  lines.parse(
      "{\"a\": \"1\", \"b\": \"0\"}\n"
      "{\"b\": \"1\", \"a\": \"0\"}\r\n"
      "\n"
      "  \t\n"
      "{\"x\": \"1\", \"\\u0063\": \"\\u0031\", \"a\": \"1\"}\n"
      "{}\n"
      "{\"b\": \"11\", \"x\": \"0\", \"y\": \"1\"}",
      10, component);
  ASSERT_FALSE(lines.fault().has_value());
  EXPECT_EQ(writes_of(component, lines.vectors()), (std::vector<Writes>{{{"a", "1"}, {"b", "0"}},
                                                                        {{"b", "1"}, {"a", "0"}},
                                                                        {{"c", "1"}, {"a", "1"}},
                                                                        {},
                                                                        {{"b", "11"}}}));
  EXPECT_EQ(lines.lines(), (std::vector<std::size_t>{10, 11, 14, 15, 16}));
  EXPECT_EQ(lines.unknown(),
            (std::vector<std::pair<std::size_t, std::string>>{{14, "x"}, {16, "y"}}));
}

TEST(VectorLines, AFaultNamesItsLineAndKeepsTheLinesBeforeIt) {
  struct Case {
    const char* line;
    const char* id;  // "" for none
    const char* message;
  };
  const Case cases[] = {
      {"[1, 2]", "", "expected an object of bus id to bit string"},
      {"\"01\"", "", "expected an object of bus id to bit string"},
      {"{\"a\": \"1\", \"b\": 1}", "b", "the value must be a bit string in quotes"},
      {"{\"a\": {\"b\": \"1\"}}", "a", "the value must be a bit string in quotes"},
      {"{\"a\": [\"1\"]}", "a", "the value must be a bit string in quotes"},
      {"{\"zz\": null}", "zz", "the value must be a bit string in quotes"},
      {"{\"a\": \"1\",}", "", "invalid JSON: column 11: trailing comma before '}'"},
      {"{\"a\": 1", "", "invalid JSON: column 8: unexpected end of text"},
      {"{\"a\": \"1\"} {}", "", "invalid JSON: column 12: unexpected '{' after the document"},
  };
  const Component component = busses_abc();
  for (const Case& c : cases) {
    VectorLines lines;
    lines.parse("{\"a\": \"1\"}\n\n" + std::string(c.line) + "\n{\"b\": \"1\"}\n", 3, component);
    ASSERT_TRUE(lines.fault().has_value()) << c.line;
    const LineFault& fault = *lines.fault();
    EXPECT_EQ(fault.line, 5U) << c.line;
    EXPECT_EQ(fault.vector, 1U) << c.line;
    EXPECT_EQ(fault.id.value_or(""), c.id) << c.line;
    EXPECT_EQ(fault.message, c.message) << c.line;
    EXPECT_EQ(lines.vectors().size(), 1U) << c.line;
  }
}

TEST(VectorLines, AnIdGivenTwiceIsSeenAtItsLastOccurrenceOnly) {
  struct Case {
    const char* line;
    Writes writes;
    const char* fault_id;  // nullptr: no fault
  };
  const Case cases[] = {
      {"{\"a\": \"x\", \"a\": \"1\"}", {{"a", "1"}}, nullptr},
      {"{\"a\": 5, \"b\": \"1\", \"a\": \"0\"}", {{"a", "0"}, {"b", "1"}}, nullptr},
      {"{\"a\": [{\"a\": 1}], \"\\u0061\": \"1\"}", {{"a", "1"}}, nullptr},
      {"{\"zz\": null, \"zz\": \"1\", \"c\": \"1\"}", {{"c", "1"}}, nullptr},
      {"{\"a\": \"1\", \"b\": \"1\", \"a\": \"0\", \"a\": \"x\"}",
       {{"a", "x"}, {"b", "1"}},
       nullptr},
      {"{\"a\": 1e999999999999999, \"a\": \"1\"}", {{"a", "1"}}, nullptr},
      {"{\"a\": \"1\", \"a\": 5}", {}, "a"},
      {"{\"a\": 5, \"b\": [], \"a\": \"1\"}", {}, "b"},
      {"{\"a\": 5, \"b\": [], \"a\": null}", {}, "a"},  // a's place is before b's
      {"{\"a\": \"1\", \"b\": \"0\", \"a\": \"0\", \"b\": {}}", {}, "b"},
      {"{\"a\": 1e999999999999999}", {}, "a"},
      {"{\"c\": \"0\", \"a\": \"1\", \"zz\": 1e999999999999999, \"a\": []}", {}, "a"},
      {"{\"c\": [1E-99999999999999], \"b\": \"1\"}", {}, "c"},
  };
  const Component component = busses_abc();
  for (const Case& c : cases) {
    // After lines of other ids, distinct or not (ids are compared with the
    // previous line's first).
    for (const char* before :
         {"{\"a\": \"1\", \"b\": \"0\", \"a\": \"1\", \"a\": \"1\"}\n",
          "{\"c\": \"1\", \"b\": \"1\", \"zz\": \"1\", \"a\": \"1\"}\n", "{\"b\": \"1\"}\n"}) {
      const std::string text = std::string(before) + c.line + "\n" + c.line + "\n";
      VectorLines lines;
      lines.parse(text, 1, component);
      if (c.fault_id == nullptr) {
        ASSERT_FALSE(lines.fault().has_value()) << c.line << ": " << lines.fault()->message;
        const auto all = writes_of(component, lines.vectors());
        ASSERT_EQ(all.size(), 3U) << c.line;
        EXPECT_EQ(all[1], c.writes) << c.line;
        EXPECT_EQ(all[2], c.writes) << c.line;
      } else {
        ASSERT_TRUE(lines.fault().has_value()) << c.line;
        EXPECT_EQ(lines.fault()->line, 2U) << c.line;
        EXPECT_EQ(lines.fault()->id.value_or(""), c.fault_id) << c.line;
        EXPECT_EQ(lines.fault()->message, "the value must be a bit string in quotes") << c.line;
      }
    }
  }
}

TEST(VectorLines, DeepNestingIsInvalidJsonNotARecursion) {
  const Component component = busses_abc();
  VectorLines lines;
  lines.parse("{\"a\": " + std::string(10000, '[') + std::string(10000, ']') + "}", 1, component);
  ASSERT_TRUE(lines.fault().has_value());
  EXPECT_EQ(lines.fault()->message.rfind("invalid JSON: column ", 0), 0U);
}

TEST(VectorBlock, ALargeBlockReadInHalvesGivesTheSameVectorsAndFaults) {
  const Component component = busses_abc();
  std::string text;
  for (int i = 0; i < 6000; ++i) {
    text += i % 2 ? "{\"b\": \"1\", \"a\": \"0\"}\n" : "{\"a\": \"1\", \"c\": \"0\"}\n";
    if (i == 10) text += "{\"x\": \"1\"}\n";
    if (i == 5000) text += "{\"x\": \"0\", \"y\": \"1\"}\n";
  }
  ASSERT_GT(text.size(), std::size_t{64} << 10);
  VectorLines whole;
  whole.parse(text, 1, component);
  VectorBlock halves;
  halves.parse(text, 1, component, true);
  EXPECT_FALSE(halves.fault().has_value());
  EXPECT_EQ(writes_of(component, halves.vectors()), writes_of(component, whole.vectors()));
  EXPECT_EQ(halves.lines(), whole.lines());
  EXPECT_EQ(halves.unknown(), whole.unknown());

  const std::size_t bad_line = 5500;
  std::size_t start = 0;
  for (std::size_t line = 1; line < bad_line; ++line) start = text.find('\n', start) + 1;
  text.replace(start, text.find('\n', start) - start, "{\"a\": 2}");
  halves.parse(text, 1, component, true);
  ASSERT_TRUE(halves.fault().has_value());
  EXPECT_EQ(halves.fault()->line, bad_line);
  EXPECT_EQ(halves.fault()->vector, bad_line - 1);  // every line before it is a vector
  EXPECT_EQ(halves.vectors().size(), bad_line - 1);
}

}  // namespace
}  // namespace nimbo
