// nimbo._engine.Testbench: a Simulator driven through named ports with
// Python ints, the native path of nimbo.Design. A call converts every value
// before it writes any (a refused call writes nothing), writes only what its
// role allows, runs the update or step, and reads the output ports straight
// into ints: no bit strings go through Python.
#include "lib/testbench_type.hpp"

#include <optional>
#include <string>
#include <vector>

#include "engine/messages.hpp"
#include "lib/arguments.hpp"
#include "lib/fault.hpp"
#include "lib/in_object.hpp"
#include "lib/interpreter.hpp"
#include "lib/port_table.hpp"
#include "lib/port_values.hpp"
#include "lib/py_ref.hpp"
#include "lib/py_text.hpp"
#include "lib/simulator_state.hpp"
#include "lib/testbench_state.hpp"

namespace nimbo::py {
namespace {

struct TestbenchObject {
  PyObject_HEAD InObject<TestbenchState> state;
};

TestbenchState& bench_of(PyObject* self) {
  return reinterpret_cast<TestbenchObject*>(self)->state.get();
}

// The calls that write, and what each may write.
enum class Call { kStep, kSettle, kPoke };

PortRole role_of(Call call) {
  return call == Call::kPoke ? PortRole::kState : PortRole::kInput;
}

// Converts the values of `given` (a dict of name to value) into bench.given
// and bench.texts. A name that is no str or that the call may not write
// raises KeyError(name), for nimbo.Design to word; `other` (a dict or null)
// is the other source of the same call, whose names may not come again.
bool convert_values(TestbenchState& bench, PyObject* given, PyObject* other, Call call) {
  Py_ssize_t at = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(given, &at, &name, &value)) {
    bool error = false;
    const TablePort* port = bench.table.find(name, error);
    if (error) return false;
    if (port == nullptr || port->role != role_of(call)) {
      PyErr_SetObject(PyExc_KeyError, name);
      return false;
    }
    if (other != nullptr) {
      const int twice = PyDict_Contains(other, name);
      if (twice < 0) return false;
      if (twice == 1) {
        PyErr_Format(PyExc_TypeError, "%s %R is given twice, in the mapping and by keyword",
                     call == Call::kPoke ? "state" : "input", name);
        return false;
      }
    }
    if (!value_words(value, port->width, {{}, port->label}, bench.words)) return false;
    bench.given.emplace_back(port, bench.texts.size());
    append_bit_text(bench.words.data(), port->width, bench.texts);
  }
  return true;
}

// A new dict of every output port's value as an unsigned int.
PyObject* output_values(TestbenchState& bench) {
  Simulation& simulation = bench.state->simulation;
  bench.values.resize(bench.output_positions.size());
  simulation.read_shown(bench.output_positions, bench.values);
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  std::size_t at = 0;
  for (const std::size_t index : bench.outputs) {
    const TablePort& port = bench.table.at(index);
    const std::size_t busses = port.port.positions.size();
    PyRef number;
    if (busses == 1) {
      number = PyRef::steal(int_of_words(bench.values[at].data(), bench.values[at].width()));
    } else {
      bench.words.assign(BitBusValue::words_for(busses), 0);
      for (std::size_t b = 0; b < busses; ++b) {
        if (bench.values[at + b].bit(0)) bench.words[b / 64] |= Word{1} << (b % 64);
      }
      number = PyRef::steal(int_of_words(bench.words.data(), busses));
    }
    at += busses;
    if (!number || PyDict_SetItem(result.get(), port.name.get(), number.get()) < 0) return nullptr;
  }
  return result.release();
}

// step(values, named), settle(values, named), poke(values, named): `values`
// None or a dict, `named` a dict.
PyObject* write_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, Call call) {
  return entry([&]() -> PyObject* {
    if (nargs != 2 || (args[0] != Py_None && !PyDict_Check(args[0])) || !PyDict_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError, "expected (values: dict | None, named: dict)");
      return nullptr;
    }
    TestbenchState& bench = bench_of(self);
    SimulatorState& state = *bench.state;
    const SimulatorCall lock(state);
    if (!lock) return nullptr;
    bench.given.clear();
    bench.texts.clear();
    PyObject* values = args[0] == Py_None ? nullptr : args[0];
    if (values != nullptr && !convert_values(bench, values, nullptr, call)) return nullptr;
    if (!convert_values(bench, args[1], values, call)) return nullptr;
    // The texts are complete: the writes may point into them.
    bench.writes.clear();
    for (std::size_t i = 0; i < bench.given.size(); ++i) {
      const auto [port, start] = bench.given[i];
      const std::string_view bits = std::string_view(bench.texts).substr(start, port->width);
      VectorNames::split(port->port, bits, [&](std::uint32_t position, std::string_view written) {
        bench.writes.push_back({position, written});
      });
    }
    Simulation& simulation = state.simulation;
    // A clock, in the simulation's words (a name of the table may hold one).
    if (auto refused = simulation.refused_step_input(bench.writes)) {
      return raise_error(PyExc_ValueError, refused->second.message);
    }
    const Status status = call == Call::kStep ? simulation.step(bench.writes, call_control())
                                              : simulation.update_positions(
                                                    bench.writes, call_control(), Resets::kApply);
    if (status.interrupted()) return raise_interrupt();
    if (!status.ok()) {
      // What kept changing, when the circuit did not settle, after nimbo.core's message.
      return raise_error(PyExc_RuntimeError,
                         messages::with_detail(status.error(), status.detail()));
    }
    if (call == Call::kPoke) Py_RETURN_NONE;
    return output_values(bench);
  });
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return write_call(self, args, nargs, Call::kStep);
}

