// The sinks the Simulator's batches hand their values to: Python objects per
// vector (dicts, tuples), text rows, or rows of 0/1 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "busses/number_text.hpp"
#include "engine/vectors.hpp"
#include "lib/interpreter.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"

namespace nimbo::py {

// The text of a value as a new str (one-bit values share two cached strs);
// null with an exception set.
PyObject* value_text(const BitBusValue& value);

// The shown values of a vector grouped into the names shown: `groups` holds
// how many consecutive values each name joins (a port's busses, element 0
// first); empty when each value is a name of its own.
using ShownGroups = std::vector<std::size_t>;

// The texts of `values` side by side, as a new str (one value: value_text).
PyObject* joined_text(std::span<const BitBusValue> values);

// A tuple of the texts of `values`, joined by `groups`; null with an
// exception set.
PyObject* grouped_tuple(std::span<const BitBusValue> values, const ShownGroups& groups);

// One dict of the shown busses per vector, appended to a list.
class DictSink final : public VectorSink {
 public:
  DictSink(PyObject* results, std::vector<PyRef> keys)
      : results_(results), keys_(std::move(keys)) {}
  bool take(std::size_t, std::span<const BitBusValue> values) override {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyRef text = PyRef::steal(value_text(values[i]));
      if (!text || PyDict_SetItem(dict.get(), keys_[i].get(), text.get()) < 0) return false;
    }
    return PyList_Append(results_, dict.get()) == 0;
  }

 private:
  PyObject* results_;
  std::vector<PyRef> keys_;
};

// One tuple of the shown names' texts per vector, appended to a list.
class TupleSink final : public VectorSink {
 public:
  TupleSink(PyObject* results, ShownGroups groups)
      : results_(results), groups_(std::move(groups)) {}
  bool take(std::size_t, std::span<const BitBusValue> values) override {
    PyRef tuple = PyRef::steal(grouped_tuple(values, groups_));
    return tuple && PyList_Append(results_, tuple.get()) == 0;
  }

 private:
  PyObject* results_;
  ShownGroups groups_;
};

// Passes vectors on to `sink` as vectors `offset` on: the pieces of one run.
class OffsetSink final : public VectorSink {
 public:
  OffsetSink(VectorSink& sink, std::size_t offset) : sink_(sink), offset_(offset) {}
  bool takes_blocks() const override { return sink_.takes_blocks(); }
  void take_block(std::size_t first, std::size_t count, const ShownLanes& values) override {
    sink_.take_block(offset_ + first, count, values);
  }
  bool take(std::size_t vector, std::span<const BitBusValue> values) override {
    return sink_.take(offset_ + vector, values);
  }

 private:
  VectorSink& sink_;
  std::size_t offset_;
};

// How one column of a text row shows its value: the texts of `busses`
// consecutive shown busses joined (element 0 first), as they are or, for a
// value of more than one bit, as a number in `radix` right-aligned to `pad`
// characters.
struct ColumnForm {
  std::size_t busses = 1;
  std::optional<Radix> radix;  // none: the bits as they are
  std::size_t pad = 0;
};

// One text row per vector: fragments[0], the step number (right-aligned to
// `step_width`), fragments[1], the first column, fragments[2], ... and the
// last fragment after the last column. Without column forms, each shown bus
// is a column of its bits.
class TextSink final : public VectorSink {
 public:
  TextSink(std::string& text, std::size_t first_step, std::size_t step_width,
           std::vector<std::string> fragments, std::vector<ColumnForm> forms)
      : text_(text),
        first_step_(first_step),
        step_width_(step_width),
        fragments_(std::move(fragments)),
        forms_(std::move(forms)) {
    text_.clear();
  }

  bool take(std::size_t vector, std::span<const BitBusValue> values) override;
  bool takes_blocks() const override { return true; }
  void take_block(std::size_t first, std::size_t count, const ShownLanes& values) override;
  const std::string& text() const noexcept { return text_; }

 private:
  void begin_row(std::size_t vector) {
    text_ += fragments_[0];
    const std::string step = std::to_string(first_step_ + vector);
    if (step.size() < step_width_) text_.append(step_width_ - step.size(), ' ');
    text_ += step;
    text_ += fragments_[1];
  }

  std::string& text_;  // kept by the simulator, so its storage is reused
  std::size_t first_step_;
  std::size_t step_width_;
  std::vector<std::string> fragments_;
  std::vector<ColumnForm> forms_;
  BitBusValue joined_;                    // a number column's busses side by side
  std::vector<const Word*> columns_;      // a block's lane words of each shown bit
  std::vector<std::size_t> column_ends_;  // of each column in columns_
};

// Writes the bits of `values` from `row` as 0/1 bytes, each value in a
// column of `widths`; false, with the value's index in `changed`, when a
// value's width is not its column's.
inline bool write_bit_row(std::uint8_t* row, std::span<const BitBusValue> values,
                          std::span<const std::size_t> widths,
                          std::optional<std::size_t>& changed) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].width() != widths[i]) {
      changed = i;
      return false;
    }
    for (std::size_t b = 0; b < widths[i]; ++b) *row++ = values[i].bit(b) ? 1 : 0;
  }
  return true;
}

