// nimbo.Simulator: a rendered circuit driven one update or many vectors at a
// time, outside the component store.
#include "lib/simulator_type.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "busses/number_text.hpp"
#include "component/memories.hpp"
#include "engine/messages.hpp"
#include "engine/write_roles.hpp"
#include "engine/x_initial.hpp"
#include "lib/arguments.hpp"
#include "lib/byte_grid.hpp"
#include "lib/call_lock.hpp"
#include "lib/fault.hpp"
#include "lib/in_object.hpp"
#include "lib/interpreter.hpp"
#include "lib/memory_values.hpp"
#include "lib/py_ref.hpp"
#include "lib/py_text.hpp"
#include "lib/simulator_state.hpp"
#include "lib/unraisable.hpp"
#include "lib/value_dict.hpp"
#include "lib/vector_error.hpp"
#include "lib/vector_sinks.hpp"
#include "renderer/renderer.hpp"
#include "renderer/vector_lines.hpp"

namespace nimbo::py {
namespace {

// Vectors are converted and run in blocks of this many, so that a long
// iterable never lives in memory whole.
constexpr std::size_t kBlock = 4096;

struct SimulatorObject {
  PyObject_HEAD InObject<SimulatorState> state;
};

SimulatorState& state_of(PyObject* self) {
  return reinterpret_cast<SimulatorObject*>(self)->state.get();
}

// The bus keys, built on first need (a failure raises through the fault
// boundary). False with KeyboardInterrupt set when Ctrl-C stopped it.
bool ensure_ids(SimulatorState& state) {
  return state.keys.ready() ||
         state.keys.build(copy_bus_ids(state.simulation.model()), call_control());
}

using Lookup = BusKeys::Lookup;

// The position of the bus named `key` (a str): found, absent, or an error;
// a str subclass is looked up by its text here, so never kByText.
Lookup find_bus(SimulatorState& state, PyObject* key, std::uint32_t& position) {
  const Lookup found = state.keys.find(key, position);
  if (found != Lookup::kByText) return found;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return Lookup::kError;
  const auto at = state.simulation.find(std::string_view(text, static_cast<std::size_t>(size)));
  if (!at) return Lookup::kAbsent;
  position = *at;
  return Lookup::kFound;
}

// Positions of a sequence of ids that must all name busses (ValueError
// naming the first that does not).
std::optional<std::vector<std::uint32_t>> positions_of(SimulatorState& state, PyObject* ids,
                                                       const char* what) {
  PyRef sequence = PyRef::steal(PySequence_Fast(ids, "expected a sequence of bus ids"));
  if (!sequence) return std::nullopt;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<std::uint32_t> positions;
  positions.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* id = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(id)) {
      PyErr_Format(PyExc_TypeError, "%s: expected str bus ids, got '%s'", what,
                   Py_TYPE(id)->tp_name);
      return std::nullopt;
    }
    std::uint32_t position = 0;
    switch (find_bus(state, id, position)) {
      case Lookup::kFound:
        positions.push_back(position);
        break;
      case Lookup::kAbsent:
        PyErr_Format(PyExc_ValueError, "%s: no bus named %R", what, id);
        return std::nullopt;
      case Lookup::kError:
      case Lookup::kByText:  // resolved by find_bus
        return std::nullopt;
    }
  }
  return positions;
}

// Every position, for `show=None`.
std::vector<std::uint32_t> all_positions(const SimulatorState& state) {
  std::vector<std::uint32_t> positions(state.simulation.bus_count());
  for (std::size_t p = 0; p < positions.size(); ++p) positions[p] = static_cast<std::uint32_t>(p);
  return positions;
}

// Where an input that cannot be converted is: update's argument, or the
// vector of run() at `vector`.
std::string input_place(std::optional<std::size_t> vector) {
  return vector ? "vector " + std::to_string(*vector) : "argument 'inputs'";
}

// Circuits with more busses than this get no suggestion of close names:
// finding them would take long.
constexpr Py_ssize_t kMostIdsToSuggest = 20000;

// Raises ValueError for the input `id`, which names no bus, with the closest
// bus ids suggested (nimbo.names words the hint as every surface does).
void raise_unknown_input(SimulatorState& state, PyObject* id, std::optional<std::size_t> vector) {
  constexpr Py_ssize_t kShown = 40;
  const Py_ssize_t length = PyUnicode_GetLength(id);
  PyRef shown = PyRef::steal(length <= kShown ? PyObject_Repr(id) : nullptr);
  if (length > kShown) {
    PyRef head = PyRef::steal(PyUnicode_Substring(id, 0, kShown));
    if (!head) return;
    shown = PyRef::steal(PyUnicode_FromFormat("%R... (%zd characters)", head.get(), length));
  }
  if (!shown) return;
  PyRef hint = PyRef::steal(PyUnicode_FromString(""));
  if (!hint) return;
  if (PyTuple_GET_SIZE(state.keys.keys()) <= kMostIdsToSuggest) {
    PyRef names = PyRef::steal(PyImport_ImportModule("nimbo.names"));
    PyRef found = PyRef::steal(
        names ? PyObject_CallMethod(names.get(), "did_you_mean", "OO", id, state.keys.keys())
              : nullptr);
    if (found && PyUnicode_Check(found.get())) {
      hint = std::move(found);
    } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
      PyErr_Clear();  // the error goes out without a hint
    } else if (PyErr_Occurred()) {
      return;  // Ctrl-C and the like go out as they are
    }
  }
  PyErr_Format(PyExc_ValueError,
               "%s: no bus named %U%U; allow_unknown=True skips names that are not there",
               input_place(vector).c_str(), shown.get(), hint.get());
}

// One dict of bus id to bit string, converted into `writes`; the strs are
// kept alive by `owners`. An id that names no bus is left out with
// `allow_unknown`, else an error. False with TypeError or ValueError set
// (prefixed by the place).
bool convert_inputs(SimulatorState& state, PyObject* dict, std::optional<std::size_t> vector,
                    bool allow_unknown, std::vector<PositionInput>& writes,
                    std::vector<PyRef>& owners) {
  std::optional<SignalInputs> converted = signal_inputs_argument(input_place(vector), dict);
  if (!converted) return false;
  for (std::size_t i = 0; i < converted->inputs.size(); ++i) {
    PyObject* id = converted->owners[2 * i].get();
    std::uint32_t position = 0;
    const Lookup found = find_bus(state, id, position);
    if (found == Lookup::kError) return false;
    if (found == Lookup::kFound) {
      writes.push_back({position, converted->inputs[i].bits});
    } else if (!allow_unknown) {
      raise_unknown_input(state, id, vector);
      return false;
    }
  }
  std::move(converted->owners.begin(), converted->owners.end(), std::back_inserter(owners));
  return true;
}

// Raises VectorError for `fault`, the vector numbered `first + fault.vector`
// (KeyboardInterrupt when the fault is an interrupt).
PyObject* raise_vector_fault(SimulatorState& state, const VectorFault& fault, std::size_t first,
                             PyObject* results, std::optional<std::size_t> line = std::nullopt,
                             std::optional<std::string> id = std::nullopt) {
  if (fault.interrupted) return raise_interrupt();
  if (!id && fault.position) id = state.simulation.model().busses().id(*fault.position);
  return raise_vector_error(fault, first + fault.vector, line, id, results);
}

// The initial state of a simulation whose busses hold their rendered values
// and whose memories their initial words: every clock at 0 and settled,
// then (once the registers and memories fit the evaluated widths) the
// asynchronous resets and reads. A failure of those checks is the IR's:
// "Failed to render circuit: ...".
Status start(Simulation& simulation, const UpdateControl& control) {
  if (Status bound = simulation.prepare(control); !bound.ok()) return bound;
  if (Status settled = simulation.settle(control, Resets::kLeave); !settled.ok()) return settled;
  if (Status checked = simulation.check_registers(); !checked.ok()) {
    return Error{"Failed to render circuit: " + checked.error()};
  }
  return simulation.apply_resets(control);
}

// ---------------------------------------------------------------- methods

