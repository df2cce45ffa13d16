#include "lib/number_functions.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "busses/number_text.hpp"
#include "lib/fault.hpp"
#include "lib/py_ref.hpp"
#include "lib/py_text.hpp"

namespace nimbo::py {
namespace {

// The text a value argument stands for: a str as it is, an int as a number
// (bool is refused: True is not a number a user means).
std::optional<std::string> value_argument(PyObject* value) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
  }
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    // In hex ("0x1f", "-0x1f"), which can never read as a bit string.
    PyRef digits = PyRef::steal(PyNumber_ToBase(value, 16));
    if (!digits) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(digits.get(), &size);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Format(PyExc_TypeError, "a value is a str or an int, not '%s'", Py_TYPE(value)->tp_name);
  return std::nullopt;
}

PyObject* parse_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "parse_value(value, width) takes two arguments");
      return nullptr;
    }
    const std::optional<std::string> text = value_argument(args[0]);
    if (!text) return nullptr;
    const Py_ssize_t width = PyLong_AsSsize_t(args[1]);
    if (width < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "width must not be negative");
      return nullptr;
    }
    Result<BitBusValue> value = parse_number_text(*text, static_cast<std::size_t>(width));
    if (!value.ok()) return raise_error(PyExc_ValueError, value.error());
    return new_str(value.value().to_string());
  });
}

PyObject* format_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError,
                      "format_value(bits, radix) takes a bit string and 'bin', 'hex' or 'dec'");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* bits = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (bits == nullptr) return nullptr;
    const char* radix_name = PyUnicode_AsUTF8(args[1]);
    if (radix_name == nullptr) return nullptr;
    const std::string_view radix_text(radix_name);
    Radix radix = Radix::kHex;
    if (radix_text == "bin") {
      radix = Radix::kBinary;
    } else if (radix_text == "dec") {
      radix = Radix::kDecimal;
    } else if (radix_text != "hex") {
      PyErr_Format(PyExc_ValueError, "radix must be 'bin', 'hex' or 'dec', not %R", args[1]);
      return nullptr;
    }
    Result<BitBusValue> value =
        BitBusValue::from_string(std::string_view(bits, static_cast<std::size_t>(size)));
    if (!value.ok()) return raise_error(PyExc_ValueError, value.error());
    return new_str(format_number(value.value(), radix));
  });
}

}  // namespace

PyMethodDef number_functions[] = {
    {"parse_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_value)),
     METH_FASTCALL,
     "parse_value(value, width)\n--\n\n"
     "The bit string (element 0 first) of a value for a bus or port of width bits: a bit\n"
     "string of that width, an int, or a number as text (5, -3, 0x52e6, 0b1010, 16'h52e6)."},
    {"format_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_value)),
     METH_FASTCALL,
     "format_value(bits, radix)\n--\n\n"
     "A bit string (element 0 first) as a number in radix 'bin' (0b0101), 'hex' (0x5) or\n"
     "'dec' (5); a 1-bit value is 0 or 1 in every radix."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace nimbo::py