// One row of 0/1 bytes per vector: the shown busses' bits side by side.
class ByteSink final : public VectorSink {
 public:
  explicit ByteSink(std::size_t rows) : rows_(rows) {}
  bool take(std::size_t vector, std::span<const BitBusValue> values) override {
    if (widths_.empty() && !values.empty()) {
      std::vector<std::size_t> widths;
      for (const BitBusValue& value : values) widths.push_back(value.width());
      set_widths(widths);
    }
    return write_bit_row(bytes_.data() + vector * columns_, values, widths_, changed_width_);
  }
  bool takes_blocks() const override { return true; }
  void take_block(std::size_t first, std::size_t count, const ShownLanes& values) override {
    if (widths_.empty() && shown_ != 0) {
      std::vector<std::size_t> widths;
      for (std::size_t i = 0; i < shown_; ++i) widths.push_back(values.width(i));
      set_widths(widths);
    }
    // Column by column: the bits of one signal for every vector of the block.
    std::size_t column = 0;
    for (std::size_t i = 0; i < widths_.size(); ++i) {
      for (std::size_t b = 0; b < widths_[i]; ++b, ++column) {
        const Word* lanes = values.lanes(i, b);
        std::uint8_t* out = bytes_.data() + first * columns_ + column;
        for (std::size_t lane = 0; lane < count; ++lane) {
          out[lane * columns_] = static_cast<std::uint8_t>((lanes[lane / 64] >> (lane % 64)) & 1U);
        }
      }
    }
  }
  void expect(std::size_t shown) noexcept { shown_ = shown; }
  // The columns of a row: known once a vector was taken.
  std::size_t columns() const noexcept { return columns_; }
  std::vector<std::uint8_t> take_bytes() noexcept { return std::move(bytes_); }
  std::optional<std::size_t> changed_width() const noexcept { return changed_width_; }

 private:
  void set_widths(const std::vector<std::size_t>& widths) {
    widths_ = widths;
    columns_ = 0;
    for (const std::size_t width : widths) columns_ += width;
    bytes_.assign(rows_ * columns_, 0);
  }

  std::size_t rows_;
  std::size_t shown_ = 0;
  std::vector<std::size_t> widths_;
  std::size_t columns_ = 0;
  std::vector<std::uint8_t> bytes_;
  std::optional<std::size_t> changed_width_;
};

// One list of tuples of the shown names' texts per sequence.
class SequenceTupleSink final : public SequenceSink {
 public:
  // One list per sequence (borrowed); `shown` values per step, joined by
  // `groups`.
  SequenceTupleSink(std::vector<PyObject*> lists, std::size_t shown, ShownGroups groups)
      : lists_(std::move(lists)), row_(shown), groups_(std::move(groups)) {}
  bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                 const ShownLanes& values) override;
  bool take(std::size_t sequence, std::size_t step, std::span<const BitBusValue> values) override;

 private:
  std::vector<PyObject*> lists_;
  std::vector<BitBusValue> row_;
  ShownGroups groups_;
};

// A sink that makes Python objects, in a call that let go of the
// interpreter: takes it back before its first step.
class HeldSequenceSink final : public SequenceSink {
 public:
  HeldSequenceSink(SequenceSink& sink, ReleasedInterpreter& released)
      : sink_(sink), released_(released) {}
  bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                 const ShownLanes& values) override {
    released_.retake();
    return sink_.take_step(first, step, live, values);
  }
  bool take(std::size_t sequence, std::size_t step, std::span<const BitBusValue> values) override {
    released_.retake();
    return sink_.take(sequence, step, values);
  }

 private:
  SequenceSink& sink_;
  ReleasedInterpreter& released_;
};

// Rows of 0/1 bytes: sequence s, step t at bytes[(s * steps + t) * columns].
class SequenceByteSink final : public SequenceSink {
 public:
  SequenceByteSink(std::size_t sequences, std::size_t steps, std::vector<std::size_t> widths);
  bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                 const ShownLanes& values) override;
  bool take(std::size_t sequence, std::size_t step, std::span<const BitBusValue> values) override;
  bool takes_concurrently() const override { return true; }
  std::size_t columns() const noexcept { return columns_; }
  std::vector<std::uint8_t> take_bytes() noexcept { return std::move(bytes_); }
  // The shown bus whose width changed (in a run without lanes), if one did.
  std::optional<std::size_t> changed_width() const noexcept { return changed_width_; }

 private:
  std::size_t steps_;
  std::vector<std::size_t> widths_;
  std::size_t columns_ = 0;
  std::vector<std::uint8_t> bytes_;
  std::optional<std::size_t> changed_width_;
};

// Reads the layout argument of run_jsonl, (first_step, step_width,
// fragments[, columns]) into `sink`, which writes into `text`: columns, a
// sequence of (names, radix, pad) (radix None, "bin", "hex" or "dec") whose
// names add up to the shown names, one column per shown name without it,
// and two fragments more than columns. `shown` values are shown, joined
// into names by `groups`. False with an exception set.
bool layout_argument(PyObject* layout, std::size_t shown, const ShownGroups& groups,
                     std::string& text, std::optional<TextSink>& sink);

}  // namespace nimbo::py
