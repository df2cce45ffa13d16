#include "busses/bit_bus_value.hpp"

#include "common/utf8.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace nimbo {

BitBusValue::Word* BitBusValue::allocate_words(std::size_t count) {
  std::allocator<Word> allocator;
  return allocator.allocate(count);
}

void BitBusValue::free_words(Word* words, std::size_t count) noexcept {
  std::allocator<Word> allocator;
  allocator.deallocate(words, count);
}

void BitBusValue::release() noexcept {
  if (!is_narrow()) free_words(storage_.heap, word_count());
  width_ = 0;
  storage_.word = 0;
}

BitBusValue::BitBusValue(const BitBusValue& other) : width_(other.width_) {
  if (other.is_narrow()) {
    storage_.word = other.storage_.word;
  } else {
    storage_.heap = allocate_words(other.word_count());
    std::memcpy(storage_.heap, other.storage_.heap, other.word_count() * sizeof(Word));
  }
}

BitBusValue& BitBusValue::operator=(const BitBusValue& other) {
  if (this == &other) return *this;
  if (other.is_narrow()) {
    set_narrow(other.width_, other.storage_.word);
    return *this;
  }
  if (is_narrow() || word_count() != other.word_count()) {
    Word* fresh = allocate_words(other.word_count());
    release();
    storage_.heap = fresh;
  }
  width_ = other.width_;
  std::memcpy(storage_.heap, other.storage_.heap, other.word_count() * sizeof(Word));
  return *this;
}

BitBusValue::BitBusValue(BitBusValue&& other) noexcept : width_(other.width_) {
  storage_ = other.storage_;
  other.width_ = 1;
  other.storage_.word = 0;
}

BitBusValue& BitBusValue::operator=(BitBusValue&& other) noexcept {
  if (this == &other) return *this;
  release();
  width_ = other.width_;
  storage_ = other.storage_;
  other.width_ = 1;
  other.storage_.word = 0;
  return *this;
}

BitBusValue BitBusValue::zeros(std::size_t width) {
  BitBusValue value;
  value.resize_for_overwrite(width);
  std::fill_n(value.data(), value.word_count(), Word{0});
  return value;
}

BitBusValue BitBusValue::from_bools(std::span<const bool> bits) {
  BitBusValue value = zeros(bits.size());
  Word* words = value.data();
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i]) words[i / kWordBits] |= Word{1} << (i % kWordBits);
  }
  return value;
}

bool BitBusValue::is_bit_string(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == '0' || c == '1'; });
}

Result<BitBusValue> BitBusValue::from_string(std::string_view text) {
  const std::size_t offender = text.find_first_not_of("01");
  if (offender != std::string_view::npos) {
    // Report the whole character, not just its first byte.
    const std::size_t length = decode_utf8(text, offender).length;
    std::string message = "Invalid character '";
    message.append(text.substr(offender, length));
    message.append("' in bit string");
    return Error{std::move(message)};
  }
  BitBusValue value;
  value.assign_text(text);
  return value;
}

void BitBusValue::assign_text(std::string_view bits) {
  resize_for_overwrite(bits.size());
  Word* words = data();
  std::fill_n(words, word_count(), Word{0});
  for (std::size_t i = 0; i < bits.size(); ++i) {
    words[i / kWordBits] |= Word{bits[i] == '1'} << (i % kWordBits);
  }
}

void BitBusValue::set_bit(std::size_t index, bool on) noexcept {
  Word& word = data()[index / kWordBits];
  const Word bit = Word{1} << (index % kWordBits);
  word = on ? (word | bit) : (word & ~bit);
}

void BitBusValue::set_narrow(std::size_t width, Word word) noexcept {
  if (!is_narrow()) free_words(storage_.heap, word_count());
  width_ = width;
  storage_.word = word;
}

void BitBusValue::resize_for_overwrite(std::size_t width) {
  const bool wide = width > kWordBits;
  if (!wide) {
    set_narrow(width, 0);
    return;
  }
  if (is_narrow() || word_count() != words_for(width)) {
    Word* fresh = allocate_words(words_for(width));
    release();
    storage_.heap = fresh;
  }
  width_ = width;
}

void BitBusValue::mask_tail() noexcept {
  data()[word_count() - 1] &= tail_mask(width_);
}

void BitBusValue::assign_not(const BitBusValue& operand) {
  if (operand.is_narrow()) {
    set_narrow(operand.width_, ~operand.storage_.word & narrow_mask(operand.width_));
    return;
  }
  if (this == &operand) {
    for (std::size_t i = 0; i < word_count(); ++i) data()[i] = ~data()[i];
    mask_tail();
    return;
  }
  resize_for_overwrite(operand.width_);
  const Word* in = operand.data();
  Word* out = data();
  for (std::size_t i = 0; i < word_count(); ++i) out[i] = ~in[i];
  mask_tail();
}

void BitBusValue::assign_table(TruthTable table, const BitBusValue& left,
                               const BitBusValue& right) {
  const std::size_t width = std::min(left.width_, right.width_);
  if (width <= kWordBits) {
    const Word l = left.data()[0];
    const Word r = right.data()[0];
    set_narrow(width, truth_table::apply(table, l, r) & narrow_mask(width));
    return;
  }
  // Both operands are wide here; when one of them is this value, compute
  // into fresh storage so no input word is overwritten before it is read.
  if (this == &left || this == &right) {
    BitBusValue result;
    result.assign_table(table, left, right);
    *this = std::move(result);
    return;
  }
  resize_for_overwrite(width);
  const Word* l = left.data();
  const Word* r = right.data();
  Word* out = data();
  const std::size_t count = word_count();
  for (std::size_t i = 0; i < count; ++i) out[i] = truth_table::apply(table, l[i], r[i]);
  mask_tail();
}

void BitBusValue::write_text(char* out) const noexcept {
  const Word* words = data();
  for (std::size_t i = 0; i < width_; ++i) {
    out[i] = static_cast<char>('0' + ((words[i / kWordBits] >> (i % kWordBits)) & 1U));
  }
}

void BitBusValue::append_text(std::string& out) const {
  const std::size_t start = out.size();
  out.resize(start + width_);
  write_text(out.data() + start);
}

std::string BitBusValue::to_string() const {
  std::string text;
  append_text(text);
  return text;
}

void BitBusValue::append_debug(std::string& out) const {
  out += "BitBusValue { raw_value: [";
  for (std::size_t i = 0; i < width_; ++i) {
    if (i != 0) out += ", ";
    out += bit(i) ? "true" : "false";
  }
  out += "] }";
}

std::string BitBusValue::debug_string() const {
  std::string text;
  append_debug(text);
  return text;
}

bool operator==(const BitBusValue& a, const BitBusValue& b) noexcept {
  if (a.width_ != b.width_) return false;
  if (a.is_narrow()) return a.storage_.word == b.storage_.word;
  return std::memcmp(a.storage_.heap, b.storage_.heap,
                     a.word_count() * sizeof(BitBusValue::Word)) == 0;
}

}  // namespace nimbo
