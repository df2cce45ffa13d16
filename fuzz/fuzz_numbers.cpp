// libFuzzer target: number texts (a width from the last bytes, the text
// from the others) through read_number_text and parse_number_text, against
// a slow reference written from the rule in number_text.hpp: digit by digit
// into a number of 32-bit limbs that saturates past the width, then fitted.
// Both must give the same value, or the same message (parse_number_text's
// with the text quoted first). A value also comes back from its binary and
// hexadecimal forms (format_number).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "busses/number_text.hpp"

namespace {

using nimbo::BitBusValue;
using nimbo::Error;
using nimbo::Result;

void check(bool fact) {
  if (!fact) __builtin_trap();
}

// A magnitude of at most `limit` bits; larger ones only say so.
class Number {
 public:
  explicit Number(std::size_t limit) : limit_(limit), limbs_(limit / 32 + 2, 0) {}

  void times_plus(unsigned base, unsigned digit) {
    std::uint64_t carry = digit;
    for (std::uint32_t& limb : limbs_) {
      const std::uint64_t next = std::uint64_t{limb} * base + carry;
      limb = static_cast<std::uint32_t>(next);
      carry = next >> 32;
    }
    too_large_ = too_large_ || carry != 0 || bits() > limit_;
  }
  bool too_large() const { return too_large_; }
  // Significant bits (when not too large).
  std::size_t bits() const {
    for (std::size_t i = limbs_.size(); i-- > 0;) {
      for (int b = 31; b >= 0; --b) {
        if ((limbs_[i] >> b) & 1U) return i * 32 + static_cast<std::size_t>(b) + 1;
      }
    }
    return 0;
  }
  bool bit(std::size_t index) const {
    return index / 32 < limbs_.size() && ((limbs_[index / 32] >> (index % 32)) & 1U) != 0;
  }

