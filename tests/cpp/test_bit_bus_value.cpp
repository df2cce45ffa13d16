#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "busses/bit_bus_value.hpp"

namespace nimbo {
namespace {

std::string random_bits(std::mt19937_64& rng, std::size_t width) {
  std::string text(width, '0');
  for (char& c : text) c = (rng() & 1) ? '1' : '0';
  return text;
}

class TextRoundTrip : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TextRoundTrip, ParseThenPrintGivesTheSameTextAndBits) {
  std::mt19937_64 rng(GetParam());
  const std::string text = random_bits(rng, GetParam());
  const auto parsed = BitBusValue::from_string(text);
  ASSERT_TRUE(parsed.ok());
  const BitBusValue& value = parsed.value();
  EXPECT_EQ(value.width(), text.size());
  EXPECT_EQ(value.to_string(), text);
  for (std::size_t i = 0; i < text.size(); ++i) EXPECT_EQ(value.bit(i), text[i] == '1') << i;
  auto bools = std::make_unique<bool[]>(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) bools[i] = text[i] == '1';
  const BitBusValue from_bools = BitBusValue::from_bools({bools.get(), text.size()});
  EXPECT_EQ(from_bools, value);
}

// Widths around the word boundaries.
INSTANTIATE_TEST_SUITE_P(Widths, TextRoundTrip,
                         ::testing::Values(0, 1, 2, 63, 64, 65, 127, 128, 129, 1000, 4099));

struct ParseError {
  std::string text;
  std::string message;
};

class ParseErrors : public ::testing::TestWithParam<ParseError> {};

TEST_P(ParseErrors, NameTheFirstOffendingCharacter) {
  const auto parsed = BitBusValue::from_string(GetParam().text);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseErrors,
    ::testing::Values(ParseError{"1x0z", "Invalid character 'x' in bit string"},
                      ParseError{"0 1", "Invalid character ' ' in bit string"},
                      ParseError{" 01", "Invalid character ' ' in bit string"},
                      ParseError{"0b01", "Invalid character 'b' in bit string"},
                      ParseError{"01\n", "Invalid character '\n' in bit string"},
                      ParseError{"1\xc3\xa9", "Invalid character '\xc3\xa9' in bit string"},
                      ParseError{"\xe6\x97\xa5", "Invalid character '\xe6\x97\xa5' in bit string"},
                      ParseError{"2", "Invalid character '2' in bit string"}));

TEST(BitBusValue, DefaultIsOneZeroBitAndEmptySequenceIsWidthZero) {
  EXPECT_EQ(BitBusValue().to_string(), "0");
  const BitBusValue empty = BitBusValue::from_bools({});
  EXPECT_EQ(empty.width(), 0U);
  EXPECT_EQ(empty.to_string(), "");
  EXPECT_NE(empty, BitBusValue());
}

TEST(BitBusValue, EqualityNeedsSameWidthAndBits) {
  auto v = [](const char* text) { return BitBusValue::from_string(text).value(); };
  EXPECT_EQ(v("0110"), v("0110"));
  EXPECT_NE(v("0110"), v("01100"));
  EXPECT_NE(v("0"), v("00"));
  EXPECT_NE(v(""), v("0"));
  const std::string wide(200, '1');
  std::string other = wide;
  other[199] = '0';
  EXPECT_EQ(v(wide.c_str()), v(wide.c_str()));
  EXPECT_NE(v(wide.c_str()), v(other.c_str()));
}

TEST(BitBusValue, CopiesAreDeepAndAssignmentsChangeWidthBothWays) {
  std::mt19937_64 rng(7);
  const std::string wide_text = random_bits(rng, 300);
  BitBusValue wide = BitBusValue::from_string(wide_text).value();
  BitBusValue copy = wide;
  copy.set_bit(5, !copy.bit(5));
  EXPECT_EQ(wide.to_string(), wide_text);
  EXPECT_NE(copy, wide);

  BitBusValue narrow = BitBusValue::from_string("101").value();
  narrow = wide;  // narrow -> wide
  EXPECT_EQ(narrow.to_string(), wide_text);
  narrow = BitBusValue::from_string("11").value();  // wide -> narrow
  EXPECT_EQ(narrow.to_string(), "11");
  BitBusValue moved = std::move(wide);
  EXPECT_EQ(moved.to_string(), wide_text);
}

}  // namespace
}  // namespace nimbo

namespace nimbo {
namespace {

// The bits past the width stay zero after every operation that writes a
// value, so equality (a word compare) sees only the bits that exist.
TEST(BitBusValue, OperationsKeepTheBitsPastTheWidthZero) {
  for (const std::size_t width : {1, 63, 64, 65, 100, 128, 130}) {
    std::string ones(width, '1');
    std::string zeros(width, '0');
    const BitBusValue all = BitBusValue::from_string(ones).value();
    BitBusValue inverted;
    inverted.assign_not(all);  // into another value
    EXPECT_EQ(inverted, BitBusValue::from_string(zeros).value()) << width;
    BitBusValue in_place = BitBusValue::from_string(zeros).value();
    in_place.assign_not(in_place);
    EXPECT_EQ(in_place, all) << width;
    BitBusValue nand;
    nand.assign_table(0b0111, inverted, inverted);  // nand of zeros: all ones
    EXPECT_EQ(nand, all) << width;
  }
}

}  // namespace
}  // namespace nimbo
