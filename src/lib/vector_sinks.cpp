#include "lib/vector_sinks.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "engine/bit_matrix.hpp"
#include "lib/arguments.hpp"
#include "lib/value_dict.hpp"

namespace nimbo::py {
namespace {

// The widest step column a layout may ask for.
constexpr int kMaxStepWidth = 64;

Word lane_bit(const Word* lanes, std::size_t lane) {
  return (lanes[lane / 64] >> (lane % 64)) & 1U;
}

}  // namespace

PyObject* value_text(const BitBusValue& value) {
  if (value.width() == 1) return shared_bit_text(value.narrow_word() & 1U);
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(value.width()), 127);
  if (text == nullptr) return nullptr;
  if (value.width() != 0) value.write_text(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
  return text;
}

PyObject* joined_text(std::span<const BitBusValue> values) {
  if (values.size() == 1) return value_text(values[0]);
  std::size_t width = 0;
  for (const BitBusValue& value : values) width += value.width();
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(width), 127);
  if (text == nullptr) return nullptr;
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
  for (const BitBusValue& value : values) {
    if (value.width() == 0) continue;
    value.write_text(out);
    out += value.width();
  }
  return text;
}

PyObject* grouped_tuple(std::span<const BitBusValue> values, const ShownGroups& groups) {
  const std::size_t names = groups.empty() ? values.size() : groups.size();
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names)));
  if (!tuple) return nullptr;
  std::size_t at = 0;
  for (std::size_t i = 0; i < names; ++i) {
    const std::size_t count = groups.empty() ? 1 : groups[i];
    PyObject* text = joined_text(values.subspan(at, count));
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
    at += count;
  }
  return tuple.release();
}

namespace {

// The most characters a number of `bits` bits (two or more) takes in `radix`:
// every bit or nibble with its prefix, or the decimal digits of 2^bits - 1
// (0.30103 is just above log10 2).
std::size_t number_room(std::size_t bits, Radix radix) {
  switch (radix) {
    case Radix::kBinary:
      return 2 + bits;
    case Radix::kHex:
      return 2 + (bits + 3) / 4;
    case Radix::kDecimal:
      break;
  }
  return bits * 30103 / 100000 + 1;
}

// Writes `text` right-aligned to `pad` characters at `out`; the end.
char* put_padded(char* out, std::string_view text, std::size_t pad) {
  if (text.size() < pad) {
    std::memset(out, ' ', pad - text.size());
    out += pad - text.size();
  }
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// A number of 2 to 64 bits in `radix`, as format_number writes it, into
// `buffer` (room for 66 characters); the end.
char* word_number(char* buffer, Word word, std::size_t bits, Radix radix) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char* out = buffer;
  if (radix == Radix::kDecimal) return std::to_chars(out, out + 24, word).ptr;
  *out++ = '0';
  if (radix == Radix::kBinary) {
    *out++ = 'b';
    for (std::size_t b = bits; b-- > 0;) *out++ = static_cast<char>('0' + ((word >> b) & 1U));
    return out;
  }
  *out++ = 'x';
  for (std::size_t n = (bits + 3) / 4; n-- > 0;) *out++ = kDigits[(word >> (4 * n)) & 15U];
  return out;
}

}  // namespace

bool TextSink::take(std::size_t vector, std::span<const BitBusValue> values) {
  begin_row(vector);
  std::size_t bus = 0;
  for (std::size_t c = 0; c < forms_.size(); ++c) {
    const ColumnForm& form = forms_[c];
    const auto group = values.subspan(bus, form.busses);
    bus += form.busses;
    std::size_t bits = 0;
    for (const BitBusValue& value : group) bits += value.width();
    if (!form.radix || bits <= 1) {
      for (const BitBusValue& value : group) value.append_text(text_);
    } else {
      const BitBusValue* number = &group.front();
      if (group.size() != 1) {
        if (joined_.width() != bits) joined_ = BitBusValue::zeros(bits);
        std::size_t at = 0;
        for (const BitBusValue& value : group)
          for (std::size_t b = 0; b < value.width(); ++b) joined_.set_bit(at++, value.bit(b));
        number = &joined_;
      }
      const std::string text = format_number(*number, *form.radix);
      if (text.size() < form.pad) text_.append(form.pad - text.size(), ' ');
      text_ += text;
    }
    text_ += fragments_[c + 2];
  }
  return true;
}

