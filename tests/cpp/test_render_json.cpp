// JSON parsing of IR texts: positioned error messages, nesting limit, numbers.
#include <string>

#include <gtest/gtest.h>
#include <boost/json/monotonic_resource.hpp>

#include "renderer/json_document.hpp"
#include "renderer/text_position.hpp"

namespace nimbo {
namespace {

std::string parse_error(const std::string& text) {
  boost::json::monotonic_resource resource;
  auto parsed = parse_json_document(text, &resource);
  if (parsed.ok()) return "<parsed>";
  return parsed.error();
}

struct FaultCase {
  const char* name;
  std::string text;
  std::string message;
};

class ParseFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(ParseFaultTest, NamesFaultAndPosition) {
  EXPECT_EQ(parse_error(GetParam().text), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ParseFaultTest,
    testing::Values(
        FaultCase{"Empty", "", "line 1, column 1: empty text"},
        FaultCase{"WhiteSpaceOnly", " \n\t", "line 2, column 2: empty text"},
        FaultCase{"UnexpectedCharacter", "{\n  \"a\": @}", "line 2, column 8: unexpected '@'"},
        FaultCase{"UnexpectedAtStart", "@", "line 1, column 1: unexpected '@'"},
        FaultCase{"TrailingCommaArray", "[1,2,]", "line 1, column 6: trailing comma before ']'"},
        FaultCase{"TrailingCommaObject", "{\"a\":1 ,\n}",
                  "line 2, column 1: trailing comma before '}'"},
        FaultCase{"DoubleComma", "[1,,2]", "line 1, column 4: unexpected ','"},
        FaultCase{"MissingComma", "[1 2]", "line 1, column 4: unexpected '2'"},
        FaultCase{"KeyNotString", "{1:2}", "line 1, column 2: unexpected '1'"},
        FaultCase{"TextAfterDocument", "{}\n  x",
                  "line 2, column 3: unexpected 'x' after the document"},
        FaultCase{"SecondDocument", "[1] [2]",
                  "line 1, column 5: unexpected '[' after the document"},
        FaultCase{"UnterminatedString", "{\"a\":\n \"abc", "line 2, column 2: unterminated string"},
        FaultCase{"UnterminatedAfterEscape", "[\"\\", "line 1, column 2: unterminated string"},
        FaultCase{"EndOfText", "{\"a\": [1,\n", "line 2, column 1: unexpected end of text"},
        FaultCase{"EndAfterKey", "{\"a\"", "line 1, column 5: unexpected end of text"},
        FaultCase{"InvalidEscape", "[\"ab\\q\"]", "line 1, column 5: invalid escape '\\q'"},
        FaultCase{"InvalidEscapeMultiByte", "[\"\\\xc3\xa9\"]",
                  "line 1, column 3: invalid escape '\\\xc3\xa9'"},
        FaultCase{"InvalidHexEscape", "[\"\\u12g4\"]", "line 1, column 3: invalid escape '\\u12g'"},
        FaultCase{"LoneLeadSurrogate", "[\"x\\ud800\"]",
                  "line 1, column 4: unpaired UTF-16 surrogate '\\ud800'"},
        FaultCase{"LeadThenNonSurrogate", "[\"\\uD800\\u0041\"]",
                  "line 1, column 3: unpaired UTF-16 surrogate '\\uD800'"},
        FaultCase{"LeadThenLead", "[\"\\ud800\\ud800\\udc00\"]",
                  "line 1, column 3: unpaired UTF-16 surrogate '\\ud800'"},
        FaultCase{"LeadThenOtherEscape", "[\"\\ud800\\n\"]",
                  "line 1, column 3: unpaired UTF-16 surrogate '\\ud800'"},
        FaultCase{"LoneTrailSurrogate", "[\"\\ud800\\udc00\\udc01\"]",
                  "line 1, column 15: unpaired UTF-16 surrogate '\\udc01'"},
        FaultCase{"ControlCharacter", "[\"a\tb\"]",
                  "line 1, column 4: control character U+0009 in string (must be escaped)"},
        FaultCase{"LineBreakInString", "[\"a\nb\"]",
                  "line 1, column 4: control character U+000A in string (must be escaped)"},
        FaultCase{"InvalidUtf8InString", "[\"\xc3\xa9\xff\"]",
                  "line 1, column 4: invalid UTF-8 byte 0xFF"},
        FaultCase{"TruncatedUtf8", "[\"\xe2\x82\"]", "line 1, column 3: invalid UTF-8 byte 0xE2"},
        FaultCase{"EncodedSurrogate", "[\"\xed\xa0\x80\"]",
                  "line 1, column 3: invalid UTF-8 byte 0xED"},
        FaultCase{"NonAsciiOutsideString", "[\xc3\xa9]",
                  "line 1, column 2: unexpected '\xc3\xa9' (U+00E9)"},
        FaultCase{"ByteOrderMark", "\xef\xbb\xbf{}",
                  "line 1, column 1: unexpected byte order mark U+FEFF"},
        FaultCase{"NulByte", std::string("[\0]", 3),
                  "line 1, column 2: unexpected control character U+0000"},
        FaultCase{"BadLiteral", "[tru]", "line 1, column 2: invalid literal 'tru'"},
        FaultCase{"CapitalLiteral", "{\"a\": True}", "line 1, column 7: invalid literal 'True'"},
        FaultCase{"LetterAfterNumber", "[1x]", "line 1, column 3: unexpected 'x'"},
        FaultCase{"LeadingZero", "[-01]", "line 1, column 2: leading zero in number '-01'"},
        FaultCase{"LoneMinus", "[-]", "line 1, column 2: invalid number '-'"},
        FaultCase{"NoFractionDigits", "[1.]", "line 1, column 2: invalid number '1.'"},
        FaultCase{"NoExponentDigits", "[1e+]", "line 1, column 2: invalid number '1e+'"},
        FaultCase{"Comment", "[1] // no", "line 1, column 5: unexpected '/' after the document"},
        FaultCase{"ColumnsCountCharacters", "[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\", @]",
                  "line 1, column 9: unexpected '@'"},
        FaultCase{"CrLfLines", "[\r\n1,\r\n@]", "line 3, column 1: unexpected '@'"},
        FaultCase{"LoneCrLines", "[\r1,\r @]", "line 3, column 2: unexpected '@'"},
        FaultCase{"HugeExponentThenFault", "[1e99999999999, @]",
                  "line 1, column 17: unexpected '@'"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

std::string nested(const char* open, const char* close, int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

// {"k":{"k":...{"k":0}...}} with `depth` objects.
std::string nested_objects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"k\":";
  text += '0';
  for (int i = 0; i < depth; ++i) text += '}';
  return text;
}

TEST(ParseDepth, ArraysAndObjectsNest127LevelsDeep) {
  EXPECT_EQ(parse_error(nested("[", "]", 127)), "<parsed>");
  std::string in_array(1, '[');
  in_array += nested_objects(126);
  in_array += ']';
  EXPECT_EQ(parse_error(in_array), "<parsed>");
  EXPECT_EQ(parse_error(nested("[", "]", 128)),
            "line 1, column 128: nesting deeper than 127 levels");
  EXPECT_EQ(parse_error(nested_objects(128)), "line 1, column 636: nesting deeper than 127 levels");
}

class ValidNumberTest : public testing::TestWithParam<const char*> {};

TEST_P(ValidNumberTest, Parses) {
  EXPECT_EQ(parse_error(std::string("{\"n\": [") + GetParam() + "]}"), "<parsed>");
}

INSTANTIATE_TEST_SUITE_P(Numbers, ValidNumberTest,
                         testing::Values("1e400", "-1e400", "1e-400",
                                         "123456789012345678901234567890", "-0", "-0.0e-0", "1E+2",
                                         "1e0000000000000000005", "1e99999999999",
                                         "-1.5e-99999999999999999999", "18446744073709551616",
                                         "-9223372036854775809"));

TEST(ParseDocument, KeepsLastOfRepeatedKeysAndSurroundingWhiteSpace) {
  boost::json::monotonic_resource resource;
  auto parsed =
      parse_json_document(" \r\n\t{\"a\": 1, \"a\": \"x\\u00e9\\ud83d\\ude00\"} \n", &resource);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value().as_object().size(), 1U);
  EXPECT_EQ(parsed.value().at("a").as_string(), "x\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(TextPosition, CountsLinesAndCharacters) {
  EXPECT_EQ(position_of("ab\ncd", 4).line, 2U);
  EXPECT_EQ(position_of("ab\ncd", 4).column, 2U);
  EXPECT_EQ(position_of("\xc3\xa9\xc3\xa9x", 4).column, 3U);
  EXPECT_EQ(position_of("a\r\nb", 3).line, 2U);
  EXPECT_EQ(position_of("abc", 99).column, 4U);
}

}  // namespace
}  // namespace nimbo