// The x_initial and seed arguments of Simulator(): a mode name, and None or
// a seed for "random" of 0 to 2**64 - 1. Nullopt with an exception set.
std::optional<XInitialRule> x_initial_argument(PyObject* mode, PyObject* seed) {
  XInitialRule rule;
  if (mode != Py_None) {
    if (!PyUnicode_Check(mode)) {
      PyErr_Format(PyExc_TypeError, "argument 'x_initial': expected a str, not '%s'",
                   Py_TYPE(mode)->tp_name);
      return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(mode, &size);
    if (text == nullptr) return std::nullopt;
    const auto named = x_initial_named(std::string_view(text, static_cast<std::size_t>(size)));
    if (!named) {
      PyErr_Format(PyExc_ValueError,
                   "argument 'x_initial': expected 'zero', 'ones' or 'random', not %R", mode);
      return std::nullopt;
    }
    rule.mode = *named;
  }
  if (seed == Py_None) return rule;
  if (!PyLong_Check(seed) || PyBool_Check(seed)) {
    PyErr_Format(PyExc_TypeError, "argument 'seed': expected an int, not '%s'",
                 Py_TYPE(seed)->tp_name);
    return std::nullopt;
  }
  if (rule.mode != XInitial::kRandom) {
    PyErr_SetString(PyExc_ValueError, "argument 'seed' goes with x_initial='random'");
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(seed);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "argument 'seed': expected 0 to 2**64 - 1");
    return std::nullopt;
  }
  rule.seed = value;
  return rule;
}

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Parameter kNew{"Simulator.__new__", "ir"};
  return entry([&]() -> PyObject* {
    static const char* keywords[] = {"ir", "x_initial", "seed", nullptr};
    PyObject* argument = nullptr;
    PyObject* mode = Py_None;
    PyObject* seed = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:Simulator", const_cast<char**>(keywords),
                                     &argument, &mode, &seed)) {
      return nullptr;
    }
    const std::optional<std::string_view> ir = utf8_argument(kNew, argument);
    if (!ir) return nullptr;
    const std::optional<XInitialRule> rule = x_initial_argument(mode, seed);
    if (!rule) return nullptr;
    Result<Design> rendered = Renderer{std::string(*ir)}.render_design();
    if (!rendered.ok()) {
      return raise_error(PyExc_RuntimeError, "Failed to render circuit: " + rendered.error());
    }
    Design design = std::move(rendered).value();
    Result<Registers> registers = resolve_registers(design.component, design.registers);
    if (!registers.ok()) {
      return raise_error(PyExc_RuntimeError, "Failed to render circuit: " + registers.error());
    }
    // Registers without an initial value start as the rule says.
    start_uninitialised(design.component, design.registers, *rule);
    Result<Memories> memories =
        resolve_memories(design.component, design.registers, design.memories);
    if (!memories.ok()) {
      return raise_error(PyExc_RuntimeError, "Failed to render circuit: " + memories.error());
    }
    // So do memory words without one.
    start_uninitialised(memories.value(), design.memories, *rule);
    Simulation simulation(std::move(design.component), std::move(registers).value(),
                          std::move(memories).value());
    const Status started = start(simulation, call_control());
    if (started.interrupted()) return raise_interrupt();
    if (!started.ok()) {
      return raise_error(PyExc_RuntimeError,
                         messages::with_detail(started.error(), started.detail()));
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
      reinterpret_cast<SimulatorObject*>(self)->state.construct(std::move(simulation));
    } catch (...) {
      // The object never held a state: give its memory back untouched.
      type->tp_free(self);
      Py_DECREF(type);
      throw;
    }
    return self;
  });
}

void simulator_dealloc(PyObject* self) {
  PendingErrorKeeper keep_pending;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<SimulatorObject*>(self)->state.destroy();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* simulator_repr(PyObject* self) {
  return entry([&]() -> PyObject* {
    const Simulation& simulation = state_of(self).simulation;
    return PyUnicode_FromFormat("<nimbo.Simulator %R: %zu busses, %zu registers, %s>",
                                PyRef::steal(new_str(simulation.id())).get(),
                                simulation.bus_count(), simulation.registers().list.size(),
                                simulation.runs_one_pass() ? "one pass" : "worklist");
  });
}

PyObject* get_id(PyObject* self, void*) {
  return entry([&] { return new_str(state_of(self).simulation.id()); });
}

PyObject* get_bus_ids(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    if (!ensure_ids(state)) return nullptr;
    return Py_NewRef(state.keys.keys());
  });
}

PyObject* get_driven(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    const Simulation& simulation = state_of(self).simulation;
    PyRef flags = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(simulation.bus_count())));
    if (!flags) return nullptr;
    for (std::size_t p = 0; p < simulation.bus_count(); ++p) {
      PyTuple_SET_ITEM(flags.get(), static_cast<Py_ssize_t>(p),
                       PyBool_FromLong(simulation.is_driven(p)));
    }
    return flags.release();
  });
}

PyObject* get_one_pass(PyObject* self, void*) {
  return entry([&] { return PyBool_FromLong(state_of(self).simulation.runs_one_pass()); });
}

PyObject* get_feedback(PyObject* self, void*) {
  return entry([&] { return PyBool_FromLong(state_of(self).simulation.has_feedback()); });
}

PyObject* get_clocks(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    if (!ensure_ids(state)) return nullptr;
    const auto& clocks = state.simulation.registers().clocks;
    PyRef result = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(clocks.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < clocks.size(); ++i) {
      PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i),
                       Py_NewRef(state.keys.key(clocks[i])));
    }
    return result.release();
  });
}

PyObject* get_next_line(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    return PyLong_FromSize_t(state.next_line);
  });
}

PyObject* widths(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    const Simulation& simulation = state.simulation;
    PyRef result = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(simulation.bus_count())));
    if (!result) return nullptr;
    for (std::size_t p = 0; p < simulation.bus_count(); ++p) {
      PyObject* width = PyLong_FromSize_t(simulation.width(p));
      if (width == nullptr) return nullptr;
      PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(p), width);
    }
    return result.release();
  });
}

PyObject* stats(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    const Simulation& simulation = state_of(self).simulation;
    std::size_t driven = 0;
    for (std::size_t p = 0; p < simulation.bus_count(); ++p) driven += simulation.is_driven(p);
    return Py_BuildValue(
        "{s:n,s:n,s:n,s:n}", "busses", static_cast<Py_ssize_t>(simulation.bus_count()), "driven",
        static_cast<Py_ssize_t>(driven), "gates",
        static_cast<Py_ssize_t>(simulation.graph().gates().size()), "influence_entries",
        static_cast<Py_ssize_t>(simulation.influence_entry_count()));
  });
}

// update() and step(): one call that writes its inputs (a dict, or None
// for none when they are `optional`) through `apply`, which also takes the
// flag parsed after allow_unknown (update's resets).
template <class Apply>
PyObject* write_inputs(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                       const char* const* keywords, bool optional, Apply apply) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    PyObject* argument = Py_None;
    int allow_unknown = 0;
    int flag = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &argument,
                                     &allow_unknown, &flag)) {
      return nullptr;
    }
    if (!ensure_ids(state)) return nullptr;
    std::vector<PositionInput> writes;
    std::vector<PyRef> owners;
    if ((argument != Py_None || !optional) &&
        !convert_inputs(state, argument, std::nullopt, allow_unknown != 0, writes, owners)) {
      return nullptr;
    }
    const Status status = apply(state.simulation, writes, flag != 0);
    if (status.interrupted()) return raise_interrupt();
    if (!status.ok()) {
      return raise_error(PyExc_RuntimeError,
                         messages::with_detail(status.error(), status.detail()));
    }
    Py_RETURN_NONE;
  });
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"inputs", "allow_unknown", "resets", nullptr};
  return write_inputs(self, args, kwargs, "O|$pp:update", keywords, false,
                      [](Simulation& simulation, const auto& writes, bool resets) {
                        return simulation.update_positions(
                            writes, call_control(), resets ? Resets::kApply : Resets::kLeave);
                      });
}

