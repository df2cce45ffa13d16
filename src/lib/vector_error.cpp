#include "lib/vector_error.hpp"

#include "engine/messages.hpp"
#include "lib/py_ref.hpp"

namespace nimbo::py {

PyObject* vector_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "nimbo.VectorError",
        "A vector of a batch was refused or failed. Attributes: index (the vector's number\n"
        "in the call, or in its sequence), line (its line, for JSON Lines), bus (the bus, or\n"
        "with port True the port, at fault, or None), reason (the message), results (what\n"
        "the vectors before it gave), sequence (the sequence's number for run_sequences, else\n"
        "None), kind (why: 'json' not JSON, 'object' not an object, 'type' a value neither a\n"
        "string nor a whole number, 'value' a value that cannot be written there, 'input' a\n"
        "name that is no input where only inputs are written, 'run' the simulation refused\n"
        "or failed it), value and detail (for 'value': the value as written, and what is\n"
        "wrong with it, worded to follow it; for 'input': the value, and what the name is:\n"
        "'output', 'logic' or 'state'), number (the value is a\n"
        "JSON integer), unknown (run_jsonl: (line, id) of the ids before it that name\n"
        "nothing).",
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

namespace {

constexpr const char* kKinds[] = {"json", "object", "type", "value", "input"};

PyObject* text_or_none(const std::optional<std::string>& text) {
  if (!text) return Py_NewRef(Py_None);
  return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
}

// Sets the attributes that say why: `kind`, `value`, `detail`, `number`,
// `port`, and an empty `unknown`.
bool set_refusal(PyObject* error, const char* kind, const std::optional<std::string>& value,
                 const std::optional<std::string>& detail, bool number, bool port) {
  PyRef kind_object = PyRef::steal(PyUnicode_FromString(kind));
  PyRef value_object = PyRef::steal(text_or_none(value));
  PyRef detail_object = PyRef::steal(text_or_none(detail));
  PyRef unknown = PyRef::steal(PyList_New(0));
  if (!kind_object || !value_object || !detail_object || !unknown) return false;
  return PyObject_SetAttrString(error, "kind", kind_object.get()) == 0 &&
         PyObject_SetAttrString(error, "value", value_object.get()) == 0 &&
         PyObject_SetAttrString(error, "detail", detail_object.get()) == 0 &&
         PyObject_SetAttrString(error, "number", number ? Py_True : Py_False) == 0 &&
         PyObject_SetAttrString(error, "port", port ? Py_True : Py_False) == 0 &&
         PyObject_SetAttrString(error, "unknown", unknown.get()) == 0;
}

PyObject* new_vector_error(const VectorFault& fault, std::size_t index,
                           std::optional<std::size_t> line, const std::optional<std::string>& id,
                           PyObject* results, std::optional<std::size_t> sequence) {
  std::string message = sequence ? "sequence " + std::to_string(*sequence) + ", " : "";
  message += "vector " + std::to_string(index);
  if (line) message += " (line " + std::to_string(*line) + ")";
  if (id) message += ", bus '" + *id + "'";
  const std::string reason_text = messages::with_detail(fault.message, fault.detail);
  message += ": " + reason_text;
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
      reason_text.data(), static_cast<Py_ssize_t>(reason_text.size()), "replace"));
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

}  // namespace

PyObject* make_vector_error(const VectorFault& fault, std::size_t index,
                            std::optional<std::size_t> line, const std::optional<std::string>& id,
                            PyObject* results, std::optional<std::size_t> sequence) {
  PyRef error = PyRef::steal(new_vector_error(fault, index, line, id, results, sequence));
  if (!error || !set_refusal(error.get(), "run", std::nullopt, std::nullopt, false, false)) {
    return nullptr;
  }
  return error.release();
}

PyObject* make_line_error(const LineFault& fault, std::size_t index,
                          std::optional<std::size_t> line, PyObject* results,
                          std::optional<std::size_t> sequence) {
  const VectorFault as_fault{fault.vector, std::nullopt, fault.message};
  PyRef error = PyRef::steal(new_vector_error(as_fault, index, line, fault.id, results, sequence));
  if (!error) return nullptr;
  const bool valued = fault.kind == LineRefusal::kValue || fault.kind == LineRefusal::kNotInput;
  if (!set_refusal(error.get(), kKinds[static_cast<std::size_t>(fault.kind)],
                   valued ? std::optional<std::string>(fault.value) : std::nullopt,
                   valued ? std::optional<std::string>(fault.detail) : std::nullopt, fault.integer,
                   fault.port)) {
    return nullptr;
  }
  return error.release();
}

}  // namespace nimbo::py