PyObject* settle(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return write_call(self, args, nargs, Call::kSettle);
}

PyObject* poke(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return write_call(self, args, nargs, Call::kPoke);
}

// The value of the entry or bus named `name` as a new int; KeyError(name)
// when it is neither.
PyObject* read_one(TestbenchState& bench, PyObject* name, bool is_signed) {
  bool error = false;
  const TablePort* port = bench.table.find(name, error);
  if (error) return nullptr;
  if (port == nullptr) {
    PyErr_SetObject(PyExc_KeyError, name);
    return nullptr;
  }
  const std::vector<std::uint32_t>& positions = port->port.positions;
  bench.values.resize(positions.size());
  bench.state->simulation.read_shown(positions, bench.values);
  if (positions.size() == 1) {
    return signed_int_of_words(bench.values[0].data(), bench.values[0].width(), is_signed);
  }
  bench.words.assign(BitBusValue::words_for(positions.size()), 0);
  for (std::size_t b = 0; b < positions.size(); ++b) {
    if (bench.values[b].bit(0)) bench.words[b / 64] |= Word{1} << (b % 64);
  }
  return signed_int_of_words(bench.words.data(), positions.size(), is_signed);
}

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    if (nargs < 1 || nargs > 2) {
      PyErr_SetString(PyExc_TypeError, "read(name, signed=False) takes one or two arguments");
      return nullptr;
    }
    const int is_signed = nargs == 2 ? PyObject_IsTrue(args[1]) : 0;
    if (is_signed < 0) return nullptr;
    TestbenchState& bench = bench_of(self);
    const SimulatorCall lock(*bench.state);
    if (!lock) return nullptr;
    return read_one(bench, args[0], is_signed != 0);
  });
}

PyObject* read_all(PyObject* self, PyObject* names) {
  return entry([&]() -> PyObject* {
    TestbenchState& bench = bench_of(self);
    const SimulatorCall lock(*bench.state);
    if (!lock) return nullptr;
    PyRef sequence = PyRef::steal(PySequence_Fast(names, "expected a sequence of names"));
    if (!sequence) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    PyRef result = PyRef::steal(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* number = read_one(bench, PySequence_Fast_GET_ITEM(sequence.get(), i), false);
      if (number == nullptr) return nullptr;
      PyList_SET_ITEM(result.get(), i, number);
    }
    return result.release();
  });
}

PyObject* add(PyObject* self, PyObject* entries) {
  return entry([&]() -> PyObject* {
    TestbenchState& bench = bench_of(self);
    const SimulatorCall lock(*bench.state);
    if (!lock) return nullptr;
    if (!bench.table.add(entries)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* set_outputs(PyObject* self, PyObject* outputs) {
  return entry([&]() -> PyObject* {
    TestbenchState& bench = bench_of(self);
    const SimulatorCall lock(*bench.state);
    if (!lock) return nullptr;
    PyRef names = PyRef::steal(PySequence_Fast(outputs, "expected a sequence of names"));
    if (!names) return nullptr;
    std::vector<std::size_t> indices;
    std::vector<std::uint32_t> positions;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
      PyObject* name = PySequence_Fast_GET_ITEM(names.get(), i);
      bool error = false;
      const TablePort* port = bench.table.find(name, error);
      if (error) return nullptr;
      if (port == nullptr) {
        PyErr_Format(PyExc_ValueError, "outputs: %R is no entry and no bus", name);
        return nullptr;
      }
      indices.push_back(port->index);
      positions.insert(positions.end(), port->port.positions.begin(), port->port.positions.end());
    }
    bench.outputs = std::move(indices);
    bench.output_positions = std::move(positions);
    Py_RETURN_NONE;
  });
}

// The role of the entry or bus named `name` (0 read only, 1 input, 2 a
// register's state), or None when there is neither.
PyObject* role(PyObject* self, PyObject* name) {
  return entry([&]() -> PyObject* {
    TestbenchState& bench = bench_of(self);
    const SimulatorCall lock(*bench.state);
    if (!lock) return nullptr;
    bool error = false;
    const TablePort* port = bench.table.find(name, error);
    if (error) return nullptr;
    if (port == nullptr) Py_RETURN_NONE;
    return PyLong_FromLong(static_cast<long>(port->role));
  });
}

PyObject* width(PyObject* self, PyObject* name) {
  return entry([&]() -> PyObject* {
    TestbenchState& bench = bench_of(self);
    const SimulatorCall lock(*bench.state);
    if (!lock) return nullptr;
    bool error = false;
    const TablePort* port = bench.table.find(name, error);
    if (error) return nullptr;
    if (port == nullptr) {
      PyErr_SetObject(PyExc_KeyError, name);
      return nullptr;
    }
    return PyLong_FromSize_t(port->width);
  });
}

PyObject* bus_roles(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    const std::vector<PortRole>& roles = bench_of(self).table.bus_roles();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(roles.data()),
                                     static_cast<Py_ssize_t>(roles.size()));
  });
}

