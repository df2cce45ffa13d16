// Numbers written for a value of a known width: every form, what does not
// fit, and that a number far too large is refused without being converted.
#include <gtest/gtest.h>

#include <string>

#include "busses/number_text.hpp"

namespace nimbo {
namespace {

// The bits of `text` read at `width` (element 0 first), or its error.
std::string read(const std::string& text, std::size_t width) {
  Result<BitBusValue> value = parse_number_text(text, width);
  if (!value.ok()) return "error: " + std::move(value).error();
  return value.value().to_string();
}

TEST(NumberText, EveryFormGivesItsBitsOrItsReason) {
  struct Case {
    const char* text;
    std::size_t width;
    const char* expected;
  };
  const Case cases[] = {
      {"0101", 4, "0101"},  // a bit string of the width: element 0 first
      // 0s and 1s of another count than the width: a decimal number.
      {"10", 16, "0101000000000000"},
      {"1", 8, "10000000"},
      {"0", 3, "000"},
      {"101010101", 8,
       "error: \"101010101\" does not fit in 8 bits (as a number; a bit string has exactly 8 "
       "digits)"},
      {"", 4, "error: \"\" is neither a bit string nor a number (write 5, 0x1f, 0b101 or 8'h1f)"},
      {"", 0, ""},
      {"8'q1", 8, "error: \"8'q1\" has no base h, d, o or b after '"},
      {"5", 4, "1010"},
      {"-3", 4, "1011"},
      {"1_000", 10, "0001011111"},
      {"0x5", 4, "1010"},
      {"-0x8", 4, "0001"},
      {"-0x9", 4, "error: \"-0x9\" does not fit in 4 bits"},
      {"0b1010", 4, "0101"},
      {"0o17", 4, "1111"},
      {"8'h1f", 8, "11111000"},
      {"'d9", 4, "1001"},
      {"4'b1x01", 4, "error: \"4'b1x01\" has x or z digits; nimbo values hold only 0 and 1"},
      {"3'd1", 4, "error: \"3'd1\" has 3 bits but the value needs 4"},
      {"99999999999999999999999'd1", 4,
       "error: \"99999999999999999999999'd1\" has 99999999999999999999999 bits but the value "
       "needs 4"},
      {"16", 4, "error: \"16\" does not fit in 4 bits"},
      {"0x", 4, "error: \"0x\" has no digits"},
      {"0x1g", 8, "error: \"0x1g\" is not a number: 'g' is not a digit in base 16"},
      {"+18446744073709551616", 70,
       "0000000000000000000000000000000000000000000000000000000000000000100000"},
      {"-18446744073709551616", 70,
       "0000000000000000000000000000000000000000000000000000000000000000111111"},
      {"0000000000000000000000000000000000000000000000000000000000000000000000000000000007", 3,
       "111"},
      {"1e3", 16, "error: \"1e3\" is not a number: 'e' is not a digit in base 10"},
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.text, c.width), c.expected) << c.text;
}

// The count of digits decides "too large" before any is converted; it must
// never refuse a number that fits. At each width, the largest number that
// fits and the next one, in every base, as digits of that base.
TEST(NumberText, TheDigitCountBoundNeverRefusesANumberThatFits) {
  const auto digits_of = [](std::string power_of_two_minus_one_bits, unsigned base) {
    // The number 2^n - 1 (n = the argument's length) written in `base`.
    std::vector<unsigned> number(power_of_two_minus_one_bits.size(), 1);  // bits, low first
    std::string out;
    while (!number.empty()) {
      unsigned remainder = 0;
      for (std::size_t i = number.size(); i-- > 0;) {
        const unsigned current = remainder * 2 + number[i];
        number[i] = current / base;
        remainder = current % base;
      }
      out.insert(out.begin(), "0123456789abcdef"[remainder]);
      while (!number.empty() && number.back() == 0) number.pop_back();
    }
    return out;
  };
  for (const std::size_t width : {1U, 2U, 3U, 4U, 9U, 10U, 63U, 64U, 65U, 100U, 333U, 1000U}) {
    for (const auto& [base, prefix] :
         {std::pair<unsigned, const char*>{10, "+"}, {16, "0x"}, {8, "0o"}, {2, "0b"}}) {
      const std::string largest = prefix + digits_of(std::string(width, '1'), base);
      EXPECT_EQ(read(largest, width), std::string(width, '1')) << largest;
      const std::string too_large = prefix + digits_of(std::string(width + 1, '1'), base);
      EXPECT_EQ(read(too_large, width), "error: \"" + too_large + "\" does not fit in " +
                                            std::to_string(width) + (width == 1 ? " bit" : " bits"))
          << too_large;
    }
  }
}

TEST(NumberText, AMillionDigitsAreRefusedAtOnce) {
  // Converting them would take minutes; their count says they cannot fit.
  const std::string text = "9" + std::string(1000000, '0');
  EXPECT_EQ(read(text, 16), "error: \"" + text + "\" does not fit in 16 bits");
  const std::string hex = "0x1" + std::string(1000000, '0');
  EXPECT_EQ(read(hex, 16), "error: \"" + hex + "\" does not fit in 16 bits");
  // Digits of a power-of-two base are placed, not multiplied in: as fast
  // when the number does fit.
  const std::string bits = read(hex, 4000001);
  EXPECT_EQ(bits.size(), 4000001U);
  EXPECT_EQ(bits.find('1'), 4000000U);
}

TEST(NumberText, DigitsOfAPowerOfTwoBaseCrossWordEdges) {
  // Octal digits are 3 bits: some straddle two words.
  std::string octal = "0o";
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    octal += "5";       // 101
    expected += "101";  // element 0 first: the last digit's bits come first
  }
  EXPECT_EQ(read(octal, 150), expected);
  EXPECT_EQ(read("0x8000000000000001", 64), "1" + std::string(62, '0') + "1");
}

TEST(NumberText, ABitStringMayMisleadOnlyWhereItsDecimalReadingFitsToo) {
  struct Case {
    const char* text;
    std::size_t width;
    bool bits;
    bool may_mislead;
  };
  const Case cases[] = {
      // Exactly the width, and the decimal reading fits as well.
      {"01", 2, true, true},    {"00000011", 8, true, true},
      {"0101", 4, true, false},  // one hundred and one needs 7 bits
      {"10", 2, true, false},   {"11110000", 8, true, false},
      {"1", 1, true, false},    {"10", 3, false, false},
      {"0x3", 2, false, false}, {"12", 2, false, false},
      {"", 0, true, false},     {"1", 8, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_bit_string_of(c.text, c.width), c.bits) << c.text << " " << c.width;
    EXPECT_EQ(bit_string_may_mislead(c.text, c.width), c.may_mislead) << c.text << " " << c.width;
  }
  // The reason without the text follows it where it is shown.
  EXPECT_EQ(read_number_text("300", 8).error(), "does not fit in 8 bits");
}

TEST(NumberText, FormatGivesTheRadixes) {
  const BitBusValue value = parse_number_text("0x52e6", 16).value();
  EXPECT_EQ(format_number(value, Radix::kHex), "0x52e6");
  EXPECT_EQ(format_number(value, Radix::kDecimal), "21222");
  EXPECT_EQ(format_number(value, Radix::kBinary), "0b0101001011100110");
  EXPECT_EQ(format_number(BitBusValue::zeros(1), Radix::kHex), "0");
  const BitBusValue wide = parse_number_text("+18446744073709551616", 70).value();
  EXPECT_EQ(format_number(wide, Radix::kDecimal), "18446744073709551616");
}

}  // namespace
}  // namespace nimbo
