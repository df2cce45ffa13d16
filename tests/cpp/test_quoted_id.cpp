#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "busses/quoted_id.hpp"
#include "busses/unicode_tables.hpp"

namespace {

using nimbo::quote_id;

struct QuoteCase {
  const char* name;
  std::string_view id;
  std::string_view quoted;
};

class QuoteIdTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteIdTest, QuotesAndEscapes) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(quote_id(c.id), c.quoted);
}

using namespace std::string_view_literals;

const QuoteCase kQuoteCases[] = {
    {"Empty", "", R"("")"},
    {"Plain", "a", R"("a")"},
    {"PlainWithSpaceAndPunctuation", "bus_0 [3:0]~", R"("bus_0 [3:0]~")"},
    {"DoubleQuote", "a\"b", R"("a\"b")"},
    {"Backslash", "a\\b", R"("a\\b")"},
    {"OnlyQuotesAndBackslashes", "\"\\\"", R"("\"\\\"")"},
    {"SingleQuoteUnescaped", "it's", R"("it's")"},
    {"NamedEscapes", "\t\r\n", R"("\t\r\n")"},
    {"Nul", "a\0b"sv, R"("a\0b")"},
    {"NulFollowedByDigit", "\0001"sv, R"("\01")"},  // octal \000, then '1'
    {"OtherC0Controls", "\x01\x1b\x1f", R"("\u{1}\u{1b}\u{1f}")"},
    {"Delete", "\x7f", R"("\u{7f}")"},
    {"C1Control", "\u0085", R"("\u{85}")"},
    {"NoBreakSpace", "a\u00A0b", R"("a\u{a0}b")"},
    {"IdeographicSpace", "\u3000", R"("\u{3000}")"},
    {"LineSeparator", "\u2028", R"("\u{2028}")"},
    {"ParagraphSeparator", "\u2029", R"("\u{2029}")"},
    {"ZeroWidthSpace", "\u200B", R"("\u{200b}")"},
    {"ByteOrderMark", "\uFEFF", R"("\u{feff}")"},
    {"Unassigned", "\u0378", R"("\u{378}")"},
    {"UnassignedPlane16End", "\U0010FFFF", R"("\u{10ffff}")"},
    {"PrivateUse", "\uE000", R"("\u{e000}")"},
    {"SupplementaryPrivateUse", "\U000F0000", R"("\u{f0000}")"},
    {"CombiningAcuteAlone", "\u0301", R"("\u{301}")"},
    {"CombiningAcuteAfterLetter", "e\u0301", R"("e\u{301}")"},
    {"VariationSelector", "\u2764\uFE0F", "\"\u2764\\u{fe0f}\""},
    {"ZeroWidthNonJoiner", "\u200C", R"("\u{200c}")"},
    {"PrecomposedLetter", "caf\u00E9", "\"caf\u00E9\""},
    {"Cjk", "\u65E5\u672C", "\"\u65E5\u672C\""},
    {"CjkExtensionB", "\U00020000", "\"\U00020000\""},
    {"Hangul", "\uAC00", "\"\uAC00\""},
    {"Emoji", "\U0001F600", "\"\U0001F600\""},
    {"MixedRuns", "x\ty\u00E9\"z", "\"x\\ty\u00E9\\\"z\""},
    // Bytes that are not well-formed UTF-8: each one reads as U+FFFD.
    {"LoneContinuation", "a\x80z", "\"a\uFFFDz\""},
    {"InvalidLeadBytes", "\xC0\xC1\xF5\xFF", "\"\uFFFD\uFFFD\uFFFD\uFFFD\""},
    {"OverlongSlash", "\xC0\xAF", "\"\uFFFD\uFFFD\""},
    {"OverlongThreeBytes", "\xE0\x80\x80", "\"\uFFFD\uFFFD\uFFFD\""},
    {"OverlongFourBytes", "\xF0\x80\x80\xAF", "\"\uFFFD\uFFFD\uFFFD\uFFFD\""},
    {"EncodedSurrogate", "\xED\xA0\x80", "\"\uFFFD\uFFFD\uFFFD\""},
    {"AboveMaxCodePoint", "\xF4\x90\x80\x80", "\"\uFFFD\uFFFD\uFFFD\uFFFD\""},
    {"TruncatedAtEnd", "a\xE6\x97", "\"a\uFFFD\uFFFD\""},
    {"TruncatedLeadAtEnd", "\xF0", "\"\uFFFD\""},
    {"TruncatedBeforeAscii", "\xE6\x97z", "\"\uFFFD\uFFFDz\""},
    {"TruncatedBeforeQuote", "\xC3\"", "\"\uFFFD\\\"\""},
    {"ValidAfterInvalid", "\xFF\u00E9", "\"\uFFFD\u00E9\""},
};

INSTANTIATE_TEST_SUITE_P(Cases, QuoteIdTest, testing::ValuesIn(kQuoteCases),
                         [](const testing::TestParamInfo<QuoteCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(QuoteId, AppendKeepsExistingText) {
  std::string out = "Some(";
  nimbo::append_quoted_id(out, "a\n");
  out += ')';
  EXPECT_EQ(out, R"(Some("a\n"))");
}

TEST(QuoteId, InvalidByteAtEndOfViewDoesNotReadPastIt) {
  // The view ends after the lead byte; the bytes after it must be ignored.
  const std::string backing = "\xE6\x97\xA5";
  EXPECT_EQ(quote_id(std::string_view(backing).substr(0, 1)), "\"\uFFFD\"");
}

TEST(QuoteId, EveryByteValueAloneGivesAWellFormedResult) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const std::string quoted = quote_id(std::string_view(&c, 1));
    ASSERT_GE(quoted.size(), 3u) << b;
    EXPECT_EQ(quoted.front(), '"') << b;
    EXPECT_EQ(quoted.back(), '"') << b;
    if (b >= 0x80) {
      EXPECT_EQ(quoted, "\"\uFFFD\"") << b;
    }
  }
}

struct PropertyCase {
  char32_t cp;
  bool printable;
  bool grapheme_extend;
};

class UnicodeTablesTest : public testing::TestWithParam<PropertyCase> {};

TEST_P(UnicodeTablesTest, KnownProperties) {
  const PropertyCase& c = GetParam();
  EXPECT_EQ(nimbo::unicode::is_printable(c.cp), c.printable);
  EXPECT_EQ(nimbo::unicode::is_grapheme_extend(c.cp), c.grapheme_extend);
}

INSTANTIATE_TEST_SUITE_P(
    CodePoints, UnicodeTablesTest,
    testing::Values(PropertyCase{0x0000, false, false},    // Cc, first table entry
                    PropertyCase{0x0020, true, false},     // SPACE, the one printable Zs
                    PropertyCase{0x007E, true, false},     // last printable ASCII
                    PropertyCase{0x00A0, false, false},    // Zs
                    PropertyCase{0x00AD, false, false},    // Cf soft hyphen
                    PropertyCase{0x0300, true, true},      // Mn, first combining mark
                    PropertyCase{0x0378, false, false},    // Cn
                    PropertyCase{0x0903, true, false},     // Mc, not Grapheme_Extend
                    PropertyCase{0x3400, true, false},     // first of a First/Last range
                    PropertyCase{0x4DBF, true, false},     // last of a First/Last range
                    PropertyCase{0x9FFF, true, false},     // CJK range end
                    PropertyCase{0xD800, false, false},    // Cs range start
                    PropertyCase{0xDFFF, false, false},    // Cs range end
                    PropertyCase{0xE000, false, false},    // Co
                    PropertyCase{0xF8FF, false, false},    // Co range end
                    PropertyCase{0xF900, true, false},     // Lo right after private use
                    PropertyCase{0xFFFD, true, false},     // replacement character
                    PropertyCase{0xFFFF, false, false},    // noncharacter (Cn)
                    PropertyCase{0x200C, false, true},     // Cf and Grapheme_Extend
                    PropertyCase{0x200D, false, false},    // Cf, not Grapheme_Extend
                    PropertyCase{0x1F3FB, true, false},    // emoji modifier (Sk)
                    PropertyCase{0x2FFFF, false, false},   // Cn between planes
                    PropertyCase{0xE0001, false, false},   // Cf language tag
                    PropertyCase{0xE0020, false, true},    // Cf tag, Grapheme_Extend
                    PropertyCase{0xE01EF, true, true},     // last variation selector
                    PropertyCase{0x10FFFD, false, false},  // Co plane 16
                    PropertyCase{0x110000, false, false},  // beyond Unicode
                    PropertyCase{0xFFFFFFFF, false, false}));

TEST(UnicodeTables, AsciiProperties) {
  for (std::uint32_t cp = 0; cp < 0x80; ++cp) {
    EXPECT_EQ(nimbo::unicode::is_printable(cp), cp >= 0x20 && cp < 0x7F) << cp;
    EXPECT_FALSE(nimbo::unicode::is_grapheme_extend(cp)) << cp;
  }
}

}  // namespace