void TextSink::take_block(std::size_t first, std::size_t count, const ShownLanes& values) {
  if (count == 0) return;
  columns_.clear();
  column_ends_.clear();
  // Rows are written through a pointer into room for the longest row each,
  // then the text is cut to what was written.
  std::size_t fixed = 0;
  std::size_t bus = 0;
  for (const ColumnForm& form : forms_) {
    const std::size_t begin = columns_.size();
    for (std::size_t k = 0; k < form.busses; ++k, ++bus) {
      for (std::size_t b = 0, width = values.width(bus); b < width; ++b)
        columns_.push_back(values.lanes(bus, b));
    }
    column_ends_.push_back(columns_.size());
    const std::size_t bits = columns_.size() - begin;
    fixed += form.radix && bits > 1 ? std::max(form.pad, number_room(bits, *form.radix)) : bits;
  }
  for (const std::string& fragment : fragments_) fixed += fragment.size();
  char digits[24];
  char number[72];
  const std::size_t last_step = first_step_ + first + count - 1;
  const std::size_t longest_step = static_cast<std::size_t>(
      std::to_chars(digits, digits + sizeof digits, last_step).ptr - digits);
  const std::size_t start = text_.size();
  text_.resize(start + count * (fixed + std::max(step_width_, longest_step)));
  char* out = text_.data() + start;
  const auto put = [&out](const std::string& fragment) {
    std::memcpy(out, fragment.data(), fragment.size());
    out += fragment.size();
  };
  for (std::size_t lane = 0; lane < count; ++lane) {
    put(fragments_[0]);
    const char* step_end =
        std::to_chars(digits, digits + sizeof digits, first_step_ + first + lane).ptr;
    const auto step_size = static_cast<std::size_t>(step_end - digits);
    if (step_size < step_width_) {
      std::memset(out, ' ', step_width_ - step_size);
      out += step_width_ - step_size;
    }
    std::memcpy(out, digits, step_size);
    out += step_size;
    put(fragments_[1]);
    const std::size_t word = lane / 64;
    const unsigned shift = lane % 64;
    std::size_t column = 0;
    for (std::size_t c = 0; c < forms_.size(); ++c) {
      const ColumnForm& form = forms_[c];
      const std::size_t end = column_ends_[c];
      const std::size_t bits = end - column;
      if (!form.radix || bits <= 1) {
        for (; column < end; ++column)
          *out++ = static_cast<char>('0' + ((columns_[column][word] >> shift) & 1U));
      } else if (bits <= BitBusValue::kWordBits) {
        Word value = 0;
        for (std::size_t b = 0; b < bits; ++b)
          value |= ((columns_[column + b][word] >> shift) & 1U) << b;
        const char* number_end = word_number(number, value, bits, *form.radix);
        out = put_padded(out, {number, static_cast<std::size_t>(number_end - number)}, form.pad);
        column = end;
      } else {
        if (joined_.width() != bits) joined_ = BitBusValue::zeros(bits);
        for (std::size_t b = 0; b < bits; ++b)
          joined_.set_bit(b, ((columns_[column + b][word] >> shift) & 1U) != 0);
        out = put_padded(out, format_number(joined_, *form.radix), form.pad);
        column = end;
      }
      put(fragments_[c + 2]);
    }
  }
  text_.resize(static_cast<std::size_t>(out - text_.data()));
}