PyObject* step(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"inputs", "allow_unknown", nullptr};
  return write_inputs(self, args, kwargs, "|O$p:step", keywords, true,
                      [](Simulation& simulation, const auto& writes, bool) {
                        return simulation.step(writes, call_control());
                      });
}

PyObject* values(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"ids", nullptr};
    PyObject* ids = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:values", const_cast<char**>(keywords),
                                     &ids)) {
      return nullptr;
    }
    if (!ensure_ids(state)) return nullptr;
    if (ids == Py_None) return state.keys.make_dict(state.simulation.snapshot());
    const auto positions = positions_of(state, ids, "argument 'ids'");
    if (!positions) return nullptr;
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    // One read at a time: a step's pending pass runs at the first driven
    // bus, once, and the next step starts from it (a cone of these ids,
    // found anew for each list asked, would cost more than it saves).
    BitBusValue value;
    for (std::size_t i = 0; i < positions->size(); ++i) {
      PyObject* key = state.keys.key((*positions)[i]);
      state.simulation.read_value((*positions)[i], value);
      PyRef text = PyRef::steal(value_text(value));
      if (!text || PyDict_SetItem(result.get(), key, text.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

PyObject* reset(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    state.simulation.restore_state(state.initial);
    Py_RETURN_NONE;
  });
}

// The memory named by `name` (a str), or ValueError naming the memories
// there are.
std::optional<std::size_t> memory_argument(const SimulatorState& state, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "argument 'name': expected a str, got '%s'",
                 Py_TYPE(name)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return std::nullopt;
  const Simulation& simulation = state.simulation;
  const auto found = simulation.find_memory(std::string_view(text, static_cast<std::size_t>(size)));
  if (found) return found;
  std::string known;
  for (const Memory& memory : simulation.memories().list) {
    known += (known.empty() ? "" : ", ") + memory.name;
  }
  if (known.empty()) {
    PyErr_Format(PyExc_ValueError, "no memory named %R: %s has no memories", name,
                 simulation.id().c_str());
  } else {
    PyErr_Format(PyExc_ValueError, "no memory named %R (memories: %s)", name, known.c_str());
  }
  return std::nullopt;
}

PyObject* memory(PyObject* self, PyObject* name) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    const auto found = memory_argument(state, name);
    if (!found) return nullptr;
    return words_list(state.simulation.memories().list[*found],
                      state.simulation.memory_words(*found));
  });
}

PyObject* load_memory(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"name", "words", nullptr};
    PyObject* name = nullptr;
    PyObject* words = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:load_memory", const_cast<char**>(keywords),
                                     &name, &words)) {
      return nullptr;
    }
    const auto found = memory_argument(state, name);
    if (!found) return nullptr;
    Simulation& simulation = state.simulation;
    std::optional<std::vector<Word>> units = words_units(simulation.memories().list[*found], words);
    if (!units) return nullptr;
    // The initial state again, from the rendered values and the new words;
    // then the state now with the new words, its asynchronous parts acting.
    // A failure of either leaves everything as it was.
    const UpdateControl control = call_control();
    SimulationState now = simulation.save_state();
    const auto rendered = simulation.model().busses().values();
    SimulationState fresh{std::vector<BitBusValue>(rendered.begin(), rendered.end()),
                          state.initial.words};
    fresh.words.assign(*found, *units);
    simulation.restore_state(fresh);
    Status done = start(simulation, control);
    SimulationState initial;
    if (done.ok()) {
      initial = simulation.save_state();
      SimulationState loaded = now;
      loaded.words.assign(*found, std::move(*units));
      simulation.restore_state(loaded);
      done = simulation.apply_resets(control);
    }
    if (!done.ok()) {
      simulation.restore_state(now);
      if (done.interrupted()) return raise_interrupt();
      return raise_error(PyExc_RuntimeError,
                         "memory '" + simulation.memories().list[*found].name +
                             "': " + messages::with_detail(done.error(), done.detail()));
    }
    state.initial = std::move(initial);
    Py_RETURN_NONE;
  });
}

PyObject* get_memories(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    const Simulation& simulation = state_of(self).simulation;
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const Memory& memory : simulation.memories().list) {
      PyRef shape = PyRef::steal(Py_BuildValue(
          "(KnL)", static_cast<unsigned long long>(memory.words),
          static_cast<Py_ssize_t>(memory.width), static_cast<long long>(memory.offset)));
      PyRef key = PyRef::steal(new_str(memory.name));
      if (!shape || !key || PyDict_SetItem(result.get(), key.get(), shape.get()) < 0) {
        return nullptr;
      }
    }
    return result.release();
  });
}

// The keys of the shown busses, for DictSink.
std::vector<PyRef> shown_keys(const SimulatorState& state,
                              const std::vector<std::uint32_t>& shown) {
  std::vector<PyRef> keys;
  keys.reserve(shown.size());
  for (const std::uint32_t p : shown) {
    keys.push_back(PyRef::borrow(state.keys.key(p)));
  }
  return keys;
}

std::optional<std::vector<std::uint32_t>> shown_positions(SimulatorState& state, PyObject* show) {
  if (show == Py_None) return all_positions(state);
  return positions_of(state, show, "argument 'show'");
}

// The names a JSON Lines call shows: the positions of their busses, and how
// many each name joins (see ShownGroups).
struct Shown {
  std::vector<std::uint32_t> positions;
  ShownGroups groups;
};

// `show`: None for every bus, else a sequence of names, each a bus, or with
// `names` a port that no bus is named after, shown as its busses' texts side
// by side (element 0 first). False with ValueError naming the first name
// that is neither.
std::optional<Shown> shown_names(SimulatorState& state, PyObject* show,
                                 const std::optional<VectorNames>& names) {
  Shown shown;
  if (show == Py_None || !names) {
    auto positions = shown_positions(state, show);
    if (!positions) return std::nullopt;
    shown.positions = std::move(*positions);
    return shown;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(show, "argument 'show': expected a sequence"));
  if (!sequence) return std::nullopt;
  bool joined = false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* name = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "argument 'show': expected str names, got '%s'",
                   Py_TYPE(name)->tp_name);
      return std::nullopt;
    }
    // The ports come before the bus ids.
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return std::nullopt;
    const auto port = names->find_port(std::string_view(text, static_cast<std::size_t>(size)));
    if (!port) {
      std::uint32_t position = 0;
      const Lookup found = find_bus(state, name, position);
      if (found == Lookup::kFound) {
        shown.positions.push_back(position);
        shown.groups.push_back(1);
        continue;
      }
      if (found == Lookup::kAbsent) {
        PyErr_Format(PyExc_ValueError, "argument 'show': no bus or port named %R", name);
      }
      return std::nullopt;
    }
    const std::vector<std::uint32_t>& bits = names->port(*port).positions;
    shown.positions.insert(shown.positions.end(), bits.begin(), bits.end());
    shown.groups.push_back(bits.size());
    joined = joined || bits.size() != 1;
  }
  if (!joined) shown.groups.clear();
  return shown;
}

PyObject* run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"vectors", "show", "allow_unknown", nullptr};
    PyObject* vectors = nullptr;
    PyObject* show = Py_None;
    int allow_unknown = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$p:run", const_cast<char**>(keywords),
                                     &vectors, &show, &allow_unknown)) {
      return nullptr;
    }
    if (!ensure_ids(state)) return nullptr;
    const auto shown = shown_positions(state, show);
    if (!shown) return nullptr;
    PyRef iterator = PyRef::steal(PyObject_GetIter(vectors));
    if (!iterator) return nullptr;
    PyRef results = PyRef::steal(PyList_New(0));
    if (!results) return nullptr;
    DictSink sink(results.get(), shown_keys(state, *shown));

    std::vector<PositionInput> writes;
    std::vector<std::size_t> ends;
    std::vector<PyRef> owners;
    const UpdateControl control = call_control();
    for (std::size_t first = 0;; first += ends.size()) {
      writes.clear();
      ends.clear();
      owners.clear();
      // Collect a block; a bad item or a failing iterator ends the block
      // early, and is raised once the good vectors before it are applied.
      bool exhausted = false;
      bool failed = false;
      while (ends.size() < kBlock) {
        PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
          exhausted = true;
          failed = PyErr_Occurred() != nullptr;
          break;
        }
        if (!convert_inputs(state, item.get(), first + ends.size(), allow_unknown != 0, writes,
                            owners)) {
          failed = true;
          break;
        }
        ends.push_back(writes.size());
      }
      // The error that ended the block waits while the good vectors run.
      std::optional<PendingErrorKeeper> pending;
      if (failed) pending.emplace();
      const std::optional<VectorFault> fault =
          state.simulation.run_vectors(TextVectors{writes, ends}, *shown, sink, control);
      if (fault) {
        if (pending) pending->discard();
        pending.reset();
        if (fault->stopped_by_sink) return nullptr;
        return raise_vector_fault(state, *fault, first, results.get());
      }
      if (failed) {
        pending.reset();  // raises the kept error again
        return nullptr;
      }
      if (exhausted) break;
    }
    return results.release();
  });
}

