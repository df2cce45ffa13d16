#include "lib/py_text.hpp"

#include "lib/fault.hpp"
#include "lib/py_ref.hpp"

namespace nimbo::py {

PyObject* raise_error(PyObject* type, std::string_view message) noexcept {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* new_str(std::string_view text) {
  PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (result == nullptr) fail_api_call();
  return result;
}

}  // namespace nimbo::py
