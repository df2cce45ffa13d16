#include "lib/port_values.hpp"

#include <algorithm>

#include "busses/bit_bus_value.hpp"
#include "lib/py_ref.hpp"
#include "lib/py_text.hpp"
#include "renderer/vector_names.hpp"

namespace nimbo::py {
namespace {

constexpr std::size_t kWordBits = BitBusValue::kWordBits;

std::string plural_bits(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " bit" : " bits");
}

// The head of a value refusal: "lane 3: port 'a' has 4 bits: ".
std::string refusal_head(const ValuePlace& place, std::size_t width) {
  std::string head(place.prefix);
  head += place.label;
  head += " has " + plural_bits(width) + ": ";
  return head;
}

// 1 << shift as a Python int; null with an exception set.
PyRef power_of_two(std::size_t shift) {
  PyRef one = PyRef::steal(PyLong_FromLong(1));
  PyRef by = PyRef::steal(PyLong_FromSize_t(shift));
  if (!one || !by) return {};
  return PyRef::steal(PyNumber_Lshift(one.get(), by.get()));
}

// int_words for a port of more than 64 bits.
int wide_int_words(PyObject* value, std::size_t width, Word* words) {
  PyRef high = power_of_two(width);
  PyRef half = power_of_two(width - 1);
  if (!high || !half) return -1;
  PyRef low = PyRef::steal(PyNumber_Negative(half.get()));
  if (!low) return -1;
  const int below = PyObject_RichCompareBool(value, low.get(), Py_LT);
  const int above = below == 0 ? PyObject_RichCompareBool(value, high.get(), Py_GE) : 0;
  if (below < 0 || above < 0) return -1;
  if (below == 1 || above == 1) return 0;
  // Word by word from the bottom; >> floors, so a negative value gives its
  // two's complement words.
  PyRef rest = PyRef::borrow(value);
  PyRef shift = PyRef::steal(PyLong_FromLong(static_cast<long>(kWordBits)));
  if (!shift) return -1;
  const std::size_t count = BitBusValue::words_for(width);
  for (std::size_t w = 0; w < count; ++w) {
    words[w] = PyLong_AsUnsignedLongLongMask(rest.get());
    if (words[w] == static_cast<Word>(-1) && PyErr_Occurred()) return -1;
    if (w + 1 < count) {
      rest = PyRef::steal(PyNumber_Rshift(rest.get(), shift.get()));
      if (!rest) return -1;
    }
  }
  words[count - 1] &= BitBusValue::tail_mask(width);
  return 1;
}

}  // namespace

int int_words(PyObject* value, std::size_t width, Word* words) {
  if (width > kWordBits) return wide_int_words(value, width, words);
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred()) return -1;
  if (overflow > 0 && width == kWordBits) {
    // 2**63 to 2**64 - 1.
    const unsigned long long unsigned_number = PyLong_AsUnsignedLongLong(value);
    if (unsigned_number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
      PyErr_Clear();
      return 0;
    }
    words[0] = unsigned_number;
    return 1;
  }
  if (overflow != 0) return 0;
  if (number < 0) {
    if (width == 0) return 0;
    if (width < kWordBits && number < -(1LL << (width - 1))) return 0;
  } else if (width < kWordBits && (static_cast<unsigned long long>(number) >> width) != 0) {
    return 0;
  }
  words[0] = static_cast<Word>(number) & BitBusValue::narrow_mask(width);
  return 1;
}

