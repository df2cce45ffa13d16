#include "lib/arguments.hpp"

namespace nimbo::py {
namespace {

const char* type_name(PyObject* object) {
  return Py_TYPE(object)->tp_name;
}

bool is_parameter_name(const Parameter& parameter, PyObject* keyword) {
  return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameter.name) == 0;
}

// Checks one keyword against the parameter; false with TypeError set.
bool accept_keyword(const Parameter& parameter, PyObject* keyword, Py_ssize_t nargs) {
  if (!is_parameter_name(parameter, keyword)) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 parameter.function, keyword);
    return false;
  }
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", parameter.function,
                 parameter.name);
    return false;
  }
  return true;
}

bool check_positional_count(const Parameter& parameter, Py_ssize_t nargs) {
  if (nargs <= 1) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
               parameter.function, nargs);
  return false;
}

PyObject* missing(const Parameter& parameter) {
  PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
               parameter.function, parameter.name);
  return nullptr;
}

bool set_wrong_type(const Parameter& parameter, const char* expected, PyObject* object) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected '%s', got '%s'", parameter.name, expected,
               type_name(object));
  return false;
}

}  // namespace

PyObject* single_argument(const Parameter& parameter, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(parameter, nargs)) return nullptr;
  PyObject* found = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!accept_keyword(parameter, keyword, nargs)) return nullptr;
      found = value;
    }
  }
  return found != nullptr ? found : missing(parameter);
}

PyObject* single_argument(const Parameter& parameter, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!check_positional_count(parameter, nargs)) return nullptr;
  PyObject* found = nargs == 1 ? args[0] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!accept_keyword(parameter, PyTuple_GET_ITEM(kwnames, i), nargs)) return nullptr;
      found = args[nargs + i];
    }
  }
  return found != nullptr ? found : missing(parameter);
}

std::optional<std::string_view> utf8_argument(const Parameter& parameter, PyObject* object) {
  if (!PyUnicode_Check(object)) {
    set_wrong_type(parameter, "str", object);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<std::vector<std::string>> utf8_texts(PyObject* object, const char* not_a_sequence,
                                                   const char* not_a_str) {
  PyRef sequence = PyRef::steal(PySequence_Fast(object, not_a_sequence));
  if (!sequence) return std::nullopt;
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, not_a_str);
      return std::nullopt;
    }
    texts.emplace_back(text, static_cast<std::size_t>(size));
  }
  return texts;
}

std::string argument_place(const Parameter& parameter) {
  return std::string("argument '") + parameter.name + "'";
}

std::optional<SignalInputs> signal_inputs_argument(std::string_view place, PyObject* object) {
  const std::string where(place);
  if (!PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s: expected 'dict', got '%s'", where.c_str(),
                 type_name(object));
    return std::nullopt;
  }
  // First take strong references to every entry, so that nothing that runs
  // during the conversion (a finaliser started by an allocation) can free a
  // str whose text is already in use.
  SignalInputs converted;
  const Py_ssize_t size = PyDict_Size(object);
  converted.owners.reserve(static_cast<std::size_t>(size) * 2);
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(object, &position, &key, &value)) {
    converted.owners.push_back(PyRef::borrow(key));
    converted.owners.push_back(PyRef::borrow(value));
  }
  converted.inputs.reserve(converted.owners.size() / 2);
  for (std::size_t i = 0; i < converted.owners.size(); i += 2) {
    PyObject* entry_key = converted.owners[i].get();
    PyObject* entry_value = converted.owners[i + 1].get();
    if (!PyUnicode_Check(entry_key)) {
      PyErr_Format(PyExc_TypeError, "%s: expected 'str' key, got '%s'", where.c_str(),
                   type_name(entry_key));
      return std::nullopt;
    }
    if (!PyUnicode_Check(entry_value)) {
      PyErr_Format(PyExc_TypeError, "%s: expected 'str' value for key %R, got '%s'", where.c_str(),
                   entry_key, type_name(entry_value));
      return std::nullopt;
    }
    Py_ssize_t id_size = 0;
    const char* id = PyUnicode_AsUTF8AndSize(entry_key, &id_size);
    if (id == nullptr) return std::nullopt;
    Py_ssize_t bits_size = 0;
    const char* bits = PyUnicode_AsUTF8AndSize(entry_value, &bits_size);
    if (bits == nullptr) return std::nullopt;
    converted.inputs.push_back({std::string_view(id, static_cast<std::size_t>(id_size)),
                                std::string_view(bits, static_cast<std::size_t>(bits_size))});
  }
  return converted;
}

}  // namespace nimbo::py
