// Vector lines: what each line writes, which line a fault is on, and the
// same when a large block is read in two halves.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
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

TEST(VectorLines, ALongKeyInsideAValueLeavesTheNextIdWhole) {
  // The parser hands a long key with escapes over in parts; those of a key
  // inside a refused value must not become part of the next member's id.
  const Component component = busses_abc();
  std::string nested;
  for (int i = 0; i < 10000; ++i) nested += "\\u0061";
  const std::string text = "{\"a\": {\"" + nested + "\": 1}, \"b\": \"1\", \"a\": \"0\"}\n";
  VectorLines lines;
  lines.parse(text, 1, component);
  ASSERT_FALSE(lines.fault().has_value()) << lines.fault()->message;
  EXPECT_EQ(writes_of(component, lines.vectors()), (std::vector<Writes>{{{"a", "0"}, {"b", "1"}}}));
  EXPECT_TRUE(lines.unknown().empty());
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

// Busses a[0..3] and w (4 bits wide), with the port a over a[0..3] and the
// port wp over w alone.
struct Ported {
  Component component{"ported"};
  VectorNames names{[](std::uint32_t position) { return position == 4 ? std::size_t{4} : 1; }};
  Ported() {
    for (const char* id : {"a[0]", "a[1]", "a[2]", "a[3]"}) component.add_bus(id, BitBus());
    component.add_bus("w", BitBus(BitBusValue::zeros(4)));
    names.add_port("a", {0, 1, 2, 3});
    names.add_port("wp", {4});
    names.add_port("low", {0});  // a port of one 1-bit bus
  }
};

TEST(VectorLines, PortsAndNumbersAreWrittenToTheirBusses) {
  struct Case {
    const char* line;
    Writes writes;
  };
  const Case cases[] = {
      {"{\"a\": \"0x5\"}", {{"a[0]", "1"}, {"a[1]", "0"}, {"a[2]", "1"}, {"a[3]", "0"}}},
      {"{\"a\": \"0011\"}", {{"a[0]", "0"}, {"a[1]", "0"}, {"a[2]", "1"}, {"a[3]", "1"}}},
      {"{\"a\": -8}", {{"a[0]", "0"}, {"a[1]", "0"}, {"a[2]", "0"}, {"a[3]", "1"}}},
      {"{\"wp\": \"4'd3\", \"w\": 2}", {{"w", "1100"}, {"w", "0100"}}},
      {"{\"w\": \"0101\", \"a[1]\": \"0b1\"}", {{"w", "0101"}, {"a[1]", "1"}}},
      // A port and one of its bits: both written, in line order; the later wins.
      {"{\"a[2]\": \"0\", \"a\": 15}",
       {{"a[2]", "0"}, {"a[0]", "1"}, {"a[1]", "1"}, {"a[2]", "1"}, {"a[3]", "1"}}},
      // An id given twice: its last value at the place of its first; 0s
      // and 1s of another count than the width are a decimal number.
      {"{\"a\": \"0x1\", \"w\": \"1\", \"a\": \"0x8\"}",
       {{"a[0]", "0"}, {"a[1]", "0"}, {"a[2]", "0"}, {"a[3]", "1"}, {"w", "1000"}}},
      {"{\"a\": \"10\", \"wp\": \"0\"}",
       {{"a[0]", "0"}, {"a[1]", "1"}, {"a[2]", "0"}, {"a[3]", "1"}, {"w", "0000"}}},
      // A port of one bus takes a number of that bus's width.
      {"{\"wp\": \"0xf\", \"low\": 1}", {{"w", "1111"}, {"a[0]", "1"}}},
      {"{\"zz\": 5, \"w\": 18446744073709551615}", {}},  // too large: refused below
  };
  Ported ported;
  for (const Case& c : cases) {
    const std::string text = std::string(c.line) + "\n" + c.line + "\n";
    VectorLines lines;
    lines.parse(text, 1, ported.component, &ported.names);
    if (std::string(c.line).find("zz") != std::string::npos) {
      ASSERT_TRUE(lines.fault().has_value()) << c.line;
      EXPECT_EQ(lines.fault()->id.value_or(""), "w");
      EXPECT_EQ(lines.fault()->message, "18446744073709551615 does not fit in 4 bits");
      continue;
    }
    ASSERT_FALSE(lines.fault().has_value()) << c.line << ": " << lines.fault()->message;
    const auto all = writes_of(ported.component, lines.vectors());
    ASSERT_EQ(all.size(), 2U) << c.line;
    EXPECT_EQ(all[0], c.writes) << c.line;
    EXPECT_EQ(all[1], c.writes) << c.line;
  }
}

TEST(VectorLines, APortValueThatDoesNotFitIsRefusedWithTheReason) {
  struct Case {
    const char* line;
    const char* id;
    const char* message;
  };
  const Case cases[] = {
      {"{\"a\": \"0x10\"}", "a", "\"0x10\" does not fit in 4 bits"},
      {"{\"a\": \"01100\"}", "a",
       "\"01100\" does not fit in 4 bits (as a number; a bit string has exactly 4 digits)"},
      {"{\"low\": \"0x5\"}", "low", "\"0x5\" does not fit in 1 bit"},
      {"{\"wp\": \"5'd1\"}", "wp", "\"5'd1\" has 5 bits but the value needs 4"},
      {"{\"a\": 1.5}", "a", "the value must be a string or a whole number"},
      {"{\"w\": true}", "w", "the value must be a string or a whole number"},
      {"[\"a\", \"0x1\", 5, {\"a\": 1}]", "", "expected an object of bus id to bit string"},
      {"{\"a[0]\": \"0x2\"}", "a[0]", "\"0x2\" does not fit in 1 bit"},
      // Refused only when its last value is.
      {"{\"a\": \"x\", \"a\": 3}", nullptr, nullptr},
      {"{\"a\": 3, \"wp\": \"5'd1\", \"a\": \"0x1f\"}", "a", "\"0x1f\" does not fit in 4 bits"},
  };
  Ported ported;
  for (const Case& c : cases) {
    VectorLines lines;
    lines.parse(c.line, 1, ported.component, &ported.names);
    if (c.id == nullptr) {
      EXPECT_FALSE(lines.fault().has_value()) << c.line;
      continue;
    }
    ASSERT_TRUE(lines.fault().has_value()) << c.line;
    EXPECT_EQ(lines.fault()->id.value_or(""), c.id) << c.line;
    EXPECT_EQ(lines.fault()->message, c.message) << c.line;
  }
  // Without names, a port is an unknown id and a number no bit string.
  VectorLines plain;
  plain.parse("{\"a\": \"0x1\", \"w\": \"0x1\"}\n{\"w\": 1}\n", 1, ported.component);
  ASSERT_TRUE(plain.fault().has_value());
  EXPECT_EQ(writes_of(ported.component, plain.vectors()), (std::vector<Writes>{{{"w", "0x1"}}}));
  EXPECT_EQ(plain.unknown(), (std::vector<std::pair<std::size_t, std::string>>{{1, "a"}}));
  EXPECT_EQ(plain.fault()->message, "the value must be a bit string in quotes");
}

TEST(VectorLines, ARefusedLineSaysWhyAsData) {
  struct Case {
    const char* line;
    LineRefusal kind;
    const char* id;  // nullptr: none
    const char* value;
    bool integer;
    const char* detail;
    bool port;
  };
  const Case cases[] = {
      {"{\"a\": ", LineRefusal::kJson, nullptr, "", false, "", false},
      {"[1]", LineRefusal::kNotObject, nullptr, "", false, "", false},
      {"{\"w\": null}", LineRefusal::kValueType, "w", "", false, "", false},
      {"{\"wp\": \"0x1f\"}", LineRefusal::kValue, "wp", "0x1f", false, "does not fit in 4 bits",
       true},
      {"{\"w\": -9}", LineRefusal::kValue, "w", "-9", true, "does not fit in 4 bits", false},
      {"{\"a\": \"8'bx\"}", LineRefusal::kValue, "a", "8'bx", false,
       "has 8 bits but the value needs 4", true},
  };
  Ported ported;
  for (const Case& c : cases) {
    VectorLines lines;
    lines.parse(std::string("{}\n") + c.line + "\n", 1, ported.component, &ported.names);
    ASSERT_TRUE(lines.fault().has_value()) << c.line;
    const LineFault& fault = *lines.fault();
    EXPECT_EQ(fault.line, 2U) << c.line;
    EXPECT_EQ(fault.vector, 1U) << c.line;
    EXPECT_EQ(fault.kind, c.kind) << c.line;
    EXPECT_EQ(fault.id, c.id ? std::optional<std::string>(c.id) : std::nullopt) << c.line;
    EXPECT_EQ(fault.value, c.value) << c.line;
    EXPECT_EQ(fault.integer, c.integer) << c.line;
    EXPECT_EQ(fault.detail, c.detail) << c.line;
    EXPECT_EQ(fault.port, c.port) << c.line;
  }
}

TEST(VectorLines, APortComesBeforeTheBusOfItsName) {
  Ported ported;
  ported.names.add_port("w", {0});  // a 1-bit port over a[0], named as the 4-bit bus
  VectorLines lines;
  lines.parse("{\"w\": 1}\n{\"w\": \"0011\"}\n", 1, ported.component, &ported.names);
  ASSERT_TRUE(lines.fault().has_value());
  EXPECT_EQ(writes_of(ported.component, lines.vectors()), (std::vector<Writes>{{{"a[0]", "1"}}}));
  EXPECT_EQ(lines.fault()->message,
            "\"0011\" does not fit in 1 bit (as a number; a bit string has exactly 1 digit)");
}

// Busses in[0..1] (inputs), y (driven by logic) and q (a register's q),
// with the ports in (input) over in[0..1], y (output) over y, q (output)
// over q, and the port loop (output) over in[1] alone, for lines that
// write only inputs.
struct Roles {
  Component component{"roles"};
  VectorNames names{[](std::uint32_t) { return std::size_t{1}; }};
  Roles() {
    for (const char* id : {"in[0]", "in[1]", "y", "q"}) component.add_bus(id, BitBus());
    names.add_port("in", {0, 1});
    names.add_port("yp", {2}, false);
    names.add_port("qp", {3}, false);
    names.add_port("back", {1}, false);
    names.take_only_inputs(
        {WriteRole::kInput, WriteRole::kInput, WriteRole::kLogic, WriteRole::kState});
  }
};

TEST(VectorLines, LinesThatTakeOnlyInputsRefuseEveryOtherNameAsData) {
  struct Case {
    const char* line;
    const char* id;  // nullptr: taken
    const char* detail;
    bool port;
  };
  const Case cases[] = {
      {"{\"in\": 2, \"in[0]\": \"1\"}", nullptr, "", false},
      {"{\"in\": 1, \"y\": \"1\"}", "y", "logic", false},
      {"{\"q\": 0}", "q", "state", false},
      {"{\"yp\": 1}", "yp", "logic", true},
      {"{\"qp\": \"1\"}", "qp", "state", true},
      // An output port holding only inputs is refused as an output.
      {"{\"back\": 1}", "back", "output", true},
      // Refused even when a later member is fine, and even as a bad value.
      {"{\"q\": \"xyz\", \"in\": 0}", "q", "state", false},
  };
  Roles roles;
  for (const Case& c : cases) {
    VectorLines lines;
    lines.parse(std::string(c.line) + "\n", 1, roles.component, &roles.names);
    if (c.id == nullptr) {
      EXPECT_FALSE(lines.fault().has_value()) << c.line << ": " << lines.fault()->message;
      continue;
    }
    ASSERT_TRUE(lines.fault().has_value()) << c.line;
    const LineFault& fault = *lines.fault();
    EXPECT_EQ(fault.kind, LineRefusal::kNotInput) << c.line;
    EXPECT_EQ(fault.id.value_or(""), c.id) << c.line;
    EXPECT_EQ(fault.detail, c.detail) << c.line;
    EXPECT_EQ(fault.port, c.port) << c.line;
    EXPECT_EQ(fault.vector, 0U) << c.line;
  }
  // Without take_only_inputs every name is written.
  Ported ported;
  VectorLines all;
  all.parse("{\"w\": 3}\n", 1, ported.component, &ported.names);
  EXPECT_FALSE(all.fault().has_value());
}

TEST(VectorLines, BitStringsThatMayMeanANumberAreNotedOncePerName) {
  // Above one bit, 0s and 1s of exactly the width are bits, element 0
  // first; the first such value of each name whose decimal reading fits
  // as well is noted, numbers never ("1100" on 4 bits cannot be decimal).
  Ported ported;
  VectorLines lines;
  lines.parse(
      "{\"low\": \"1\", \"w\": 5}\n{\"w\": \"0011\", \"a\": \"10\"}\n{\"a\": \"1100\"}\n"
      "{\"a\": \"0001\", \"w\": \"1111\"}\n{\"wp\": \"0010\"}\n",
      1, ported.component, &ported.names);
  ASSERT_FALSE(lines.fault().has_value()) << lines.fault()->message;
  const std::vector<BitStringNote>& notes = lines.bit_strings();
  ASSERT_EQ(notes.size(), 3U);
  EXPECT_EQ(std::make_tuple(notes[0].line, notes[0].id, notes[0].value),
            std::make_tuple(std::size_t{2}, std::string("w"), std::string("0011")));
  EXPECT_EQ(std::make_tuple(notes[1].line, notes[1].id, notes[1].value),
            std::make_tuple(std::size_t{4}, std::string("a"), std::string("0001")));
  EXPECT_EQ(std::make_tuple(notes[2].line, notes[2].id, notes[2].value),
            std::make_tuple(std::size_t{5}, std::string("wp"), std::string("0010")));
  // Without names values are bits anyway: nothing to note.
  lines.parse("{\"w\": \"0011\"}\n", 1, ported.component);
  EXPECT_TRUE(lines.bit_strings().empty());
}

TEST(VectorLines, IntegersBeyondSixtyFourBitsAreNumbersToo) {
  // JSON integers from 2^64 up, or below -2^63, are whole numbers as well;
  // only a fraction or an exponent is not.
  Component component("wide");
  component.add_bus("x", BitBus(BitBusValue::zeros(70)));
  VectorNames names{[](std::uint32_t) { return std::size_t{70}; }};
  names.add_port("P", {0});
  const std::string one_at_64 = std::string(64, '0') + "100000";
  struct Case {
    const char* line;
    std::string bits;  // empty: refused, with `message`
    const char* message;
  };
  const Case cases[] = {
      {"{\"P\": 18446744073709551616}", one_at_64, nullptr},
      {"{\"P\": -18446744073709551616}", std::string(64, '0') + "111111", nullptr},
      {"{\"P\": 1180591620717411303423}", std::string(70, '1'), nullptr},
      {"{\"P\": 1180591620717411303424}", "", "1180591620717411303424 does not fit in 70 bits"},
      {"{\"P\": 18446744073709551616.0}", "", "the value must be a string or a whole number"},
      {"{\"P\": 1e30}", "", "the value must be a string or a whole number"},
  };
  for (const Case& c : cases) {
    VectorLines lines;
    lines.parse(c.line, 1, component, &names);
    if (c.message != nullptr) {
      ASSERT_TRUE(lines.fault().has_value()) << c.line;
      EXPECT_EQ(lines.fault()->message, c.message) << c.line;
      continue;
    }
    ASSERT_FALSE(lines.fault().has_value()) << c.line << ": " << lines.fault()->message;
    EXPECT_EQ(writes_of(component, lines.vectors()), (std::vector<Writes>{{{"x", c.bits}}}))
        << c.line;
  }
}

TEST(VectorBlock, ReadingStopsAfterTheLineThatFillsWhatItMayHold) {
  Ported ported;
  std::string text;
  for (int i = 0; i < 8000; ++i) text += i % 7 ? "{\"a\": -1}\n" : "\n";
  text += "{\"a\": \"0x1f\"}\n";
  VectorLines whole;
  whole.parse(text, 1, ported.component, &ported.names);
  ASSERT_TRUE(whole.fault().has_value());
  for (const bool two_threads : {false, true}) {
    // Pieces of at most about 1,000 bytes of writes (4 a line), read one
    // after the other, give the vectors and the fault of the whole.
    VectorBlock block;
    std::vector<Writes> joined;
    std::vector<std::size_t> lines;
    std::size_t start = 0;
    std::size_t line = 1;
    for (int pieces = 0;; ++pieces) {
      ASSERT_LT(pieces, 5000);
      const std::string_view piece = std::string_view(text).substr(start);
      block.parse(piece, line, ported.component, two_threads, &ported.names, 1000);
      const auto writes = writes_of(ported.component, block.vectors());
      EXPECT_LE(block.vectors().size(), 1000 / (4 * sizeof(PositionInput)) + 1);
      joined.insert(joined.end(), writes.begin(), writes.end());
      lines.insert(lines.end(), block.lines().begin(), block.lines().end());
      if (block.fault()) {
        EXPECT_EQ(block.fault()->line, whole.fault()->line);
        break;
      }
      ASSERT_LT(block.read(), piece.size());
      line += static_cast<std::size_t>(std::count(
          piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(block.read()), '\n'));
      start += block.read();
    }
    EXPECT_EQ(joined, writes_of(ported.component, whole.vectors()));
    EXPECT_EQ(lines, whole.lines());
  }
}

}  // namespace
}  // namespace nimbo
