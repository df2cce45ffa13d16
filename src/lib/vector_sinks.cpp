#include "lib/vector_sinks.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <utility>

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

void TextSink::take_block(std::size_t first, std::size_t count, const ShownLanes& values) {
  if (count == 0) return;
  const std::size_t shown = fragments_.size() - 2;
  columns_.clear();
  column_ends_.clear();
  for (std::size_t i = 0; i < shown; ++i) {
    for (std::size_t b = 0, width = values.width(i); b < width; ++b)
      columns_.push_back(values.lanes(i, b));
    column_ends_.push_back(columns_.size());
  }
  // Rows are written through a pointer into room for the longest row each,
  // then the text is cut to what was written.
  std::size_t fixed = columns_.size();
  for (const std::string& fragment : fragments_) fixed += fragment.size();
  char digits[24];
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
    for (std::size_t i = 0; i < shown; ++i) {
      for (; column < column_ends_[i]; ++column)
        *out++ = static_cast<char>('0' + ((columns_[column][word] >> shift) & 1U));
      put(fragments_[i + 2]);
    }
  }
  text_.resize(static_cast<std::size_t>(out - text_.data()));
}

bool layout_argument(PyObject* layout, std::size_t shown, std::string& text,
                     std::optional<TextSink>& sink) {
  Py_ssize_t first_step = 0;
  Py_ssize_t step_width = 0;
  PyObject* fragments = nullptr;
  if (!PyArg_ParseTuple(layout,
                        "nnO;argument 'layout': expected (first_step, step_width, fragments)",
                        &first_step, &step_width, &fragments)) {
    return false;
  }
  auto texts = utf8_texts(fragments, "argument 'layout': fragments must be a sequence",
                          "argument 'layout': fragments must be str");
  if (!texts) return false;
  if (texts->size() != shown + 2) {
    PyErr_Format(PyExc_ValueError, "argument 'layout': expected %zu fragments for %zu shown busses",
                 shown + 2, shown);
    return false;
  }
  if (step_width > kMaxStepWidth) {
    PyErr_Format(PyExc_ValueError, "argument 'layout': step_width must be at most %d",
                 kMaxStepWidth);
    return false;
  }
  sink.emplace(text, static_cast<std::size_t>(std::max<Py_ssize_t>(first_step, 0)),
               static_cast<std::size_t>(std::max<Py_ssize_t>(step_width, 0)), std::move(*texts));
  return true;
}

bool SequenceTupleSink::take(std::size_t sequence, std::size_t,
                             std::span<const BitBusValue> values) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* text = value_text(values[i]);
    if (text == nullptr) return false;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
  }
  return PyList_Append(lists_[sequence], tuple.get()) == 0;
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
  std::uint8_t* row = bytes_.data() + (sequence * steps_ + step) * columns_;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].width() != widths_[i]) {
      changed_width_ = i;
      return false;
    }
    for (std::size_t b = 0; b < widths_[i]; ++b) *row++ = values[i].bit(b) ? 1 : 0;
  }
  return true;
}

bool SequenceByteSink::take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                                 const ShownLanes& values) {
  std::size_t column = 0;
  for (std::size_t i = 0; i < widths_.size(); ++i) {
    for (std::size_t b = 0; b < widths_[i]; ++b, ++column) {
      const Word* lanes = values.lanes(i, b);
      for (std::size_t w = 0; w < live.size(); ++w) {
        for (Word left = live[w]; left != 0; left &= left - 1) {
          const std::size_t lane = w * 64 + static_cast<std::size_t>(std::countr_zero(left));
          bytes_[((first + lane) * steps_ + step) * columns_ + column] =
              static_cast<std::uint8_t>(lane_bit(lanes, lane));
        }
      }
    }
  }
  return true;
}

}  // namespace nimbo::py