// Whether a buffer of this struct format holds one byte per item (NumPy's
// uint8, int8 and bool, ctypes' c_uint8 with its byte order).
bool is_byte_format(const char* format) {
  std::string_view kind = format != nullptr ? format : "B";
  if (!kind.empty() && std::string_view("@=<>!").find(kind.front()) != std::string_view::npos) {
    kind.remove_prefix(1);
  }
  return kind == "B" || kind == "b" || kind == "?" || kind == "c";
}

// The strides of a buffer of up to three dimensions: its own, or those of C
// order when it gives none (ctypes arrays do not).
std::array<Py_ssize_t, 3> strides_of(const Py_buffer& view) {
  std::array<Py_ssize_t, 3> strides{};
  Py_ssize_t stride = view.itemsize;
  for (int d = view.ndim - 1; d >= 0; --d) {
    strides[static_cast<std::size_t>(d)] = view.strides != nullptr ? view.strides[d] : stride;
    stride *= view.shape[d];
  }
  return strides;
}

PyObject* run_bits(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"inputs", "data", "outputs", nullptr};
    PyObject* inputs = nullptr;
    PyObject* data = nullptr;
    PyObject* outputs = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:run_bits", const_cast<char**>(keywords),
                                     &inputs, &data, &outputs)) {
      return nullptr;
    }
    if (!ensure_ids(state)) return nullptr;
    const auto input_positions = positions_of(state, inputs, "argument 'inputs'");
    if (!input_positions) return nullptr;
    const auto output_positions = positions_of(state, outputs, "argument 'outputs'");
    if (!output_positions) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return nullptr;
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    if (view.ndim != 2 || view.shape == nullptr || view.itemsize != 1 ||
        !is_byte_format(view.format)) {
      PyErr_SetString(PyExc_TypeError,
                      "argument 'data': expected a 2-D buffer of bytes (rows of 0/1 values)");
      return nullptr;
    }
    std::size_t columns = 0;
    for (const std::uint32_t p : *input_positions) columns += state.simulation.width(p);
    if (columns != static_cast<std::size_t>(view.shape[1])) {
      return raise_error(
          PyExc_ValueError,
          "argument 'data': " +
              messages::columns_differ(columns, static_cast<std::size_t>(view.shape[1])));
    }
    const auto strides = strides_of(view);
    ByteVectors vectors{*input_positions,
                        static_cast<const std::uint8_t*>(view.buf),
                        static_cast<std::size_t>(view.shape[0]),
                        static_cast<std::size_t>(view.shape[1]),
                        strides[0],
                        strides[1]};
    ByteSink sink(vectors.rows);
    sink.expect(output_positions->size());
    const std::optional<VectorFault> fault =
        state.simulation.run_vectors(vectors, *output_positions, sink, call_control());
    const std::size_t done = fault ? fault->vector : vectors.rows;
    // Before any vector the rows have the outputs' widths now.
    std::size_t shown_columns = sink.columns();
    if (done == 0) {
      shown_columns = 0;
      for (const std::uint32_t p : *output_positions) shown_columns += state.simulation.width(p);
    }
    PyRef shaped = PyRef::steal(byte_grid(sink.take_bytes(), {done, shown_columns}));
    if (!shaped) return nullptr;
    if (!fault) return shaped.release();
    if (fault->stopped_by_sink && sink.changed_width()) {
      VectorFault width_fault{fault->vector, (*output_positions)[*sink.changed_width()],
                              "the output changed width"};
      return raise_vector_fault(state, width_fault, 0, shaped.get());
    }
    return raise_vector_fault(state, *fault, 0, shaped.get());
  });
}

// The id of the bus at `position`, for messages.
std::optional<std::string> fault_id(const SimulatorState& state, const VectorFault& fault) {
  if (!fault.position) return std::nullopt;
  return state.simulation.model().busses().id(*fault.position);
}

// What the vectors of one piece of a JSON Lines block may hold beyond its
// text (VectorLines::parse), per half.
constexpr std::size_t kHeldPerPiece = std::size_t{4} << 20;

// What the sequences of one run_sequences_jsonl call may hold beside their
// texts, packed (PackedVectors: about a byte per one-bit bus a line writes).
constexpr std::size_t kHeldBySequences = std::size_t{512} << 20;

// The role of every bus to a write that takes only inputs, worked out on
// the first call that needs it.
const std::vector<WriteRole>& write_roles_of(SimulatorState& state) {
  if (state.roles.empty()) {
    state.roles = write_roles(state.simulation.model(), state.simulation.registers());
  }
  return state.roles;
}

// Whether `inputs` (the argument input_ports) holds `name`, a str.
// Nullopt with an exception set.
std::optional<bool> holds(PyObject* inputs, PyObject* name) {
  const int found = PySequence_Contains(inputs, name);
  if (found < 0) return std::nullopt;
  return found == 1;
}

// The ports and input_ports arguments of the calls that read names: ports
// is None, or a dict of port name to the ids of its busses (least
// significant bit first), which lets lines name ports and write numbers;
// input_ports is None (every bus and port may be written), or the names of
// the ports that are inputs: writes then take only inputs (write_roles.hpp).
// False with an exception set.
bool ports_argument(SimulatorState& state, PyObject* ports, std::optional<VectorNames>& names,
                    PyObject* inputs = Py_None) {
  if (inputs != Py_None && ports == Py_None) {
    PyErr_SetString(PyExc_TypeError, "argument 'input_ports' goes with argument 'ports'");
    return false;
  }
  if (inputs != Py_None && (!PySequence_Check(inputs) && !PyAnySet_Check(inputs))) {
    PyErr_SetString(PyExc_TypeError, "argument 'input_ports': expected a collection of port names");
    return false;
  }
  if (ports == Py_None) return true;
  constexpr const char* kExpected = "argument 'ports': expected a dict of str to bus ids";
  if (!PyDict_Check(ports)) {
    PyErr_SetString(PyExc_TypeError, kExpected);
    return false;
  }
  const Simulation& simulation = state.simulation;
  names.emplace([&simulation](std::uint32_t position) { return simulation.width(position); });
  // The entries held first: looking up their busses may run Python code.
  PyRef items = PyRef::steal(PyDict_Items(ports));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* name = PyTuple_GET_ITEM(item, 0);
    PyObject* bits = PyTuple_GET_ITEM(item, 1);
    if (!PyUnicode_Check(name)) {
      PyErr_SetString(PyExc_TypeError, kExpected);
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return false;
    auto positions = positions_of(state, bits, "argument 'ports'");
    if (!positions) return false;
    if (positions->empty()) {
      PyErr_Format(PyExc_ValueError, "argument 'ports': port %R has no bus", name);
      return false;
    }
    bool input = true;
    if (inputs != Py_None) {
      const std::optional<bool> held = holds(inputs, name);
      if (!held) return false;
      input = *held;
    }
    names->add_port(std::string(text, static_cast<std::size_t>(size)), std::move(*positions),
                    input);
  }
  if (inputs != Py_None) names->take_only_inputs(write_roles_of(state));
  return true;
}

