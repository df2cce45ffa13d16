#include "lib/port_table.hpp"

#include <algorithm>
#include <string_view>

#include "engine/write_roles.hpp"
#include "lib/fault.hpp"

namespace nimbo::py {

PortTable::PortTable(SimulatorState& state) : state_(state) {
  if (!index_) fail_api_call();
  // What each bus is, as every write of inputs sees it (engine/write_roles.hpp).
  const std::vector<WriteRole> roles =
      write_roles(state.simulation.model(), state.simulation.registers());
  bus_roles_.reserve(roles.size());
  for (const WriteRole role : roles) {
    bus_roles_.push_back(role == WriteRole::kInput   ? PortRole::kInput
                         : role == WriteRole::kState ? PortRole::kState
                                                     : PortRole::kRead);
  }
}

bool PortTable::add_port(PyObject* name, std::vector<std::uint32_t> positions, std::string label,
                         bool input) {
  const Simulation& simulation = state_.simulation;
  TablePort port;
  port.name = PyRef::borrow(name);
  port.label = std::move(label);
  port.port.positions = std::move(positions);
  const auto all_state =
      std::all_of(port.port.positions.begin(), port.port.positions.end(),
                  [&](std::uint32_t position) { return bus_roles_[position] == PortRole::kState; });
  port.role = input ? PortRole::kInput : all_state ? PortRole::kState : PortRole::kRead;
  const VectorNames widths(
      [&simulation](std::uint32_t position) { return simulation.width(position); });
  port.width = widths.port_width(port.port);
  port.index = ports_.size();
  PyRef index = PyRef::steal(PyLong_FromSize_t(ports_.size()));
  if (!index || PyDict_SetItem(index_.get(), name, index.get()) < 0) return false;
  ports_.push_back(std::move(port));
  return true;
}

bool PortTable::add(PyObject* entries) {
  PyRef sequence = PyRef::steal(
      PySequence_Fast(entries, "expected a sequence of (name, bus ids, label, input) entries"));
  if (!sequence) return false;
  const Simulation& simulation = state_.simulation;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* entry = PySequence_Fast_GET_ITEM(sequence.get(), i);
    PyObject* name = nullptr;
    PyObject* ids = nullptr;
    const char* label = nullptr;
    int input = 0;
    if (!PyTuple_Check(entry) ||
        !PyArg_ParseTuple(entry, "UOsp:entry", &name, &ids, &label, &input)) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "an entry is a (name, bus ids, label, input) tuple");
      }
      return false;
    }
    const int known = PyDict_Contains(index_.get(), name);
    if (known < 0) return false;
    if (known == 1) continue;
    PyRef id_sequence = PyRef::steal(PySequence_Fast(ids, "bus ids are a sequence of str"));
    if (!id_sequence) return false;
    std::vector<std::uint32_t> positions;
    for (Py_ssize_t b = 0; b < PySequence_Fast_GET_SIZE(id_sequence.get()); ++b) {
      PyObject* id = PySequence_Fast_GET_ITEM(id_sequence.get(), b);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(id) ? PyUnicode_AsUTF8AndSize(id, &size) : nullptr;
      if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "bus ids are str");
        return false;
      }
      const auto position = simulation.find(std::string_view(text, static_cast<std::size_t>(size)));
      if (!position) {
        PyErr_Format(PyExc_ValueError, "%s names bus '%U', which does not exist", label, id);
        return false;
      }
      positions.push_back(*position);
    }
    if (positions.empty()) {
      PyErr_Format(PyExc_ValueError, "%s names no bus", label);
      return false;
    }
    if (!add_port(name, std::move(positions), label, input != 0)) return false;
  }
  return true;
}

const TablePort* PortTable::find(PyObject* name, bool& error) {
  error = false;
  PyObject* index = PyDict_GetItemWithError(index_.get(), name);
  if (index != nullptr) return &ports_[PyLong_AsSize_t(index)];
  if (PyErr_Occurred() || !PyUnicode_Check(name)) {
    error = PyErr_Occurred() != nullptr;
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    error = true;
    return nullptr;
  }
  const std::string_view id(text, static_cast<std::size_t>(size));
  const auto position = state_.simulation.find(id);
  if (!position) return nullptr;
  if (!add_port(name, {*position}, "bus '" + std::string(id) + "'",
                bus_roles_[*position] == PortRole::kInput)) {
    error = true;
    return nullptr;
  }
  return &ports_.back();
}

}  // namespace nimbo::py