namespace {

// Reads the columns of a layout (see layout_argument) into `forms`, each
// counting shown names.
bool column_forms(PyObject* columns, std::size_t shown, std::vector<ColumnForm>& forms) {
  PyRef items =
      PyRef::steal(PySequence_Fast(columns, "argument 'layout': columns must be a sequence"));
  if (!items) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
  std::size_t total = 0;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    Py_ssize_t busses = 0;
    PyObject* radix = nullptr;
    Py_ssize_t pad = 0;
    if (!PyTuple_Check(item) ||
        !PyArg_ParseTuple(item, "nOn;argument 'layout': a column is (busses, radix, pad)", &busses,
                          &radix, &pad)) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "argument 'layout': a column is (busses, radix, pad)");
      }
      return false;
    }
    if (busses < 0 || pad < 0 || pad > (1 << 20)) {
      PyErr_SetString(PyExc_ValueError,
                      "argument 'layout': a column's busses and pad must be small whole numbers");
      return false;
    }
    ColumnForm form{static_cast<std::size_t>(busses), std::nullopt, static_cast<std::size_t>(pad)};
    if (radix != Py_None) {
      const char* name = PyUnicode_Check(radix) ? PyUnicode_AsUTF8(radix) : nullptr;
      if (name == nullptr && PyErr_Occurred()) return false;
      const std::string_view text = name == nullptr ? "" : name;
      if (text == "bin") {
        form.radix = Radix::kBinary;
      } else if (text == "hex") {
        form.radix = Radix::kHex;
      } else if (text == "dec") {
        form.radix = Radix::kDecimal;
      } else {
        PyErr_SetString(PyExc_ValueError,
                        "argument 'layout': a column's radix must be None, 'bin', 'hex' or 'dec'");
        return false;
      }
    }
    total += form.busses;
    forms.push_back(form);
  }
  if (total != shown) {
    PyErr_Format(PyExc_ValueError,
                 "argument 'layout': the columns hold %zu names, not the %zu shown", total, shown);
    return false;
  }
  return true;
}

// Forms whose busses count shown names as forms whose busses count shown
// values, each name joining `groups[i]` of them.
void count_values(std::vector<ColumnForm>& forms, const ShownGroups& groups) {
  std::size_t name = 0;
  for (ColumnForm& form : forms) {
    std::size_t values = 0;
    for (std::size_t k = 0; k < form.busses; ++k) values += groups[name++];
    form.busses = values;
  }
}

}  // namespace

bool layout_argument(PyObject* layout, std::size_t shown, const ShownGroups& groups,
                     std::string& text, std::optional<TextSink>& sink) {
  Py_ssize_t first_step = 0;
  Py_ssize_t step_width = 0;
  PyObject* fragments = nullptr;
  PyObject* columns = Py_None;
  if (!PyArg_ParseTuple(
          layout,
          "nnO|O;argument 'layout': expected (first_step, step_width, fragments[, columns])",
          &first_step, &step_width, &fragments, &columns)) {
    return false;
  }
  const std::size_t names = groups.empty() ? shown : groups.size();
  std::vector<ColumnForm> forms;
  if (columns == Py_None) {
    forms.assign(names, ColumnForm{});
  } else if (!column_forms(columns, names, forms)) {
    return false;
  }
  if (!groups.empty()) count_values(forms, groups);
  auto texts = utf8_texts(fragments, "argument 'layout': fragments must be a sequence",
                          "argument 'layout': fragments must be str");
  if (!texts) return false;
  if (texts->size() != forms.size() + 2) {
    PyErr_Format(PyExc_ValueError, "argument 'layout': expected %zu fragments for %zu columns",
                 forms.size() + 2, forms.size());
    return false;
  }
  if (step_width > kMaxStepWidth) {
    PyErr_Format(PyExc_ValueError, "argument 'layout': step_width must be at most %d",
                 kMaxStepWidth);
    return false;
  }
  sink.emplace(text, static_cast<std::size_t>(std::max<Py_ssize_t>(first_step, 0)),
               static_cast<std::size_t>(std::max<Py_ssize_t>(step_width, 0)), std::move(*texts),
               std::move(forms));
  return true;
}