PyObject* run_jsonl(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"data",    "show",  "first_line",  "layout",
                                     "threads", "ports", "input_ports", nullptr};
    Py_buffer data;
    PyObject* show = Py_None;
    Py_ssize_t first_line = 1;
    PyObject* layout = Py_None;
    Py_ssize_t threads = 1;
    PyObject* ports = Py_None;
    PyObject* inputs = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|On$OnOO:run_jsonl",
                                     const_cast<char**>(keywords), &data, &show, &first_line,
                                     &layout, &threads, &ports, &inputs)) {
      return nullptr;
    }
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&data};
    if (!ensure_ids(state)) return nullptr;
    std::optional<VectorNames> names;
    if (!ports_argument(state, ports, names, inputs)) return nullptr;
    const auto shown = shown_names(state, show, names);
    if (!shown) return nullptr;
    std::optional<TextSink> text_sink;
    if (layout != Py_None &&
        !layout_argument(layout, shown->positions.size(), shown->groups, state.rows, text_sink)) {
      return nullptr;
    }
    const std::string_view text(static_cast<const char*>(data.buf),
                                static_cast<std::size_t>(data.len));
    const auto line = static_cast<std::size_t>(std::max<Py_ssize_t>(first_line, 0));
    state.next_line = line + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    PyRef results = PyRef::steal(PyList_New(0));
    PyRef unknown = PyRef::steal(PyList_New(0));
    if (!results || !unknown) return nullptr;
    TupleSink tuple_sink(results.get(), shown->groups);
    VectorSink& sink = text_sink ? static_cast<VectorSink&>(*text_sink) : tuple_sink;

    // The block is read and run a piece at a time, so that what its vectors
    // hold beyond the text (ports and numbers) stays bounded.
    VectorBlock& lines = state.lines;
    std::optional<VectorFault> fault;
    std::optional<LineFault> line_fault;
    std::size_t done = 0;  // vectors of the pieces before
    std::size_t fault_line = 0;
    std::unordered_set<std::string> reported;
    std::unordered_set<std::string> noted;
    state.bit_strings.clear();
    for (std::size_t start = 0, piece_line = line;;) {
      const std::string_view piece = text.substr(start);
      lines.parse(piece, piece_line, state.simulation.model(), threads > 1,
                  names ? &*names : nullptr, kHeldPerPiece);
      OffsetSink offset_sink(sink, done);
      fault = state.simulation.run_vectors(lines.vectors(), shown->positions, offset_sink,
                                           call_control());
      for (const auto& [line, id] : lines.unknown()) {
        if (!reported.insert(id).second) continue;
        PyRef entry_object = PyRef::steal(Py_BuildValue(
            "(ns#)", static_cast<Py_ssize_t>(line), id.data(), static_cast<Py_ssize_t>(id.size())));
        if (!entry_object || PyList_Append(unknown.get(), entry_object.get()) < 0) return nullptr;
      }
      for (const BitStringNote& note : lines.bit_strings()) {
        if (noted.insert(note.id).second) state.bit_strings.push_back(note);
      }
      if (fault) {
        fault->vector += done;
        fault_line = lines.lines()[fault->vector - done];
        break;
      }
      if (lines.fault()) {
        line_fault = lines.fault();
        line_fault->vector += done;
        break;
      }
      done += lines.vectors().size();
      if (lines.read() >= piece.size()) break;
      piece_line += static_cast<std::size_t>(std::count(
          piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(lines.read()), '\n'));
      start += lines.read();
    }
    if (text_sink) {
      const std::string& text = text_sink->text();
      results = PyRef::steal(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (!results) return nullptr;
    }
    PyRef error;
    if (fault) {
      if (fault->stopped_by_sink) return nullptr;
      if (fault->interrupted) return raise_interrupt();
      error = PyRef::steal(make_vector_error(*fault, fault->vector, fault_line,
                                             fault_id(state, *fault), results.get()));
    } else if (line_fault) {
      error = PyRef::steal(
          make_line_error(*line_fault, line_fault->vector, line_fault->line, results.get()));
    } else {
      return PyTuple_Pack(2, results.get(), unknown.get());
    }
    // The ids before the vector that name nothing go with the error.
    if (!error || PyObject_SetAttrString(error.get(), "unknown", unknown.get()) < 0) {
      return nullptr;
    }
    PyErr_SetObject(vector_error_type(), error.get());
    return nullptr;
  });
}

// A buffer argument, released with this object.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
};

// The threads argument of the runs of sequences: an int of 1 or more.
// Nullopt with an exception set.
std::optional<std::size_t> threads_argument(PyObject* threads) {
  if (threads == nullptr) return 1;
  if (!PyLong_Check(threads) || PyBool_Check(threads)) {
    PyErr_Format(PyExc_TypeError, "argument 'threads': expected an int, not '%s'",
                 Py_TYPE(threads)->tp_name);
    return std::nullopt;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(threads, &overflow);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    PyErr_Format(PyExc_ValueError, "argument 'threads': expected 1 or more, not %R", threads);
    return std::nullopt;
  }
  // More threads than a machine has run no faster: any large count is as many.
  constexpr long long kMostThreads = 1024;
  return static_cast<std::size_t>(overflow > 0 ? kMostThreads : std::min(value, kMostThreads));
}

PyObject* run_sequences(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"inputs", "data", "outputs", "threads", nullptr};
    PyObject* inputs = nullptr;
    PyObject* data = nullptr;
    PyObject* outputs = nullptr;
    PyObject* threads_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:run_sequences",
                                     const_cast<char**>(keywords), &inputs, &data, &outputs,
                                     &threads_object)) {
      return nullptr;
    }
    const auto threads = threads_argument(threads_object);
    if (!threads) return nullptr;
    if (!ensure_ids(state)) return nullptr;
    const auto input_positions = positions_of(state, inputs, "argument 'inputs'");
    if (!input_positions) return nullptr;
    const auto output_positions = positions_of(state, outputs, "argument 'outputs'");
    if (!output_positions) return nullptr;
    BufferView buffer;
    if (PyObject_GetBuffer(data, &buffer.view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return nullptr;
    buffer.held = true;
    const Py_buffer& view = buffer.view;
    if (view.ndim != 3 || view.shape == nullptr || view.itemsize != 1 ||
        !is_byte_format(view.format)) {
      PyErr_SetString(PyExc_TypeError,
                      "argument 'data': expected a 3-D buffer of bytes (sequences, steps, bits)");
      return nullptr;
    }
    std::size_t columns = 0;
    for (const std::uint32_t p : *input_positions) columns += state.simulation.width(p);
    if (columns != static_cast<std::size_t>(view.shape[2])) {
      return raise_error(
          PyExc_ValueError,
          "argument 'data': " +
              messages::columns_differ(columns, static_cast<std::size_t>(view.shape[2])));
    }
    const auto strides = strides_of(view);
    const ByteSequences sequences{*input_positions,
                                  static_cast<const std::uint8_t*>(view.buf),
                                  static_cast<std::size_t>(view.shape[0]),
                                  static_cast<std::size_t>(view.shape[1]),
                                  columns,
                                  strides[0],
                                  strides[1],
                                  strides[2]};
    std::vector<std::size_t> widths;
    for (const std::uint32_t p : *output_positions) widths.push_back(state.simulation.width(p));
    SequenceByteSink sink(sequences.sequences, sequences.steps, widths);
    std::vector<std::optional<VectorFault>> faults;
    std::optional<VectorFault> stop;
    if (*threads == 1) {
      stop = state.simulation.run_sequences(sequences, *output_positions, sink, faults,
                                            call_control());
    } else {
      // The byte sink makes no Python object: the whole run lets go of the
      // interpreter.
      const ReleasedInterpreter released;
      stop = state.simulation.run_sequences(sequences, *output_positions, sink, faults,
                                            ReleasedInterpreter::control(), *threads);
    }
    if (stop && stop->interrupted) return raise_interrupt();
    PyRef shaped = PyRef::steal(
        byte_grid(sink.take_bytes(), {sequences.sequences, sequences.steps, sink.columns()}));
    if (!shaped) return nullptr;
    for (std::size_t s = 0; s < faults.size(); ++s) {
      if (!faults[s]) continue;
      PyRef error = PyRef::steal(make_vector_error(*faults[s], faults[s]->vector, std::nullopt,
                                                   fault_id(state, *faults[s]), shaped.get(), s));
      if (!error) return nullptr;
      PyErr_SetObject(vector_error_type(), error.get());
      return nullptr;
    }
    if (stop && sink.changed_width()) {
      VectorFault width_fault{stop->vector, (*output_positions)[*sink.changed_width()],
                              "the output changed width"};
      return raise_vector_fault(state, width_fault, 0, shaped.get());
    }
    if (stop) return nullptr;
    return shaped.release();
  });
}

