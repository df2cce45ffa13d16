#include "lib/vector_error.hpp"

#include "lib/py_ref.hpp"

namespace nimbo::py {

PyObject* vector_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "nimbo.VectorError",
        "A vector of a batch was refused or failed. Attributes: index (the vector's number\n"
        "in the call, or in its sequence), line (its line, for JSON Lines), bus (the bus at\n"
        "fault or None), reason (the simulator's message), results (what the vectors before\n"
        "it gave), sequence (the sequence's number for run_sequences, else None).",
        PyExc_RuntimeError, nullptr);
  }
  return type;
}

PyObject* raise_vector_error(const VectorFault& fault, std::size_t index,
                             std::optional<std::size_t> line, const std::optional<std::string>& id,
                             PyObject* results) {
  PyRef error = PyRef::steal(make_vector_error(fault, index, line, id, results));
  if (!error) return nullptr;
  PyErr_SetObject(vector_error_type(), error.get());
  return nullptr;
}

PyObject* make_vector_error(const VectorFault& fault, std::size_t index,
                            std::optional<std::size_t> line, const std::optional<std::string>& id,
                            PyObject* results, std::optional<std::size_t> sequence) {
  std::string message = sequence ? "sequence " + std::to_string(*sequence) + ", " : "";
  message += "vector " + std::to_string(index);
  if (line) message += " (line " + std::to_string(*line) + ")";
  if (id) message += ", bus '" + *id + "'";
  message += ": " + fault.message;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  PyRef error = PyRef::steal(PyObject_CallOneArg(vector_error_type(), text.get()));
  if (!error) return nullptr;
  PyRef index_object = PyRef::steal(PyLong_FromSize_t(index));
  PyRef line_object = line ? PyRef::steal(PyLong_FromSize_t(*line)) : PyRef::borrow(Py_None);
  PyRef bus = id ? PyRef::steal(PyUnicode_DecodeUTF8(
                       id->data(), static_cast<Py_ssize_t>(id->size()), "replace"))
                 : PyRef::borrow(Py_None);
  PyRef reason = PyRef::steal(PyUnicode_DecodeUTF8(
      fault.message.data(), static_cast<Py_ssize_t>(fault.message.size()), "replace"));
  PyRef sequence_object =
      sequence ? PyRef::steal(PyLong_FromSize_t(*sequence)) : PyRef::borrow(Py_None);
  if (!index_object || !line_object || !bus || !reason || !sequence_object) return nullptr;
  if (PyObject_SetAttrString(error.get(), "index", index_object.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "line", line_object.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "bus", bus.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "reason", reason.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "results", results) < 0 ||
      PyObject_SetAttrString(error.get(), "sequence", sequence_object.get()) < 0) {
    return nullptr;
  }
  return error.release();
}

}  // namespace nimbo::py