bool SequenceTupleSink::take(std::size_t sequence, std::size_t,
                             std::span<const BitBusValue> values) {
  PyRef tuple = PyRef::steal(grouped_tuple(values, groups_));
  return tuple && PyList_Append(lists_[sequence], tuple.get()) == 0;
}

bool SequenceTupleSink::take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                                  const ShownLanes& values) {
  for (std::size_t w = 0; w < live.size(); ++w) {
    for (Word left = live[w]; left != 0; left &= left - 1) {
      const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
      for (std::size_t i = 0; i < row_.size(); ++i) {
        const std::size_t width = values.width(i);
        if (width <= BitBusValue::kWordBits) {
          Word word = 0;
          for (std::size_t b = 0; b < width; ++b) word |= lane_bit(values.lanes(i, b), lane) << b;
          row_[i].set_narrow(width, word);
        } else {
          row_[i] = BitBusValue::zeros(width);
          for (std::size_t b = 0; b < width; ++b) {
            row_[i].set_bit(b, lane_bit(values.lanes(i, b), lane) != 0);
          }
        }
      }
      if (!take(first + lane, step, row_)) return false;
    }
  }
  return true;
}

SequenceByteSink::SequenceByteSink(std::size_t sequences, std::size_t steps,
                                   std::vector<std::size_t> widths)
    : steps_(steps), widths_(std::move(widths)) {
  for (const std::size_t width : widths_) columns_ += width;
  bytes_.assign(sequences * steps * columns_, 0);
}

bool SequenceByteSink::take(std::size_t sequence, std::size_t step,
                            std::span<const BitBusValue> values) {
  return write_bit_row(bytes_.data() + (sequence * steps_ + step) * columns_, values, widths_,
                       changed_width_);
}

bool SequenceByteSink::take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                                 const ShownLanes& values) {
  // Up to 64 columns at a time, 64 lanes at a time: the columns' lane
  // words, transposed, are each lane's bits of those columns, spread into
  // its row. A word with few live lanes writes their bytes one by one. The
  // sink keeps nothing of its own between calls (threads write rows of
  // their own at once).
  constexpr int kTransposeFrom = 8;  // live lanes in a word
  const std::size_t row_stride = steps_ * columns_;
  std::uint8_t* const step_rows = bytes_.data() + (first * steps_ + step) * columns_;
  const Word* column_lanes[64];
  Word block[64];
  std::size_t shown = 0;
  std::size_t bit = 0;  // of the shown bus of the next column
  for (std::size_t column = 0; column < columns_; column += 64) {
    const std::size_t count = std::min<std::size_t>(64, columns_ - column);
    for (std::size_t j = 0; j < count; ++j, ++bit) {
      while (bit == widths_[shown]) {
        ++shown;
        bit = 0;
      }
      column_lanes[j] = values.lanes(shown, bit);
    }
    for (std::size_t w = 0; w < live.size(); ++w) {
      std::uint8_t* rows = step_rows + w * 64 * row_stride + column;
      if (std::popcount(live[w]) < kTransposeFrom) {
        for (Word left = live[w]; left != 0; left &= left - 1) {
          const auto lane = static_cast<unsigned>(std::countr_zero(left));
          std::uint8_t* row = rows + lane * row_stride;
          for (std::size_t j = 0; j < count; ++j) {
            row[j] = static_cast<std::uint8_t>((column_lanes[j][w] >> lane) & 1U);
          }
        }
        continue;
      }
      for (std::size_t j = 0; j < count; ++j) block[j] = column_lanes[j][w];
      std::fill(block + count, block + 64, Word{0});
      transpose_bits(block);
      for (Word left = live[w]; left != 0; left &= left - 1) {
        const auto lane = static_cast<unsigned>(std::countr_zero(left));
        bits_to_bytes(block[lane], count, rows + lane * row_stride);
      }
    }
  }
  return true;
}

}  // namespace nimbo::py