// A sequence of run_sequences_jsonl as read: its vectors packed, the line
// of each, the ids that name no bus (at their first line) and the line that
// stopped the reading, if one did.
struct ReadSequence {
  PackedVectors vectors;
  // (vector, line) where a vector's line is not the one after the previous
  // vector's (the first, and those after blank lines).
  std::vector<std::pair<std::size_t, std::size_t>> line_jumps;
  std::vector<std::pair<std::size_t, std::string>> unknown;
  std::optional<LineFault> fault;

  void add_lines(std::size_t first_vector, std::span<const std::size_t> lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (first_vector + i == 0 || lines[i] != line(first_vector + i - 1) + 1) {
        line_jumps.emplace_back(first_vector + i, lines[i]);
      }
    }
  }
  // The line of vector `vector`.
  std::size_t line(std::size_t vector) const {
    const auto after =
        std::upper_bound(line_jumps.begin(), line_jumps.end(), vector,
                         [](std::size_t v, const std::pair<std::size_t, std::size_t>& jump) {
                           return v < jump.first;
                         });
    const auto& [first, line] = *std::prev(after);
    return line + (vector - first);
  }
  std::size_t held() const noexcept {
    return vectors.held() + line_jumps.capacity() * sizeof(line_jumps[0]);
  }
};

// Reads the lines of one sequence a piece at a time (what the vectors of a
// piece hold beyond its text stays below kHeldPerPiece) and packs each.
void read_sequence(std::string_view text, const Component& model, const VectorNames* names,
                   VectorLines& lines, ReadSequence& read) {
  std::unordered_set<std::string> reported;
  std::size_t done = 0;
  for (std::size_t start = 0, line = 1;;) {
    const std::string_view piece = text.substr(start);
    lines.parse(piece, line, model, names, kHeldPerPiece);
    read.vectors.append(lines.vectors());
    read.add_lines(done, lines.lines());
    for (const auto& entry : lines.unknown()) {
      if (reported.insert(entry.second).second) read.unknown.push_back(entry);
    }
    if (lines.fault()) {
      read.fault = lines.fault();
      read.fault->vector += done;
      break;
    }
    done += lines.vectors().size();
    if (lines.read() >= piece.size()) break;
    line += static_cast<std::size_t>(
        std::count(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(lines.read()), '\n'));
    start += lines.read();
  }
  read.vectors.shrink_to_fit();
  read.line_jumps.shrink_to_fit();
}

PyObject* run_sequences_jsonl(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"blocks", "show", "ports", "input_ports", "threads", nullptr};
    PyObject* blocks = nullptr;
    PyObject* show = Py_None;
    PyObject* ports = Py_None;
    PyObject* inputs = Py_None;
    PyObject* threads_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOO:run_sequences_jsonl",
                                     const_cast<char**>(keywords), &blocks, &show, &ports, &inputs,
                                     &threads_object)) {
      return nullptr;
    }
    const auto threads = threads_argument(threads_object);
    if (!threads) return nullptr;
    if (!ensure_ids(state)) return nullptr;
    std::optional<VectorNames> names;
    if (!ports_argument(state, ports, names, inputs)) return nullptr;
    const auto shown = shown_names(state, show, names);
    if (!shown) return nullptr;
    PyRef sequence = PyRef::steal(PySequence_Fast(
        blocks, "argument 'blocks': expected a sequence of bytes, one per sequence"));
    if (!sequence) return nullptr;
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
    std::vector<BufferView> buffers(count);
    std::vector<ReadSequence> read(count);
    std::vector<PyRef> lists;
    for (std::size_t s = 0; s < count; ++s) {
      PyObject* block = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(s));
      if (PyObject_GetBuffer(block, &buffers[s].view, PyBUF_SIMPLE) < 0) {
        PyErr_Format(PyExc_TypeError, "argument 'blocks': item %zu is '%s', not bytes", s,
                     Py_TYPE(block)->tp_name);
        return nullptr;
      }
      buffers[s].held = true;
      PyRef list = PyRef::steal(PyList_New(0));
      if (!list) return nullptr;
      lists.push_back(std::move(list));
    }
    std::vector<std::optional<VectorFault>> faults;
    std::optional<VectorFault> stop;
    std::vector<PyObject*> borrowed;
    for (const PyRef& list : lists) borrowed.push_back(list.get());
    SequenceTupleSink sink(std::move(borrowed), shown->positions.size(), shown->groups);
    VectorLines lines;
    std::size_t held = 0;
    std::vector<PackedVectors> vectors;
    for (std::size_t s = 0; s < count; ++s) {
      const std::string_view text(static_cast<const char*>(buffers[s].view.buf),
                                  static_cast<std::size_t>(buffers[s].view.len));
      read_sequence(text, state.simulation.model(), names ? &*names : nullptr, lines, read[s]);
      held += read[s].held();
      if (held > kHeldBySequences) {
        PyErr_Format(PyExc_ValueError,
                     "the sequences hold more than %zu MiB beside their text: run fewer at once",
                     kHeldBySequences >> 20);
        return nullptr;
      }
    }
    vectors.reserve(count);
    for (ReadSequence& sequence_read : read) vectors.push_back(std::move(sequence_read.vectors));
    if (*threads == 1) {
      stop =
          state.simulation.run_sequences(vectors, shown->positions, sink, faults, call_control());
    } else {
      // The tuples are made on this thread, with the interpreter taken back,
      // once the threads have run.
      ReleasedInterpreter released;
      HeldSequenceSink held(sink, released);
      stop = state.simulation.run_sequences(vectors, shown->positions, held, faults,
                                            ReleasedInterpreter::control(), *threads);
    }
    if (stop && stop->interrupted) return raise_interrupt();
    if (stop) return nullptr;
    PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!result) return nullptr;
    for (std::size_t s = 0; s < count; ++s) {
      PyRef unknown = PyRef::steal(PyList_New(0));
      if (!unknown) return nullptr;
      for (const auto& [line, id] : read[s].unknown) {
        PyRef entry_object = PyRef::steal(Py_BuildValue(
            "(ns#)", static_cast<Py_ssize_t>(line), id.data(), static_cast<Py_ssize_t>(id.size())));
        if (!entry_object || PyList_Append(unknown.get(), entry_object.get()) < 0) return nullptr;
      }
      PyRef error = PyRef::borrow(Py_None);
      if (faults[s]) {
        error = PyRef::steal(make_vector_error(*faults[s], faults[s]->vector,
                                               read[s].line(faults[s]->vector),
                                               fault_id(state, *faults[s]), lists[s].get(), s));
      } else if (const auto& line_fault = read[s].fault) {
        error = PyRef::steal(
            make_line_error(*line_fault, line_fault->vector, line_fault->line, lists[s].get(), s));
      }
      if (!error) return nullptr;
      PyObject* item = PyTuple_Pack(3, lists[s].get(), unknown.get(), error.get());
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(s), item);
    }
    return result.release();
  });
}

// The text a value of read_inputs stands for: a str as it is, an int in
// hex (which never reads as a bit string). False with TypeError set.
bool input_text(PyObject* name, PyObject* value, std::string& text) {
  PyRef hex;
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    hex = PyRef::steal(PyNumber_ToBase(value, 16));
    if (!hex) return false;
    value = hex.get();
  } else if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'inputs': the value of %R is a str or an int, not '%s'",
                 name, Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return false;
  text.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

