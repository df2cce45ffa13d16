#include "renderer/exponent_clamp.hpp"

#include <cstddef>

namespace nimbo {
namespace {

constexpr std::size_t kLongestKeptExponent = 9;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool clamp_long_exponents(std::string& text) {
  bool changed = false;
  bool in_string = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        i += 2;
        continue;
      }
      if (c == '"') in_string = false;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = true;
      ++i;
      continue;
    }
    // An exponent marker outside a string follows a mantissa digit.
    if ((c != 'e' && c != 'E') || i == 0 || !is_digit(text[i - 1])) {
      ++i;
      continue;
    }
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t digits_begin = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    const std::size_t digits = i - digits_begin;
    if (digits > kLongestKeptExponent) {
      for (std::size_t k = 0; k < digits; ++k) {
        text[digits_begin + k] = k + 3 < digits ? '0' : '9';
      }
      changed = true;
    }
  }
  return changed;
}

}  // namespace nimbo