PyObject* testbench_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kNew{"Testbench.__new__", "simulator"};
  return entry([&]() -> PyObject* {
    PyObject* simulator = single_argument(kNew, args, kwargs);
    if (simulator == nullptr) return nullptr;
    SimulatorState* state = simulator_state(simulator, "simulator");
    if (state == nullptr) return nullptr;
    const SimulatorCall lock(*state);
    if (!lock) return nullptr;
    PyObject* allocated = type->tp_alloc(type, 0);
    if (allocated == nullptr) return nullptr;
    try {
      reinterpret_cast<TestbenchObject*>(allocated)->state.construct(simulator, *state);
    } catch (...) {
      // The object never held a state: give its memory back untouched.
      type->tp_free(allocated);
      Py_DECREF(type);
      throw;
    }
    return allocated;
  });
}

void testbench_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<TestbenchObject*>(self)->state.destroy();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef testbench_methods[] = {
    {"step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step)), METH_FASTCALL,
     "step($self, values, named, /)\n--\n\n"
     "Writes the inputs of values (a dict or None) and named (a dict), then takes one step;\n"
     "returns every output as an unsigned int. A name that no input has raises KeyError(name)."},
    {"settle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settle)), METH_FASTCALL,
     "settle($self, values, named, /)\n--\n\n"
     "The same as step without a clock edge: one update, then the asynchronous resets."},
    {"poke", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(poke)), METH_FASTCALL,
     "poke($self, values, named, /)\n--\n\n"
     "Writes registers' state (names of role 2) in one update, then the asynchronous resets."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     "read($self, name, signed=False, /)\n--\n\n"
     "The value of an entry or a bus as an int; KeyError(name) when it is neither."},
    {"read_all", read_all, METH_O,
     "read_all($self, names, /)\n--\n\nThe unsigned values of entries or busses, as a list."},
    {"add", add, METH_O,
     "add($self, entries, /)\n--\n\n"
     "Adds entries: (name, bus ids least significant first, label, input) tuples. An entry\n"
     "with input true is written by step and settle; another is a register's state, written\n"
     "by poke, when its busses are all q's. A bus is an entry of its own by its id."},
    {"set_outputs", set_outputs, METH_O,
     "set_outputs($self, names, /)\n--\n\nThe entries step and settle return, in order."},
    {"role", role, METH_O,
     "role($self, name, /)\n--\n\n"
     "0 (read only), 1 (an input) or 2 (a register's state) for an entry or bus; None for\n"
     "a name that is neither."},
    {"width", width, METH_O, "width($self, name, /)\n--\n\nThe width of an entry or bus."},
    {"bus_roles", bus_roles, METH_NOARGS,
     "bus_roles($self)\n--\n\nThe role of every bus, one byte each, in bus_ids order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot testbench_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Testbench(simulator)\n--\n\n"
                       "A Simulator driven through named ports with ints (nimbo.Design's native "
                       "path): add() its ports, set_outputs() what steps return.")},
    {Py_tp_new, reinterpret_cast<void*>(testbench_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(testbench_dealloc)},
    {Py_tp_methods, testbench_methods},
    {0, nullptr},
};

PyType_Spec testbench_spec = {
    "nimbo._engine.Testbench", static_cast<int>(sizeof(TestbenchObject)), 0, Py_TPFLAGS_DEFAULT,
    testbench_slots,
};

}  // namespace

TestbenchState* testbench_state(PyObject* object, const char* argument) {
  PyObject* type = testbench_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a nimbo._engine.Testbench, not '%s'",
                 argument, Py_TYPE(object)->tp_name);
    return nullptr;
  }
  return &bench_of(object);
}

PyObject* testbench_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&testbench_spec);
  return type;
}

}  // namespace nimbo::py
