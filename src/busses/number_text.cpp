#include "busses/number_text.hpp"

#include "busses/bit_bus.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>
#include <vector>

namespace nimbo {
namespace {

using Words = std::vector<Word>;

// words = words * factor + addend; false when a word past `limit` words would
// be needed (the number is far too large for any width considered).
void multiply_add(Words& words, Word factor, Word addend) {
  unsigned __int128 carry = addend;
  for (Word& word : words) {
    const unsigned __int128 product = static_cast<unsigned __int128>(word) * factor + carry;
    word = static_cast<Word>(product);
    carry = product >> 64;
  }
  if (carry != 0) words.push_back(static_cast<Word>(carry));
}

// The number of significant bits of `words`.
std::size_t bit_length(const Words& words) {
  for (std::size_t i = words.size(); i-- > 0;) {
    if (words[i] != 0) return i * 64 + (64 - static_cast<std::size_t>(__builtin_clzll(words[i])));
  }
  return 0;
}

bool is_digit_of(char c, unsigned base) {
  unsigned digit = 99;
  if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
  return digit < base;
}

unsigned digit_of(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

std::string bits_text(std::size_t width) {
  return std::to_string(width) + (width == 1 ? " bit" : " bits");
}

// Reads `digits` in `base` into words; an error says what is wrong with
// them (to follow the text, see read_number_text). Nothing
// (no words) when the number has more than `max_bits` significant bits,
// which its count of digits tells before any is converted: converting costs
// time in the square of the digits, and a number far too large for the
// width needs no value.
Result<std::optional<Words>> read_digits(std::string_view digits, unsigned base,
                                         std::size_t max_bits) {
  std::size_t significant = 0;
  bool any = false;
  bool after_digit = false;
  for (const char c : digits) {
    if (c == '_' && after_digit) continue;
    if (c == 'x' || c == 'X' || c == 'z' || c == 'Z' || c == '?') {
      return Error{"has x or z digits; nimbo values hold only 0 and 1"};
    }
    if (!is_digit_of(c, base)) {
      return Error{"is not a number: '" + std::string(1, c) + "' is not a digit in base " +
                   std::to_string(base)};
    }
    if (significant > 0 || c != '0') ++significant;
    any = true;
    after_digit = true;
  }
  if (!any) return Error{"has no digits"};
  // A number of n significant digits has at least (n - 1) * log2(base) + 1
  // bits; log2(10) is taken as 3.32, a little below it.
  if (significant > 0) {
    const std::size_t below = significant - 1;
    const std::size_t least_bits = (base == 10 ? below / 100 * 332 + below % 100 * 332 / 100
                                               : below * std::bit_width(base - 1)) +
                                   1;
    if (least_bits > max_bits) return std::optional<Words>{};
  }
  Words words{0};
  if (std::has_single_bit(base)) {
    // Each digit is its own bits: placed from the least significant end.
    const auto bits_per_digit = static_cast<std::size_t>(std::countr_zero(base));
    std::size_t bit = 0;
    for (std::size_t i = digits.size(); i-- > 0;) {
      if (digits[i] == '_') continue;
      const Word digit = digit_of(digits[i]);
      if (digit != 0) {
        words.resize(std::max(words.size(), (bit + bits_per_digit) / 64 + 1), 0);
        words[bit / 64] |= digit << (bit % 64);
        if (bit % 64 + bits_per_digit > 64) words[bit / 64 + 1] |= digit >> (64 - bit % 64);
      }
      bit += bits_per_digit;
    }
    return std::optional<Words>{std::move(words)};
  }
  for (const char c : digits) {
    if (c == '_') continue;
    multiply_add(words, base, digit_of(c));
  }
  return std::optional<Words>{std::move(words)};
}

std::string too_wide(std::size_t width) {
  return "does not fit in " + bits_text(width);
}

// The value of magnitude `words`, negated when `negative`, in `width` bits.
Result<BitBusValue> fit(Words words, bool negative, std::size_t width) {
  const std::size_t length = bit_length(words);
  bool fits = length <= width;
  if (negative && length > 0) {
    // -m fits when m <= 2^(width-1).
    fits = width > 0 && (length < width || (length == width && [&] {
                           const std::size_t top = width - 1;
                           for (std::size_t i = 0; i < words.size(); ++i) {
                             const Word expected = i == top / 64 ? Word{1} << (top % 64) : 0;
                             if (words[i] != expected) return false;
                           }
                           return true;
                         }()));
  }
  if (!fits) return Error{too_wide(width)};
  BitBusValue value = BitBusValue::zeros(width);
  if (width == 0) return value;
  words.resize(std::max(words.size(), BitBusValue::words_for(width)), 0);
  if (negative) {
    // Two's complement: invert and add one.
    unsigned __int128 carry = 1;
    for (Word& word : words) {
      const unsigned __int128 sum = static_cast<unsigned __int128>(~word) + carry;
      word = static_cast<Word>(sum);
      carry = sum >> 64;
    }
  }
  for (std::size_t b = 0; b < width; ++b) {
    if ((words[b / 64] >> (b % 64)) & 1U) value.set_bit(b, true);
  }
  return value;
}

}  // namespace

Result<BitBusValue> read_number_text(std::string_view text, std::size_t width) {
  if (is_bit_string_of(text, width)) return BitBusValue::from_string(text);
  std::string_view rest = text;
  // A Verilog literal: [size]'[s]<base>digits.
  if (const std::size_t tick = rest.find('\''); tick != std::string_view::npos) {
    const std::string_view size = rest.substr(0, tick);
    std::string_view spec = rest.substr(tick + 1);
    if (!spec.empty() && (spec[0] == 's' || spec[0] == 'S')) spec.remove_prefix(1);
    unsigned base = 0;
    switch (spec.empty() ? '\0' : spec[0]) {
      case 'h':
      case 'H':
        base = 16;
        break;
      case 'd':
      case 'D':
        base = 10;
        break;
      case 'o':
      case 'O':
        base = 8;
        break;
      case 'b':
      case 'B':
        base = 2;
        break;
      default:
        return Error{"has no base h, d, o or b after '"};
    }
    if (!size.empty()) {
      Result<std::optional<Words>> declared = read_digits(size, 10, 64);
      if (!declared.ok()) return Error{std::move(declared).error()};
      const std::optional<Words>& size_words = declared.value();
      const bool same = size_words && bit_length(*size_words) <= 64 && (*size_words)[0] == width;
      if (!same) {
        return Error{"has " + std::string(size) + " bits but the value needs " +
                     std::to_string(width)};
      }
    }
    Result<std::optional<Words>> words = read_digits(spec.substr(1), base, width);
    if (!words.ok()) return Error{std::move(words).error()};
    if (!words.value()) return Error{too_wide(width)};
    return fit(std::move(*words.value()), false, width);
  }
  bool negative = false;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  unsigned base = 10;
  if (rest.size() >= 2 && rest[0] == '0') {
    switch (rest[1]) {
      case 'x':
      case 'X':
        base = 16;
        break;
      case 'b':
      case 'B':
        base = 2;
        break;
      case 'o':
      case 'O':
        base = 8;
        break;
      default:
        break;
    }
    if (base != 10) rest.remove_prefix(2);
  }
  if (base == 10 && (rest.empty() || rest[0] < '0' || rest[0] > '9')) {
    return Error{"is neither a bit string nor a number (write 5, 0x1f, 0b101 or 8'h1f)"};
  }
  Result<std::optional<Words>> words = read_digits(rest, base, width);
  if (!words.ok()) return Error{std::move(words).error()};
  Result<BitBusValue> value =
      words.value() ? fit(std::move(*words.value()), negative, width) : Error{too_wide(width)};
  if (!value.ok() && text.size() > 1 && BitBusValue::is_bit_string(text)) {
    // 0s and 1s of another count than the width: a number that does not fit.
    return Error{std::move(value).error() + " (as a number; a bit string has exactly " +
                 std::to_string(width) + (width == 1 ? " digit)" : " digits)")};
  }
  return value;
}

Result<BitBusValue> parse_number_text(std::string_view text, std::size_t width) {
  Result<BitBusValue> value = read_number_text(text, width);
  if (value.ok()) return value;
  return Error{"\"" + std::string(text) + "\" " + std::move(value).error()};
}

bool bit_string_may_mislead(std::string_view text, std::size_t width) {
  if (width <= 1 || !is_bit_string_of(text, width)) return false;
  std::string decimal = "+";
  decimal += text;
  return parse_number_text(decimal, width).ok();
}

std::string format_number(const BitBusValue& value, Radix radix) {
  const std::size_t width = value.width();
  if (width == 1) return value.bit(0) ? "1" : "0";
  if (radix == Radix::kBinary) {
    std::string text = "0b";
    for (std::size_t b = width; b-- > 0;) text += value.bit(b) ? '1' : '0';
    return text;
  }
  if (radix == Radix::kHex) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    const std::size_t nibbles = std::max<std::size_t>(1, (width + 3) / 4);
    for (std::size_t n = nibbles; n-- > 0;) {
      unsigned digit = 0;
      for (std::size_t b = 0; b < 4; ++b) {
        const std::size_t bit = n * 4 + b;
        if (bit < width && value.bit(bit)) digit |= 1U << b;
      }
      text += kDigits[digit];
    }
    return text;
  }
  // Decimal: repeated division of the words by 10^18.
  Words words(value.data(), value.data() + value.word_count());
  constexpr Word kChunk = 1000000000000000000ULL;
  std::vector<Word> chunks;
  while (bit_length(words) > 0) {
    unsigned __int128 remainder = 0;
    for (std::size_t i = words.size(); i-- > 0;) {
      const unsigned __int128 current = (remainder << 64) | words[i];
      words[i] = static_cast<Word>(current / kChunk);
      remainder = current % kChunk;
    }
    chunks.push_back(static_cast<Word>(remainder));
  }
  if (chunks.empty()) return "0";
  std::string text = std::to_string(chunks.back());
  for (std::size_t i = chunks.size() - 1; i-- > 0;) {
    const std::string part = std::to_string(chunks[i]);
    text.append(18 - part.size(), '0');
    text += part;
  }
  return text;
}

}  // namespace nimbo
