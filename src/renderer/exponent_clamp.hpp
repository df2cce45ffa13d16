// Rewrites number exponents too long for the JSON parser.
//
// The parser refuses an exponent beyond the range of int ("1e99999999999"),
// although such a number is valid JSON. Numbers mean nothing in the IR, so a
// text refused for that reason is parsed again after this rewrite, which keeps
// every byte offset (and so every error position) unchanged.
#pragma once

#include <string>

namespace nimbo {

// Replaces the digits of every exponent longer than 9 digits, outside
// strings, with zeros ending in "999" (same length, same sign). Returns true
// when anything changed.
bool clamp_long_exponents(std::string& text);

}  // namespace nimbo