// Raises VectorError for `value`, written to the bus or port `name` and
// refused: `kind` kValue (it cannot be written there for `detail`) or
// kNotInput (`name` is no input, `detail` what it is, `message` the reason).
PyObject* raise_refused(PyObject* name, PyObject* value, const std::string& text, bool port,
                        LineRefusal kind, std::string message, std::string detail) {
  Py_ssize_t size = 0;
  const char* id = PyUnicode_AsUTF8AndSize(name, &size);
  if (id == nullptr) return nullptr;
  LineFault fault;
  fault.id = std::string(id, static_cast<std::size_t>(size));
  fault.kind = kind;
  fault.message = std::move(message);
  fault.value = text;
  fault.integer = !PyUnicode_Check(value);
  fault.detail = std::move(detail);
  fault.port = port;
  PyRef error = PyRef::steal(make_line_error(fault, 0, std::nullopt, Py_None));
  if (!error || PyObject_SetAttrString(error.get(), "value", value) < 0) return nullptr;
  PyErr_SetObject(vector_error_type(), error.get());
  return nullptr;
}

PyObject* read_inputs(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    static const char* keywords[] = {"inputs", "ports", "allow_unknown", "input_ports", nullptr};
    PyObject* inputs = nullptr;
    PyObject* ports = Py_None;
    int allow_unknown = 0;
    PyObject* input_ports = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpO:read_inputs",
                                     const_cast<char**>(keywords), &inputs, &ports, &allow_unknown,
                                     &input_ports)) {
      return nullptr;
    }
    if (!PyDict_Check(inputs)) {
      PyErr_Format(PyExc_TypeError, "argument 'inputs': expected a dict of name to value, not '%s'",
                   Py_TYPE(inputs)->tp_name);
      return nullptr;
    }
    if (!ensure_ids(state)) return nullptr;
    std::optional<VectorNames> names;
    if (!ports_argument(state, ports, names, input_ports)) return nullptr;
    // The entries held first: reading their texts may run Python code.
    PyRef items = PyRef::steal(PyDict_Items(inputs));
    if (!items) return nullptr;
    std::vector<PositionInput> writes;
    std::deque<std::string> kept;  // the bits the writes point to
    std::string text;
    std::string made;
    state.bit_strings.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      PyObject* name = PyTuple_GET_ITEM(item, 0);
      PyObject* value = PyTuple_GET_ITEM(item, 1);
      if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "argument 'inputs': names are str, not '%s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
      }
      if (!input_text(name, value, text)) return nullptr;
      std::uint32_t position = 0;
      const VectorNames::Port* port = nullptr;
      std::size_t width = 0;
      WriteRole role = WriteRole::kInput;
      // The ports come before the bus ids.
      Py_ssize_t size = 0;
      const char* id = PyUnicode_AsUTF8AndSize(name, &size);
      if (id == nullptr) return nullptr;
      const auto found_port =
          names ? names->find_port(std::string_view(id, static_cast<std::size_t>(size)))
                : std::nullopt;
      if (found_port) {
        port = &names->port(*found_port);
        width = names->port_width(*port);
        role = names->port_role(*found_port);
      } else {
        switch (find_bus(state, name, position)) {
          case Lookup::kFound:
            width = state.simulation.width(position);
            if (names) role = names->bus_role(position);
            break;
          case Lookup::kAbsent:
            if (allow_unknown != 0) continue;
            raise_unknown_input(state, name, std::nullopt);
            return nullptr;
          case Lookup::kError:
          case Lookup::kByText:  // resolved by find_bus
            return nullptr;
        }
      }
      if (role != WriteRole::kInput) {
        return raise_refused(name, value, text, port != nullptr, LineRefusal::kNotInput,
                             not_input_message(role), write_role_name(role));
      }
      Result<std::string_view> bits = VectorNames::value_bits(text, false, width, made);
      if (!bits.ok()) {
        std::string detail = std::move(bits).error();
        std::string message = (PyUnicode_Check(value) ? "\"" + text + "\" " : text + " ") + detail;
        return raise_refused(name, value, text, port != nullptr, LineRefusal::kValue,
                             std::move(message), std::move(detail));
      }
      if (PyUnicode_Check(value) && bit_string_may_mislead(text, width)) {
        state.bit_strings.push_back({0, std::string(id, static_cast<std::size_t>(size)), text});
      }
      kept.emplace_back(bits.value());
      const auto write = [&](std::uint32_t at, std::string_view written) {
        writes.push_back({at, written});
      };
      if (port != nullptr) {
        VectorNames::split(*port, kept.back(), write);
      } else {
        write(position, kept.back());
      }
    }
    // Refused as a step refuses them (a clock), in the simulation's words.
    if (auto refused = state.simulation.refused_step_input(writes)) {
      const VectorFault fault{0, writes[refused->first].position, refused->second.message};
      return raise_vector_fault(state, fault, 0, Py_None);
    }
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const PositionInput& write : writes) {
      PyRef bits = PyRef::steal(PyUnicode_FromStringAndSize(
          write.bits.data(), static_cast<Py_ssize_t>(write.bits.size())));
      if (!bits || PyDict_SetItem(result.get(), state.keys.key(write.position), bits.get()) < 0) {
        return nullptr;
      }
    }
    return result.release();
  });
}

