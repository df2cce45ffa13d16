#include "lib/component_type.hpp"

#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "lib/arguments.hpp"
#include "lib/component_store.hpp"
#include "lib/fault.hpp"
#include "lib/in_object.hpp"
#include "lib/interpreter.hpp"
#include "lib/py_text.hpp"
#include "lib/unraisable.hpp"
#include "lib/value_dict.hpp"

namespace nimbo::py {
namespace {

struct Handle {
  std::string id;
  ComponentStore::Key key;
  BusKeys bus_keys;  // built on the first read or update
};

struct ComponentObject {
  PyObject_HEAD InObject<Handle> handle;
};

Handle& handle_of(PyObject* self) {
  return reinterpret_cast<ComponentObject*>(self)->handle.get();
}

constexpr Parameter kUpdateSignals{"Component.update_signals", "new_values"};
constexpr Parameter kUpdateAndGet{"Component.update_and_get", "new_values"};

PyObject* raise_not_found() {
  PyErr_SetString(PyExc_RuntimeError, "Component not found");
  return nullptr;
}

// What a read takes out of the component under the store lock.
struct ValuesCopy {
  std::vector<BitBusValue> values;
  std::vector<std::string> ids;  // only while the handle has no key cache
};

ValuesCopy copy_values(Simulation& simulation, const Handle& handle) {
  ValuesCopy copy;
  copy.values = simulation.snapshot();
  if (!handle.bus_keys.ready()) copy.ids = copy_bus_ids(simulation.model());
  return copy;
}

// Turns a copy into the value dictionary (after the store lock is released).
PyObject* values_to_dict(Handle& handle, const ValuesCopy& copy) {
  if (!handle.bus_keys.ready() && !handle.bus_keys.build(copy.ids, call_control())) return nullptr;
  return handle.bus_keys.make_dict(copy.values);
}

PyObject* read_values(PyObject* self) {
  Handle& handle = handle_of(self);
  std::optional<ValuesCopy> copy;
  const bool found = ComponentStore::instance().with_component(
      handle.key, [&](Simulation& simulation) { copy = copy_values(simulation, handle); });
  if (!found) return raise_not_found();
  return values_to_dict(handle, *copy);
}

PyObject* component_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Component");
  return nullptr;
}

void component_dealloc(PyObject* self) {
  PendingErrorKeeper keep_pending;
  PyTypeObject* type = Py_TYPE(self);
  Handle& handle = handle_of(self);
  try {
    // Destroyed here, after take() has released the store lock.
    std::optional<Simulation> released = ComponentStore::instance().take(handle.key);
  } catch (const std::exception& fault) {
    report_unraisable(nullptr, fault.what(), reinterpret_cast<PyObject*>(type));
  }
  reinterpret_cast<ComponentObject*>(self)->handle.destroy();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* component_text(PyObject* self) {
  return entry([&]() -> PyObject* {
    std::string text;
    const bool found = ComponentStore::instance().with_component(
        handle_of(self).key, [&](Simulation& simulation) { text = simulation.to_string(); });
    if (!found) return raise_not_found();
    return new_str(text);
  });
}

PyObject* get_id(PyObject* self, void*) {
  return entry([&] { return new_str(handle_of(self).id); });
}

PyObject* get_busses(PyObject* self, void*) {
  return entry([&] { return read_values(self); });
}

PyObject* get_values(PyObject* self, PyObject*) {
  return entry([&] { return read_values(self); });
}

// The handle's bus keys, built from the component's ids on first need.
// False with an exception set.
bool ensure_keys(Handle& handle) {
  if (handle.bus_keys.ready()) return true;
  std::vector<std::string> ids;
  const bool found = ComponentStore::instance().with_component(
      handle.key, [&](const Simulation& simulation) { ids = copy_bus_ids(simulation.model()); });
  if (!found) {
    raise_not_found();
    return false;
  }
  return handle.bus_keys.build(ids, call_control());
}

// An input whose bus is known by position, or (for a str subclass key) by id.
constexpr std::uint32_t kById = std::numeric_limits<std::uint32_t>::max();

// update_signals and update_and_get: convert new_values, update the stored
// component and, for update_and_get, copy its values in the same lock hold.
// Keys find their bus through the handle's BusKeys; subclass keys by their
// text, under the lock.
PyObject* update(const Parameter& parameter, bool read_back, PyObject* self, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* argument = single_argument(parameter, args, nargs, kwnames);
    if (argument == nullptr) return nullptr;
    std::optional<SignalInputs> inputs =
        signal_inputs_argument(argument_place(parameter), argument);
    if (!inputs) return nullptr;
    Handle& handle = handle_of(self);
    if (!inputs->inputs.empty() && !ensure_keys(handle)) return nullptr;
    std::vector<PositionInput> positions;
    std::vector<std::size_t> by_id;  // inputs[i] with a str subclass key
    positions.reserve(inputs->inputs.size());
    for (std::size_t i = 0; i < inputs->inputs.size(); ++i) {
      std::uint32_t position = 0;
      switch (handle.bus_keys.find(inputs->owners[2 * i].get(), position)) {
        case BusKeys::Lookup::kFound:
          positions.push_back({position, inputs->inputs[i].bits});
          break;
        case BusKeys::Lookup::kByText:
          positions.push_back({kById, inputs->inputs[i].bits});
          by_id.push_back(i);
          break;
        case BusKeys::Lookup::kAbsent:
          break;
        case BusKeys::Lookup::kError:
          return nullptr;
      }
    }
    std::optional<Status> status;
    std::optional<ValuesCopy> copy;
    const bool found =
        ComponentStore::instance().with_component(handle.key, [&](Simulation& simulation) {
          // Subclass keys are found by their text (their own __eq__ and
          // __hash__ play no part); absent ones are skipped.
          std::size_t kept = 0;
          std::size_t next_by_id = 0;
          for (PositionInput& input : positions) {
            if (input.position == kById) {
              const auto bus = simulation.find(inputs->inputs[by_id[next_by_id++]].id);
              if (!bus) continue;
              input.position = *bus;
            }
            positions[kept++] = input;
          }
          positions.resize(kept);
          status.emplace(simulation.update_positions(positions, interrupt_control()));
          if (read_back && status->ok()) copy = copy_values(simulation, handle);
        });
    if (!found) return raise_not_found();
    if (status->interrupted()) return raise_interrupt();
    if (!status->ok()) return raise_error(PyExc_RuntimeError, status->error());
    if (!read_back) Py_RETURN_NONE;
    return values_to_dict(handle, *copy);
  });
}

