// Values written as numbers: the forms a designer types for a port or a bus
// of a known width, and the radixes values are shown in.
//
// Accepted, for a value of `width` bits:
// - a bit string: unprefixed '0'/'1' characters, element 0 first, exactly
//   `width` of them (the IR's own form: "10" for a 2-bit bus is element
//   0 = 1, i.e. one);
// - a decimal number, optionally negative ("5", "-3", "1_000"): any other
//   unprefixed digits, 0s and 1s of another count than `width` included
//   ("1" for an 8-bit bus is one, "10" for a 16-bit bus is ten);
// - 0x / 0b / 0o followed by digits, most significant first ("0x52e6",
//   "0b1010" is ten), optionally negative;
// - a Verilog literal: [size]'[s](h|d|o|b)digits ("16'h52e6", "'d9",
//   "8'b0000_0101"); a given size must be the width.
// Underscores may separate digits. A negative number is written in two's
// complement and must not be below -2^(width-1); every number must fit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"

namespace nimbo {

enum class Radix : unsigned char { kBinary, kHex, kDecimal };

// The value `text` stands for, `width` bits wide; the error says why not,
// the text quoted first ("\"0x1ff\" does not fit in 8 bits").
Result<BitBusValue> parse_number_text(std::string_view text, std::size_t width);

// The same, with an error that says why without the text, to follow it
// where it is shown ("does not fit in 8 bits").
Result<BitBusValue> read_number_text(std::string_view text, std::size_t width);

// Whether `text` is read as a bit string at `width`.
inline bool is_bit_string_of(std::string_view text, std::size_t width) {
  return text.size() == width && BitBusValue::is_bit_string(text);
}

// Whether `text` is read as a bit string at `width` although a designer may
// have meant a number by it: exactly `width` > 1 '0'/'1' characters whose
// decimal reading fits too ("01" for a 2-bit port is two, not one; "10" is
// one, and ten would not fit).
bool bit_string_may_mislead(std::string_view text, std::size_t width);

// The value as a number in `radix`: "0b0101" (every bit, most significant
// first), "0x52e6" (every nibble), "21230". A 1-bit value is "0" or "1" in
// every radix.
std::string format_number(const BitBusValue& value, Radix radix);

}  // namespace nimbo