PyObject* port_widths(PyObject* self, PyObject* ports) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    if (!ensure_ids(state)) return nullptr;
    std::optional<VectorNames> names;
    if (!PyDict_Check(ports)) {
      PyErr_SetString(PyExc_TypeError, "argument 'ports': expected a dict of str to bus ids");
      return nullptr;
    }
    if (!ports_argument(state, ports, names)) return nullptr;
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    PyRef items = PyRef::steal(PyDict_Items(ports));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(name, &size);
      if (text == nullptr) return nullptr;
      const auto port = names->find_port(std::string_view(text, static_cast<std::size_t>(size)));
      PyRef width = PyRef::steal(PyLong_FromSize_t(names->port_width(names->port(*port))));
      if (!width || PyDict_SetItem(result.get(), name, width.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

PyObject* get_bit_strings(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    SimulatorState& state = state_of(self);
    const SimulatorCall call(state);
    if (!call) return nullptr;
    PyRef result = PyRef::steal(PyList_New(0));
    if (!result) return nullptr;
    for (const BitStringNote& note : state.bit_strings) {
      PyRef entry_object =
          PyRef::steal(Py_BuildValue("(ns#s#)", static_cast<Py_ssize_t>(note.line), note.id.data(),
                                     static_cast<Py_ssize_t>(note.id.size()), note.value.data(),
                                     static_cast<Py_ssize_t>(note.value.size())));
      if (!entry_object || PyList_Append(result.get(), entry_object.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

PyMethodDef simulator_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update)),
     METH_VARARGS | METH_KEYWORDS,
     "update($self, inputs, *, allow_unknown=False, resets=True)\n--\n\n"
     "Writes the inputs (a dict of bus id to bit string) and lets the circuit settle, as\n"
     "Component.update_signals does, without a clock edge; a rejected input changes nothing.\n"
     "With registers, the asynchronous resets that are 1 then act, as levels do (raising a\n"
     "reset resets its registers at once); resets=False leaves them, for the plain update of\n"
     "update_signals. An id that names no bus is a ValueError suggesting the closest ids;\n"
     "allow_unknown=True skips it."},
    {"step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step)),
     METH_VARARGS | METH_KEYWORDS,
     "step($self, inputs=None, *, allow_unknown=False)\n--\n\n"
     "One step: for a design with registers one clock cycle (the inputs written before the\n"
     "edge, every clock rising then falling), otherwise one update. Ids as for update()."},
    {"values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(values)),
     METH_VARARGS | METH_KEYWORDS,
     "values($self, ids=None)\n--\n\nThe value of every bus, or of the busses named in ids."},
    {"memory", memory, METH_O,
     "memory($self, name)\n--\n\n"
     "The words of the memory named name now, as ints, word 0 (the word at the memory's\n"
     "offset) first."},
    {"load_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "load_memory($self, name, words)\n--\n\n"
     "Replaces the words of the memory named name with words (a sequence of ints, word 0\n"
     "first; the words it does not reach become 0), now and as the initial contents that\n"
     "reset() goes back to. The asynchronous read ports follow the new words at once (the\n"
     "asynchronous parts act, as after update({})); synchronous ones at their next edge."},
    {"widths", widths, METH_NOARGS,
     "widths($self)\n--\n\nThe width an input of each bus must have now, in bus_ids order."},
    {"stats", stats, METH_NOARGS,
     "stats($self)\n--\n\nCounts: busses, driven busses, gates, influence entries."},
    {"reset", reset, METH_NOARGS,
     "reset($self)\n--\n\n"
     "Puts every bus back to the initial state, as the simulator was built: the rendered\n"
     "values settled with every clock at 0, and the asynchronous resets applied; every\n"
     "memory back to its initial words (those of its last load_memory, if any)."},
    {"read_inputs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_inputs)),
     METH_VARARGS | METH_KEYWORDS,
     "read_inputs($self, inputs, *, ports=None, allow_unknown=False, input_ports=None)\n--\n\n"
     "The bus inputs (a dict of bus id to bit string) that write inputs (a dict of name\n"
     "to value) as a vector line writes them: a name is a port of ports or a bus (as for\n"
     "run_jsonl); a value a str (a bit string of the width, or a number) or an int. Refused\n"
     "as a step refuses them: a value that cannot be written, or a clock, raises\n"
     "VectorError (kind 'value' or 'run'), and with input_ports (as for run_jsonl) a name\n"
     "that is no input (kind 'input'); a name that is neither raises ValueError unless\n"
     "allow_unknown=True skips it. Changes nothing."},
    {"port_widths", port_widths, METH_O,
     "port_widths($self, ports)\n--\n\n"
     "The width a value written to each port of ports (a dict of port name to its bus ids,\n"
     "least significant bit first) has: a port of one bus takes a value of that bus's\n"
     "width, a port of many one bit per bus."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)),
     METH_VARARGS | METH_KEYWORDS,
     "run($self, vectors, show=None, *, allow_unknown=False)\n--\n\n"
     "Applies each vector (a dict of bus id to bit string) as step() would and returns,\n"
     "for each, a dict of the shown busses (every bus when show is None)."},
    {"run_bits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_bits)),
     METH_VARARGS | METH_KEYWORDS,
     "run_bits($self, inputs, data, outputs)\n--\n\n"
     "Applies each row of data (a 2-D buffer of 0/1 bytes, one column per bit of each\n"
     "input bus) and returns a 2-D memoryview of the output busses' bits, a row per vector."},
    {"run_sequences", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_sequences)),
     METH_VARARGS | METH_KEYWORDS,
     "run_sequences($self, inputs, data, outputs, *, threads=1)\n--\n\n"
     "Runs independent sequences of steps, each from the current state (which the call\n"
     "leaves as it was), side by side: data is a 3-D buffer of 0/1 bytes (sequences, steps,\n"
     "one column per bit of each input bus); returns a 3-D memoryview (sequences, steps,\n"
     "output bits). A bad step raises VectorError for the first sequence that has one.\n"
     "threads splits the sequences of a one-pass design over that many threads, with the\n"
     "same results."},
    {"run_sequences_jsonl",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_sequences_jsonl)),
     METH_VARARGS | METH_KEYWORDS,
     "run_sequences_jsonl($self, blocks, show=None, *, ports=None, input_ports=None,\n"
     "                    threads=1)\n--\n\n"
     "Runs one sequence per item of blocks (bytes of JSON Lines, one step per line), each\n"
     "from the current state (which the call leaves as it was), side by side. Returns one\n"
     "(values, unknown, error) per sequence: a tuple of the shown busses' texts per step,\n"
     "(line, id) for ids that name nothing, and None or the VectorError (not raised) that\n"
     "stopped the sequence. ports, input_ports (and port names in show) as for run_jsonl;\n"
     "threads as for run_sequences."},
    {"run_jsonl", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_jsonl)),
     METH_VARARGS | METH_KEYWORDS,
     "run_jsonl($self, data, show=None, first_line=1, *, layout=None, threads=1,\n"
     "          ports=None, input_ports=None)\n--\n\n"
     "Applies each JSON line of data (bytes) and returns (values, unknown): a tuple of the\n"
     "shown busses' texts per vector, and (line, id) for ids that name nothing. With ports\n"
     "(a dict of port name to its bus ids, least significant bit first), a line may also\n"
     "name a port, looked up before the bus ids, and write a value as a number (a str such\n"
     "as '0x52e6', \"16'h52e6\", '-3', or a JSON integer), as nimbo run reads them, and show\n"
     "may name ports, each shown as its busses' texts side by side. With input_ports (the\n"
     "names of the ports of ports that are inputs), lines write only inputs: a bus driven\n"
     "by logic, a register's q, another port or a port holding such a bus is refused\n"
     "(VectorError kind 'input', its detail 'output', 'logic' or 'state'). With layout\n"
     "(first_step, step_width, fragments[, columns]), values is one str of rows instead: per\n"
     "vector fragments[0], the step number right-aligned to step_width, fragments[1], then\n"
     "each column followed by the next fragment. A column is one shown name, or with columns,\n"
     "a sequence of (names, radix, pad), that many shown names joined (element 0 first),\n"
     "shown as they are (radix None) or, above one bit, as a number in radix 'bin', 'hex' or\n"
     "'dec' right-aligned to pad characters. threads=2 reads a large block's second half\n"
     "on a thread of its own."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef simulator_getset[] = {
    {"id", get_id, nullptr, "The component id.", nullptr},
    {"bus_ids", get_bus_ids, nullptr, "Every bus id, in declaration order.", nullptr},
    {"driven", get_driven, nullptr, "For each bus, whether an assignment drives it.", nullptr},
    {"one_pass", get_one_pass, nullptr,
     "True when every update runs as one pass (no feedback, reads that settle).", nullptr},
    {"feedback", get_feedback, nullptr,
     "True when some bus reads itself through a chain of driven busses.", nullptr},
    {"clocks", get_clocks, nullptr,
     "The clock busses of the registers and memories, in the order the registers, then the\n"
     "memories, first name them.",
     nullptr},
    {"memories", get_memories, nullptr,
     "The memories: name -> (words, width, offset), in the IR's order; offset is the\n"
     "address of word 0.",
     nullptr},
    {"bit_strings", get_bit_strings, nullptr,
     "(line, name, value) for each name that the lines of the last run_jsonl call with ports\n"
     "(or the last read_inputs call, line 0) wrote with 0s and 1s of exactly its width,\n"
     "above one bit: read as a bit string (element 0 first) where a number may have been\n"
     "meant; its first such value.",
     nullptr},
    {"next_line", get_next_line, nullptr,
     "The number of the line after the data of the last run_jsonl call: its first_line plus\n"
     "the newlines in its data. A caller reading a file in blocks passes it on as the next\n"
     "block's first_line.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot simulator_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Simulator(ir, *, x_initial='zero', seed=None)\n--\n\n"
         "A circuit rendered from an IR text, simulated one update or many vectors "
         "at a time.\nRegisters and memory words the IR marks uninitialised start all 0 (x_initial="
         "'zero'), all 1 ('ones') or\nat bits drawn from seed ('random'; the same "
         "seed gives the same bits everywhere).")},
    {Py_tp_new, reinterpret_cast<void*>(simulator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(simulator_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(simulator_repr)},
    {Py_tp_methods, simulator_methods},
    {Py_tp_getset, simulator_getset},
    {0, nullptr},
};

PyType_Spec simulator_spec = {
    "nimbo.Simulator", static_cast<int>(sizeof(SimulatorObject)), 0, Py_TPFLAGS_DEFAULT,
    simulator_slots,
};

}  // namespace

SimulatorState* simulator_state(PyObject* object, const char* argument) {
  PyObject* type = simulator_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a nimbo.Simulator, not '%s'", argument,
                 Py_TYPE(object)->tp_name);
    return nullptr;
  }
  return &state_of(object);
}

PyObject* simulator_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&simulator_spec);
  return type;
}

}  // namespace nimbo::py