PyObject* update_signals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return update(kUpdateSignals, false, self, args, nargs, kwnames);
}

PyObject* update_and_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return update(kUpdateAndGet, true, self, args, nargs, kwnames);
}

PyMethodDef component_methods[] = {
    {"get_values", get_values, METH_NOARGS,
     "get_values($self)\n--\n\nRetorna todos os valores como dicionário"},
    {"update_signals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_signals)),
     METH_FASTCALL | METH_KEYWORDS,
     "update_signals($self, new_values)\n--\n\nAtualiza sinais com novos valores e estabiliza"},
    {"update_and_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_and_get)),
     METH_FASTCALL | METH_KEYWORDS,
     "update_and_get($self, new_values)\n--\n\nAtualiza e retorna valores em uma chamada"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef component_getset[] = {
    {"id_", get_id, nullptr, "Propriedade id_", nullptr},
    {"busses", get_busses, nullptr, "Propriedade busses - retorna Dict[str, str] com valores",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot component_slots[] = {
    {Py_tp_doc, const_cast<char*>("Wrapper PyClass LEVE - só guarda o ID do componente\n"
                                  "O componente real fica no armazenamento global Kelo")},
    {Py_tp_new, reinterpret_cast<void*>(component_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(component_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(component_text)},
    {Py_tp_repr, reinterpret_cast<void*>(component_text)},
    {Py_tp_methods, component_methods},
    {Py_tp_getset, component_getset},
    {0, nullptr},
};

PyType_Spec component_spec = {
    "builtins.Component", static_cast<int>(sizeof(ComponentObject)), 0, Py_TPFLAGS_DEFAULT,
    component_slots,
};

PyObject* g_component_type = nullptr;

}  // namespace

PyObject* component_type() {
  if (g_component_type == nullptr) g_component_type = PyType_FromSpec(&component_spec);
  return g_component_type;
}

PyObject* make_component_handle(std::string id, std::uint64_t key) {
  PyObject* type = component_type();
  if (type == nullptr) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = type_object->tp_alloc(type_object, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ComponentObject*>(self)->handle.construct(Handle{std::move(id), key, {}});
  return self;
}

}  // namespace nimbo::py