 private:
  std::size_t limit_;
  std::vector<std::uint32_t> limbs_;
  bool too_large_ = false;
};

std::optional<unsigned> digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// The digits of `digits` in `base` (underscores between them), or the
// message that refuses them; the number saturates past `limit` bits.
Result<Number> digits_of(std::string_view digits, unsigned base, std::size_t limit) {
  Number number(limit);
  bool any = false;
  for (const char c : digits) {
    if (c == '_' && any) continue;
    if (c == 'x' || c == 'X' || c == 'z' || c == 'Z' || c == '?') {
      return Error{"has x or z digits; nimbo values hold only 0 and 1"};
    }
    const std::optional<unsigned> digit = digit_value(c);
    if (!digit || *digit >= base) {
      return Error{"is not a number: '" + std::string(1, c) + "' is not a digit in base " +
                   std::to_string(base)};
    }
    any = true;
  }
  if (!any) return Error{"has no digits"};
  for (const char c : digits) {
    if (c != '_') number.times_plus(base, *digit_value(c));
  }
  return number;
}

std::string bits_text(std::size_t width) {
  return std::to_string(width) + (width == 1 ? " bit" : " bits");
}

Result<BitBusValue> fitted(const Number& number, bool negative, std::size_t width) {
  const Error too_wide{"does not fit in " + bits_text(width)};
  if (number.too_large()) return too_wide;
  const std::size_t bits = number.bits();
  if (!negative && bits > width) return too_wide;
  if (negative && bits > 0) {
    // -m fits when m <= 2^(width - 1): m has fewer bits than the width, or
    // is exactly that power of two.
    bool power = bits == width;
    for (std::size_t b = 0; b + 1 < bits && power; ++b) power = !number.bit(b);
    if (width == 0 || (bits > width) || (bits == width && !power)) return too_wide;
  }
  BitBusValue value = BitBusValue::zeros(width);
  // Two's complement of a negative number: invert the bits and add one.
  bool carry = negative;
  for (std::size_t b = 0; b < width; ++b) {
    bool bit = number.bit(b);
    if (negative) {
      bit = !bit;
      const bool sum = bit != carry;
      carry = bit && carry;
      bit = sum;
    }
    value.set_bit(b, bit);
  }
  return value;
}

// The value of `text` at `width`, or why not (without the text).
Result<BitBusValue> reference(std::string_view text, std::size_t width) {
  // A bit string has exactly the width's count of 0s and 1s.
  if (text.size() == width && BitBusValue::is_bit_string(text)) {
    return BitBusValue::from_string(text);
  }
  const std::size_t limit = width + 2;
  if (const std::size_t tick = text.find('\''); tick != std::string_view::npos) {
    const std::string_view size = text.substr(0, tick);
    std::string_view spec = text.substr(tick + 1);
    if (!spec.empty() && (spec[0] == 's' || spec[0] == 'S')) spec.remove_prefix(1);
    const char letter = spec.empty() ? '\0' : static_cast<char>(spec[0] | 0x20);
    const unsigned base = letter == 'h'   ? 16
                          : letter == 'd' ? 10
                          : letter == 'o' ? 8
                          : letter == 'b' ? 2
                                          : 0;
    if (base == 0) return Error{"has no base h, d, o or b after '"};
    if (!size.empty()) {
      Result<Number> declared = digits_of(size, 10, 64);
      if (!declared.ok()) return Error{declared.error()};
      const Number& n = declared.value();
      bool same = !n.too_large() && n.bits() <= 64;
      for (std::size_t b = 0; b < 64 && same; ++b) same = n.bit(b) == (((width >> b) & 1U) != 0);
      if (!same) {
        return Error{"has " + std::string(size) + " bits but the value needs " +
                     std::to_string(width)};
      }
    }
    Result<Number> number = digits_of(spec.substr(1), base, limit);
    if (!number.ok()) return Error{number.error()};
    return fitted(number.value(), false, width);
  }
  std::string_view rest = text;
  bool negative = false;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  unsigned base = 10;
  if (rest.size() >= 2 && rest[0] == '0') {
    const char prefix = static_cast<char>(rest[1] | 0x20);
    base = prefix == 'x' ? 16 : prefix == 'b' ? 2 : prefix == 'o' ? 8 : 10;
    if (base != 10) rest.remove_prefix(2);
  }
  if (base == 10 && (rest.empty() || rest[0] < '0' || rest[0] > '9')) {
    return Error{"is neither a bit string nor a number (write 5, 0x1f, 0b101 or 8'h1f)"};
  }
  Result<Number> number = digits_of(rest, base, limit);
  if (!number.ok()) return Error{number.error()};
  Result<BitBusValue> value = fitted(number.value(), negative, width);
  if (!value.ok() && text.size() > 1 && BitBusValue::is_bit_string(text)) {
    // 0s and 1s of another count than the width, read as a number.
    return Error{value.error() + " (as a number; a bit string has exactly " +
                 std::to_string(width) + (width == 1 ? " digit)" : " digits)")};
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t width = input.ConsumeIntegralInRange<std::size_t>(0, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();
  const Result<BitBusValue> read = nimbo::read_number_text(text, width);
  const Result<BitBusValue> parsed = nimbo::parse_number_text(text, width);
  const Result<BitBusValue> expected = reference(text, width);
  check(read.ok() == expected.ok() && parsed.ok() == expected.ok());
  if (!parsed.ok()) {
    check(read.error() == expected.error());
    check(parsed.error() == quoted(text) + " " + expected.error());
    return 0;
  }
  check(read.value() == expected.value());
  check(parsed.value() == expected.value());
  if (width >= 2) {
    for (const nimbo::Radix radix : {nimbo::Radix::kBinary, nimbo::Radix::kHex}) {
      const Result<BitBusValue> back =
          nimbo::parse_number_text(nimbo::format_number(parsed.value(), radix), width);
      check(back.ok() && back.value() == parsed.value());
    }
  }
  return 0;
}
