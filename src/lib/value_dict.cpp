#include "lib/value_dict.hpp"

#include <optional>

#include "lib/fault.hpp"
#include "lib/interpreter.hpp"

namespace nimbo::py {
namespace {

PyObject* g_zero = nullptr;
PyObject* g_one = nullptr;

// The text of a value wider or narrower than one bit, as a new str.
PyObject* new_value_text(const BitBusValue& value) {
  const std::size_t width = value.width();
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(width), 127);
  if (text == nullptr) fail_api_call();
  if (width != 0) value.write_text(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
  return text;
}

// Marks a BusKeys as being read for the duration of one read.
class ReadingGuard {
 public:
  explicit ReadingGuard(bool& reading) noexcept : reading_(reading) { reading_ = true; }
  ~ReadingGuard() { reading_ = false; }
  ReadingGuard(const ReadingGuard&) = delete;
  ReadingGuard& operator=(const ReadingGuard&) = delete;

 private:
  bool& reading_;
};

}  // namespace

bool init_value_texts() {
  if (g_zero == nullptr) g_zero = PyUnicode_FromStringAndSize("0", 1);
  if (g_one == nullptr) g_one = PyUnicode_FromStringAndSize("1", 1);
  return g_zero != nullptr && g_one != nullptr;
}

PyObject* shared_bit_text(bool one) {
  return Py_NewRef(one ? g_one : g_zero);
}

std::vector<std::string> copy_bus_ids(const Component& component) {
  const BusTable& table = component.busses();
  std::vector<std::string> ids;
  ids.reserve(table.size());
  for (std::size_t position = 0; position < table.size(); ++position) {
    ids.push_back(table.id(position));
  }
  return ids;
}

bool BusKeys::build(const std::vector<std::string>& ids, const UpdateControl& control) {
  PyRef keys = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
  if (!keys) fail_api_call();
  PyRef dict = PyRef::steal(PyDict_New());
  PyRef positions = PyRef::steal(PyDict_New());
  if (!dict || !positions) fail_api_call();
  for (std::size_t position = 0; position < ids.size(); ++position) {
    const std::string& id = ids[position];
    PyObject* key = PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()));
    if (key == nullptr) fail_api_call();
    PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(position), key);
    PyRef number = PyRef::steal(PyLong_FromSize_t(position));
    if (!number) fail_api_call();
    if (PyDict_SetItem(dict.get(), key, Py_None) < 0 ||
        PyDict_SetItem(positions.get(), key, number.get()) < 0) {
      fail_api_call();
    }
    if (control.poll(1)) {
      raise_interrupt();
      return false;
    }
  }
  // A finaliser run by an allocation above, or another thread while this
  // one let it run, may have built the cache already.
  if (ready()) return true;
  keys_ = std::move(keys);
  template_ = std::move(dict);
  positions_ = std::move(positions);
  return true;
}

BusKeys::Lookup BusKeys::find(PyObject* id, std::uint32_t& position) const {
  if (!PyUnicode_CheckExact(id)) return Lookup::kByText;
  PyObject* found = PyDict_GetItemWithError(positions_.get(), id);
  if (found != nullptr) {
    position = static_cast<std::uint32_t>(PyLong_AsSize_t(found));
    return Lookup::kFound;
  }
  if (PyErr_Occurred() != nullptr) return Lookup::kError;
  // No bus has this id; it must still be valid UTF-8, as any id must.
  Py_ssize_t size = 0;
  return PyUnicode_AsUTF8AndSize(id, &size) == nullptr ? Lookup::kError : Lookup::kAbsent;
}

PyObject* BusKeys::value_text(std::size_t position, const BitBusValue& value, bool use_cache) {
  if (value.width() == 1) {
    PyObject* shared = (value.narrow_word() & 1U) != 0 ? g_one : g_zero;
    Py_INCREF(shared);
    return shared;
  }
  if (!use_cache) return new_value_text(value);
  if (shown_texts_.empty()) {
    shown_values_.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(keys_.get())));
    shown_texts_.resize(shown_values_.size());
  }
  PyRef& shown = shown_texts_[position];
  if (!shown || !(shown_values_[position] == value)) {
    PyRef text = PyRef::steal(new_value_text(value));
    shown_values_[position] = value;
    shown = std::move(text);
  }
  Py_INCREF(shown.get());
  return shown.get();
}

PyObject* BusKeys::make_dict(std::span<const BitBusValue> values) {
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(keys_.get()));
  if (count != values.size()) throw Fault("bus table changed size while its handle was alive");
  const bool use_cache = !reading_;
  std::optional<ReadingGuard> guard;
  if (use_cache) guard.emplace(reading_);
  PyRef dict = PyRef::steal(PyDict_Copy(template_.get()));
  if (!dict) fail_api_call();
  for (std::size_t position = 0; position < count; ++position) {
    PyRef text = PyRef::steal(value_text(position, values[position], use_cache));
    PyObject* key = PyTuple_GET_ITEM(keys_.get(), static_cast<Py_ssize_t>(position));
    if (PyDict_SetItem(dict.get(), key, text.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace nimbo::py