PyObject* raise_int_does_not_fit(PyObject* value, std::size_t width, const ValuePlace& place) {
  PyRef high = power_of_two(width);
  if (!high) return nullptr;
  PyRef one = PyRef::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  PyRef top = PyRef::steal(PyNumber_Subtract(high.get(), one.get()));
  if (!top) return nullptr;
  PyRef shown = PyRef::steal(PyObject_Str(value));
  PyRef top_text = PyRef::steal(PyObject_Str(top.get()));
  if (!shown || !top_text) return nullptr;
  PyRef span = PyRef::steal(PyUnicode_FromFormat("0 to %U", top_text.get()));
  if (!span) return nullptr;
  if (width != 0) {
    PyRef half = power_of_two(width - 1);
    if (!half) return nullptr;
    PyRef low = PyRef::steal(PyNumber_Negative(half.get()));
    if (!low) return nullptr;
    span = PyRef::steal(
        PyUnicode_FromFormat("%U, or down to %S in two's complement", span.get(), low.get()));
    if (!span) return nullptr;
  }
  const std::string head = refusal_head(place, width);
  PyErr_Format(PyExc_ValueError, "%s%U does not fit (%U)", head.c_str(), shown.get(), span.get());
  return nullptr;
}

bool value_words(PyObject* value, std::size_t width, const ValuePlace& place,
                 std::vector<Word>& words) {
  words.assign(BitBusValue::words_for(width), 0);
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return false;
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    std::string made;
    Result<std::string_view> bits = VectorNames::value_bits(text, false, width, made);
    if (!bits.ok()) {
      raise_error(PyExc_ValueError, refusal_head(place, width) + "\"" + std::string(text) + "\" " +
                                        std::move(bits).error());
      return false;
    }
    const std::string_view read = bits.value();
    for (std::size_t i = 0; i < read.size(); ++i) {
      if (read[i] == '1') words[i / kWordBits] |= Word{1} << (i % kWordBits);
    }
    return true;
  }
  PyRef number;
  if (PyLong_Check(value)) {
    number = PyRef::borrow(value);
  } else if (PyIndex_Check(value)) {
    number = PyRef::steal(PyNumber_Index(value));
    if (!number) return false;
  } else {
    PyErr_Format(PyExc_TypeError, "%s%s: a value is an int or a str, not %s",
                 std::string(place.prefix).c_str(), std::string(place.label).c_str(),
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const int fits = int_words(number.get(), width, words.data());
  if (fits < 0) return false;
  if (fits == 0) {
    raise_int_does_not_fit(number.get(), width, place);
    return false;
  }
  return true;
}

PyObject* int_of_words(const Word* words, std::size_t width) {
  if (width <= kWordBits) return PyLong_FromUnsignedLongLong(width == 0 ? 0 : words[0]);
  PyRef shift = PyRef::steal(PyLong_FromLong(static_cast<long>(kWordBits)));
  if (!shift) return nullptr;
  const std::size_t count = BitBusValue::words_for(width);
  PyRef result = PyRef::steal(PyLong_FromUnsignedLongLong(words[count - 1]));
  for (std::size_t w = count - 1; result && w-- > 0;) {
    PyRef shifted = PyRef::steal(PyNumber_Lshift(result.get(), shift.get()));
    PyRef word = PyRef::steal(PyLong_FromUnsignedLongLong(words[w]));
    if (!shifted || !word) return nullptr;
    result = PyRef::steal(PyNumber_Or(shifted.get(), word.get()));
  }
  return result.release();
}

PyObject* signed_int_of_words(const Word* words, std::size_t width, bool is_signed) {
  const bool negative = is_signed && width != 0 &&
                        ((words[(width - 1) / kWordBits] >> ((width - 1) % kWordBits)) & 1U) != 0;
  if (!negative) return int_of_words(words, width);
  if (width <= kWordBits) {
    // Sign-extended to 64 bits, then read as a signed number.
    const Word extended = words[0] | ~BitBusValue::narrow_mask(width);
    return PyLong_FromLongLong(static_cast<long long>(extended));
  }
  PyRef number = PyRef::steal(int_of_words(words, width));
  PyRef high = power_of_two(width);
  if (!number || !high) return nullptr;
  return PyNumber_Subtract(number.get(), high.get());
}

void append_bit_text(const Word* words, std::size_t width, std::string& text) {
  const std::size_t start = text.size();
  text.resize(start + width);
  for (std::size_t i = 0; i < width; ++i) {
    text[start + i] = ((words[i / kWordBits] >> (i % kWordBits)) & 1U) != 0 ? '1' : '0';
  }
}

}  // namespace nimbo::py
