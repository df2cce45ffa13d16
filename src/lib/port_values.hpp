// Port values as Python ints, both ways: the one converter of what a
// testbench writes to a port (an int, or a value text as a vector line
// writes it) into the port's bits, and of a port's bits into an unsigned
// int; with the refusals in the testbench's words.
//
// Bits are words, element 0 (the least significant bit) in bit 0 of word 0,
// as BitBusValue keeps them. An int fits a port of W bits from 0 to
// 2**W - 1, or negative down to -2**(W-1) (two's complement); a text is read
// by VectorNames::value_bits, as a vector line's value is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "busses/truth_table.hpp"
#include "lib/python.hpp"

namespace nimbo::py {

// What a refusal names: the place ("lane 3: ", or nothing) and the port or
// bus as messages show it ("port 'a'", "bus 'a[1]'").
struct ValuePlace {
  std::string_view prefix;
  std::string_view label;
};

// The bits of `value` for a port of `width` bits into `words` (resized to
// BitBusValue::words_for(width)). An int, or an object with __index__ (a
// NumPy integer); True is 1. False with the exception set: TypeError for
// another type, ValueError for a value that does not fit or a text that
// cannot be read, both naming `place`.
bool value_words(PyObject* value, std::size_t width, const ValuePlace& place,
                 std::vector<Word>& words);

// The same for an int only (a PyLong), without a message: 1 when it fits,
// 0 when it does not, -1 with an exception set.
int int_words(PyObject* value, std::size_t width, Word* words);

// Raises ValueError: `value` (an int) does not fit a port of `width` bits.
// Returns null.
PyObject* raise_int_does_not_fit(PyObject* value, std::size_t width, const ValuePlace& place);

// The unsigned int of `width` bits in `words`; null with an exception set.
PyObject* int_of_words(const Word* words, std::size_t width);

// The same, in two's complement when `is_signed`.
PyObject* signed_int_of_words(const Word* words, std::size_t width, bool is_signed);

// The bits of `words` as a bit string, element 0 first, into `text`.
void append_bit_text(const Word* words, std::size_t width, std::string& text);

}  // namespace nimbo::py
