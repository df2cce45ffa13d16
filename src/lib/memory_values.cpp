#include "lib/memory_values.hpp"

#include <string>

#include "busses/bit_bus_value.hpp"
#include "lib/py_ref.hpp"

namespace nimbo::py {
namespace {

// The int of one word's units, most significant unit first into the sum.
PyObject* word_int(const Word* units, std::size_t stride) {
  if (stride == 1) return PyLong_FromUnsignedLongLong(units[0]);
  PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(units[stride - 1]));
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!value || !shift) return nullptr;
  for (std::size_t u = stride - 1; u-- > 0;) {
    PyRef shifted = PyRef::steal(PyNumber_Lshift(value.get(), shift.get()));
    PyRef low = PyRef::steal(PyLong_FromUnsignedLongLong(units[u]));
    if (!shifted || !low) return nullptr;
    value = PyRef::steal(PyNumber_Or(shifted.get(), low.get()));
    if (!value) return nullptr;
  }
  return value.release();
}

void raise_too_wide(const Memory& memory, std::size_t index, PyObject* word) {
  std::string range = "0 to 2**" + std::to_string(memory.width) + " - 1";
  if (memory.width < 64) range = "0 to " + std::to_string((Word{1} << memory.width) - 1);
  PyErr_Format(PyExc_ValueError, "memory '%s': word %zu (%R) does not fit in %zu bits (%s)",
               memory.name.c_str(), index, word, memory.width, range.c_str());
}

// The units of one int word into `out` (stride units); false with an
// exception set.
bool word_units(const Memory& memory, std::size_t index, PyObject* word, Word* out) {
  if (!PyLong_Check(word)) {
    PyErr_Format(PyExc_TypeError, "memory '%s': word %zu is a %s, not an int", memory.name.c_str(),
                 index, Py_TYPE(word)->tp_name);
    return false;
  }
  const Word tail = BitBusValue::tail_mask(memory.width);
  if (memory.stride == 1) {
    // Negative ints and ints past 64 bits overflow here.
    out[0] = PyLong_AsUnsignedLongLong(word);
    if (out[0] == static_cast<Word>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      raise_too_wide(memory, index, word);
      return false;
    }
    if ((out[0] & ~tail) == 0) return true;
    raise_too_wide(memory, index, word);
    return false;
  }
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  if (!zero) return false;
  const int negative = PyObject_RichCompareBool(word, zero.get(), Py_LT);
  if (negative < 0) return false;
  if (negative == 1) {
    raise_too_wide(memory, index, word);
    return false;
  }
  PyRef rest = PyRef::borrow(word);
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!shift) return false;
  for (std::size_t u = 0; u < memory.stride; ++u) {
    out[u] = PyLong_AsUnsignedLongLongMask(rest.get());
    if (out[u] == static_cast<Word>(-1) && PyErr_Occurred()) return false;
    rest = PyRef::steal(PyNumber_Rshift(rest.get(), shift.get()));
    if (!rest) return false;
  }
  const int beyond = PyObject_IsTrue(rest.get());
  if (beyond < 0) return false;
  if (beyond == 1 || (out[memory.stride - 1] & ~tail) != 0) {
    raise_too_wide(memory, index, word);
    return false;
  }
  return true;
}

}  // namespace

PyObject* words_list(const Memory& memory, std::span<const Word> units) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(memory.words)));
  if (!list) return nullptr;
  for (std::uint64_t w = 0; w < memory.words; ++w) {
    PyObject* word = word_int(units.data() + w * memory.stride, memory.stride);
    if (word == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(w), word);
  }
  return list.release();
}

std::optional<std::vector<Word>> words_units(const Memory& memory, PyObject* words) {
  if (PyUnicode_Check(words) || PyBytes_Check(words) || PyByteArray_Check(words)) {
    PyErr_Format(PyExc_TypeError, "memory '%s': expected a sequence of ints, not %s",
                 memory.name.c_str(), Py_TYPE(words)->tp_name);
    return std::nullopt;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(words, "expected a sequence of ints"));
  if (!sequence) return std::nullopt;
  const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
  if (count > memory.words) {
    PyErr_Format(PyExc_ValueError, "memory '%s' has %llu words; %zu given", memory.name.c_str(),
                 static_cast<unsigned long long>(memory.words), count);
    return std::nullopt;
  }
  std::vector<Word> units(memory.words * memory.stride, 0);
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* word = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i));
    if (!word_units(memory, i, word, units.data() + i * memory.stride)) return std::nullopt;
  }
  return units;
}

}  // namespace nimbo::py
