// BitBusValue: a bit string of any width, packed 64 bits to a word.
//
// Element 0 is the first character of the text form and lives in bit 0 of
// word 0. Values up to 64 bits keep their single word inline; wider values
// own a heap array of words. Bits past the width in the last word are always
// zero, so equality is a plain word comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "busses/truth_table.hpp"
#include "common/result.hpp"

namespace nimbo {

class BitBusValue {
 public:
  using Word = nimbo::Word;
  static constexpr std::size_t kWordBits = 64;

  // The default value: one 0 bit.
  BitBusValue() noexcept : width_(1) { storage_.word = 0; }
  ~BitBusValue() { release(); }

  BitBusValue(const BitBusValue& other);
  BitBusValue& operator=(const BitBusValue& other);
  BitBusValue(BitBusValue&& other) noexcept;
  BitBusValue& operator=(BitBusValue&& other) noexcept;

  // A value holding exactly these bits (any width, 0 included).
  static BitBusValue from_bools(std::span<const bool> bits);
  // A value of `width` 0 bits.
  static BitBusValue zeros(std::size_t width);
  // Parses "0"/"1" text; any other character is an error naming it.
  static Result<BitBusValue> from_string(std::string_view text);
  // True when every byte of `text` is '0' or '1'.
  static bool is_bit_string(std::string_view text) noexcept;

  std::size_t width() const noexcept { return width_; }
  bool is_narrow() const noexcept { return width_ <= kWordBits; }
  std::size_t word_count() const noexcept { return words_for(width_); }
  const Word* data() const noexcept { return is_narrow() ? &storage_.word : storage_.heap; }
  Word* data() noexcept { return is_narrow() ? &storage_.word : storage_.heap; }
  // The single word of a narrow value.
  Word narrow_word() const noexcept { return storage_.word; }

  bool bit(std::size_t index) const noexcept {
    return (data()[index / kWordBits] >> (index % kWordBits)) & 1U;
  }
  void set_bit(std::size_t index, bool on) noexcept;

  // Replaces the contents with a narrow value, releasing wide storage.
  void set_narrow(std::size_t width, Word word) noexcept;
  // True when this value has this width (<= 64) and this masked word.
  bool equals_narrow(std::size_t width, Word word) const noexcept {
    return width_ == width && storage_.word == word;
  }
  // Sets the width; the bits are unspecified afterwards except that bits past
  // the width are zero once the caller has written every word.
  void resize_for_overwrite(std::size_t width);
  // Clears the bits past the width in the last word.
  void mask_tail() noexcept;

  // Replaces the value with the bits of `bits`, every character of which is
  // '0' or '1'; storage is reused when the word count stays.
  void assign_text(std::string_view bits);
  // this = ~operand (same width).
  void assign_not(const BitBusValue& operand);
  // this = table(left, right) bit by bit, cut to the smaller width.
  void assign_table(TruthTable table, const BitBusValue& left, const BitBusValue& right);

  std::string to_string() const;
  void append_text(std::string& out) const;
  // Writes the text form into `out`, which must hold width() characters.
  void write_text(char* out) const noexcept;
  // "BitBusValue { raw_value: [true, false] }"
  std::string debug_string() const;
  void append_debug(std::string& out) const;

  friend bool operator==(const BitBusValue& a, const BitBusValue& b) noexcept;

  static constexpr std::size_t words_for(std::size_t width) noexcept {
    return width == 0 ? 1 : (width + kWordBits - 1) / kWordBits;
  }
  // The mask of a value of at most 64 bits.
  static constexpr Word narrow_mask(std::size_t width) noexcept {
    return width == 0 ? Word{0} : ~Word{0} >> (kWordBits - width);
  }
  static constexpr Word tail_mask(std::size_t width) noexcept {
    const std::size_t used = width % kWordBits;
    return used == 0 ? (width == 0 ? Word{0} : ~Word{0}) : (Word{1} << used) - 1;
  }

 private:
  union Storage {
    Word word;
    Word* heap;
  };

  static Word* allocate_words(std::size_t count);
  static void free_words(Word* words, std::size_t count) noexcept;
  void release() noexcept;

  std::size_t width_;
  Storage storage_;
};

}  // namespace nimbo
