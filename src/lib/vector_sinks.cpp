#include "lib/vector_sinks.hpp"

#include <algorithm>
#include <utility>

#include "lib/value_dict.hpp"

namespace nimbo::py {

PyObject* value_text(const BitBusValue& value) {
  if (value.width() == 1) return shared_bit_text(value.narrow_word() & 1U);
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(value.width()), 127);
  if (text == nullptr) return nullptr;
  if (value.width() != 0) value.write_text(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
  return text;
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
  PyRef sequence =
      PyRef::steal(PySequence_Fast(fragments, "argument 'layout': fragments must be a sequence"));
  if (!sequence) return false;
  if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get())) != shown + 2) {
    PyErr_Format(PyExc_ValueError, "argument 'layout': expected %zu fragments for %zu shown busses",
                 shown + 2, shown);
    return false;
  }
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "argument 'layout': fragments must be str");
      return false;
    }
    texts.emplace_back(text, static_cast<std::size_t>(size));
  }
  sink.emplace(text, static_cast<std::size_t>(std::max<Py_ssize_t>(first_step, 0)),
               static_cast<std::size_t>(std::max<Py_ssize_t>(step_width, 0)), std::move(texts));
  return true;
}

}  // namespace nimbo::py
