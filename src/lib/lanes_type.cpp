// nimbo._engine.Lanes: many copies of a Testbench's design side by side, one
// per lane (engine/reactive_lanes.hpp), driven call by call: each name takes
// one value per lane (a sequence, a 1-D buffer of integers such as a NumPy
// array, or one value for every lane), converted in C++, and each output
// comes back as one int per lane. A call converts every value before it
// writes any; the lanes it holds are left exactly as they are.
#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/messages.hpp"
#include "engine/reactive_lanes.hpp"
#include "lib/fault.hpp"
#include "lib/in_object.hpp"
#include "lib/port_table.hpp"
#include "lib/port_values.hpp"
#include "lib/py_ref.hpp"
#include "lib/py_text.hpp"
#include "lib/simulator_state.hpp"
#include "lib/testbench_state.hpp"
#include "lib/testbench_type.hpp"

namespace nimbo::py {
namespace {

using Signal = ReactiveLanes::Signal;

// The lane signals of a port: every bit's, and for writing those of the
// bits of busses without an assignment (kNoSignal for the others).
struct PortSignals {
  bool ready = false;
  std::vector<Signal> read;
  std::vector<Signal> write;
};

// A converted value: its port, and where its words start in LanesState::store
// (lane l, word w at start + l * words + w).
struct GivenValue {
  const TablePort* port;
  std::size_t table_index;
  std::size_t start;
};

struct LanesState {
  PyRef testbench;
  TestbenchState* bench = nullptr;  // the testbench's, alive while `testbench` is
  PyRef array;                      // None, or array(data, signed) for outputs
  std::unique_ptr<ReactiveLanes> lanes;
  std::vector<PortSignals> signals;  // by table index
  // Reused by every call.
  std::vector<GivenValue> given;
  std::vector<Word> store;
  std::vector<Word> words;
  std::vector<Word> chunk;
  std::vector<std::size_t> failed;
};

struct LanesObject {
  PyObject_HEAD InObject<LanesState> state;
};

LanesState& lanes_of(PyObject* self) {
  return reinterpret_cast<LanesObject*>(self)->state.get();
}

const PortSignals& port_signals(LanesState& lanes, std::size_t index) {
  if (lanes.signals.size() <= index) lanes.signals.resize(index + 1);
  PortSignals& signals = lanes.signals[index];
  if (signals.ready) return signals;
  const ReactiveLanes& engine = *lanes.lanes;
  const TablePort& port = lanes.bench->table.at(index);
  const auto& positions = port.port.positions;
  for (const std::uint32_t position : positions) {
    const auto bits = engine.signals(position);
    const std::size_t taken =
        positions.size() == 1 ? bits.size() : std::min<std::size_t>(1, bits.size());
    for (std::size_t b = 0; b < taken; ++b) {
      signals.read.push_back(bits[b]);
      signals.write.push_back(engine.is_input(position) ? bits[b] : LanePass::kNoSignal);
    }
  }
  signals.ready = true;
  return signals;
}

// The mask of every lane.
std::vector<Word> all_lanes(const ReactiveLanes& lanes) {
  std::vector<Word> mask(lanes.mask_words(), ~Word{0});
  if (lanes.count() % 64 != 0) mask.back() = (Word{1} << (lanes.count() % 64)) - 1;
  return mask;
}

// A mask argument: None (`none_means_all`: every lane, else none), or one
// truth value per lane (a sequence, or a 1-D buffer). Empty with an
// exception set.
std::optional<std::vector<Word>> mask_argument(const ReactiveLanes& lanes, PyObject* object,
                                               const char* name, bool none_means_all) {
  std::vector<Word> mask(lanes.mask_words(), 0);
  if (object == Py_None) {
    if (none_means_all) return all_lanes(lanes);
    return mask;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(object, ""));
  if (!sequence) {
    PyErr_Format(PyExc_TypeError, "%s: expected one truth value per lane, not %s", name,
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  const auto size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
  if (size != lanes.count()) {
    PyErr_Format(PyExc_ValueError, "%s: %zu values for %zu lanes; give one per lane", name, size,
                 lanes.count());
    return std::nullopt;
  }
  for (std::size_t l = 0; l < size; ++l) {
    const int on =
        PyObject_IsTrue(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(l)));
    if (on < 0) return std::nullopt;
    if (on != 0) mask[l / 64] |= Word{1} << (l % 64);
  }
  return mask;
}

// The prefix of a refusal for lane `lane`.
std::string lane_prefix(std::size_t lane) {
  return "lane " + std::to_string(lane) + ": ";
}

// A buffer of integers, one per lane, read element by element as a signed
// or unsigned 64-bit number.
struct IntegerBuffer {
  Py_buffer view{};
  bool held = false;
  bool is_signed = false;
  IntegerBuffer() = default;
  IntegerBuffer(const IntegerBuffer&) = delete;
  IntegerBuffer& operator=(const IntegerBuffer&) = delete;
  ~IntegerBuffer() {
    if (held) PyBuffer_Release(&view);
  }
  // Element `index` as the int it holds; null with an exception set.
  PyObject* item(std::size_t index) const {
    const char* at =
        static_cast<const char*>(view.buf) +
        static_cast<Py_ssize_t>(index) * (view.strides ? view.strides[0] : view.itemsize);
    long long number = 0;
    unsigned long long unsigned_number = 0;
    switch (view.itemsize) {
      case 1:
        if (is_signed) {
          number = *reinterpret_cast<const std::int8_t*>(at);
        } else {
          unsigned_number = *reinterpret_cast<const std::uint8_t*>(at);
        }
        break;
      case 2:
        if (is_signed) {
          number = *reinterpret_cast<const std::int16_t*>(at);
        } else {
          unsigned_number = *reinterpret_cast<const std::uint16_t*>(at);
        }
        break;
      case 4:
        if (is_signed) {
          number = *reinterpret_cast<const std::int32_t*>(at);
        } else {
          unsigned_number = *reinterpret_cast<const std::uint32_t*>(at);
        }
        break;
      default:
        if (is_signed) {
          number = *reinterpret_cast<const std::int64_t*>(at);
        } else {
          unsigned_number = *reinterpret_cast<const std::uint64_t*>(at);
        }
        break;
    }
    return is_signed ? PyLong_FromLongLong(number) : PyLong_FromUnsignedLongLong(unsigned_number);
  }
};

// Whether a buffer of this struct format holds native integers (or bools).
bool integer_format(const char* format, bool& is_signed) {
  std::string_view kind = format != nullptr ? format : "B";
  if (!kind.empty() && (kind.front() == '@' || kind.front() == '=' ||
                        (kind.front() == '<' && std::endian::native == std::endian::little))) {
    kind.remove_prefix(1);
  }
  if (kind.size() != 1) return false;
  const std::string_view signed_kinds = "bhilqn";
  const std::string_view unsigned_kinds = "BHILQN?";
  is_signed = signed_kinds.find(kind.front()) != std::string_view::npos;
  return is_signed || unsigned_kinds.find(kind.front()) != std::string_view::npos;
}

// Converts the value of `port` for every lane into `out` (lane-major,
// `words` words a lane). False with an exception set.
bool lane_values(PyObject* value, const TablePort& port, std::size_t count, std::size_t words,
                 Word* out, std::vector<Word>& scratch) {
  const auto broadcast = [&]() {
    if (!value_words(value, port.width, {{}, port.label}, scratch)) return false;
    for (std::size_t l = 0; l < count; ++l) std::copy_n(scratch.begin(), words, out + l * words);
    return true;
  };
  if (PyUnicode_Check(value) || PyLong_Check(value)) return broadcast();
  const auto one_lane = [&](std::size_t lane, PyObject* item) {
    if (PyLong_CheckExact(item)) {
      // The common case, without a message unless it does not fit.
      const int fits = int_words(item, port.width, out + lane * words);
      if (fits > 0) return true;
      if (fits < 0) return false;
    }
    const std::string prefix = lane_prefix(lane);
    if (!value_words(item, port.width, {prefix, port.label}, scratch)) return false;
    std::copy_n(scratch.begin(), words, out + lane * words);
    return true;
  };
  const auto wrong_count = [&](std::size_t size) {
    PyErr_Format(PyExc_ValueError,
                 "%s: %zu values for %zu lanes; give one per lane, or one value for all",
                 port.label.c_str(), size, count);
    return false;
  };
  if (PyObject_CheckBuffer(value)) {
    IntegerBuffer buffer;
    if (PyObject_GetBuffer(value, &buffer.view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return false;
    buffer.held = true;
    if (buffer.view.ndim == 0) return broadcast();  // a NumPy scalar
    if (buffer.view.ndim != 1 || !integer_format(buffer.view.format, buffer.is_signed) ||
        (buffer.view.itemsize != 1 && buffer.view.itemsize != 2 && buffer.view.itemsize != 4 &&
         buffer.view.itemsize != 8)) {
      PyErr_Format(PyExc_TypeError,
                   "%s: values are ints: one per lane, or a 1-D array of integers, not a "
                   "%d-D buffer of format '%s'",
                   port.label.c_str(), buffer.view.ndim,
                   buffer.view.format != nullptr ? buffer.view.format : "B");
      return false;
    }
    if (static_cast<std::size_t>(buffer.view.shape[0]) != count) {
      return wrong_count(static_cast<std::size_t>(buffer.view.shape[0]));
    }
    for (std::size_t l = 0; l < count; ++l) {
      PyRef item = PyRef::steal(buffer.item(l));
      if (!item) return false;
      const int fits = int_words(item.get(), port.width, out + l * words);
      if (fits < 0) return false;
      if (fits == 0) {
        const std::string prefix = lane_prefix(l);
        raise_int_does_not_fit(item.get(), port.width, {prefix, port.label});
        return false;
      }
    }
    return true;
  }
  if (PySequence_Check(value)) {
    PyRef sequence = PyRef::steal(PySequence_Fast(value, ""));
    if (!sequence) return false;
    const auto size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
    if (size != count) return wrong_count(size);
    for (std::size_t l = 0; l < count; ++l) {
      if (!one_lane(l, PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(l)))) {
        return false;
      }
    }
    return true;
  }
  return broadcast();  // an integer of another type, or a refusal naming its type
}

// Converts the values of `given` into lanes.given and lanes.store; names as
// Testbench's calls refuse them (KeyError(name) for nimbo.DesignLanes to word).
bool convert_values(LanesState& lanes, PyObject* given, PyObject* other, PortRole role) {
  const ReactiveLanes& engine = *lanes.lanes;
  const Simulation& simulation = lanes.bench->state->simulation;
  Py_ssize_t at = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(given, &at, &name, &value)) {
    bool error = false;
    const TablePort* port = lanes.bench->table.find(name, error);
    if (error) return false;
    if (port == nullptr || port->role != role) {
      PyErr_SetObject(PyExc_KeyError, name);
      return false;
    }
    if (other != nullptr) {
      const int twice = PyDict_Contains(other, name);
      if (twice < 0) return false;
      if (twice == 1) {
        PyErr_Format(PyExc_TypeError, "%s %R is given twice, in the mapping and by keyword",
                     role == PortRole::kState ? "state" : "input", name);
        return false;
      }
    }
    for (const std::uint32_t position : port->port.positions) {
      if (!simulation.is_clock(position)) continue;
      raise_error(PyExc_ValueError,
                  messages::clock_written(simulation.model().busses().id(position)));
      return false;
    }
    const std::size_t words = BitBusValue::words_for(port->width);
    const std::size_t start = lanes.store.size();
    lanes.store.resize(start + words * engine.count());
    if (!lane_values(value, *port, engine.count(), words, lanes.store.data() + start,
                     lanes.words)) {
      return false;
    }
    lanes.given.push_back({port, port->index, start});
  }
  return true;
}

// The values of the port at table index `index` in every lane, as a list of
// ints, or (`as_array`, with an array maker) what lanes.array makes of them.
PyObject* lane_port_values(LanesState& lanes, std::size_t index, bool is_signed, bool as_array) {
  const ReactiveLanes& engine = *lanes.lanes;
  const std::vector<Signal>& signals = port_signals(lanes, index).read;
  const std::size_t count = engine.count();
  const std::size_t words = BitBusValue::words_for(signals.size());
  lanes.store.assign(count * words, 0);
  lanes.chunk.resize(count);
  for (std::size_t c = 0; c < words; ++c) {
    const std::size_t first = c * 64;
    const std::span<const Signal> part(signals.data() + first,
                                       std::min<std::size_t>(64, signals.size() - first));
    engine.read(part, lanes.chunk.data());
    for (std::size_t l = 0; l < count; ++l) lanes.store[l * words + c] = lanes.chunk[l];
  }
  const std::size_t width = signals.size();
  as_array = as_array && lanes.array;
  if (as_array && width <= 64) {
    // Raw 64-bit numbers, sign-extended when signed.
    if (is_signed && width != 0 && width < 64) {
      const Word sign = Word{1} << (width - 1);
      for (Word& word : lanes.store) {
        if (word & sign) word |= ~BitBusValue::narrow_mask(width);
      }
    }
    PyRef bytes = PyRef::steal(
        PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(lanes.store.data()),
                                      static_cast<Py_ssize_t>(count * sizeof(Word))));
    if (!bytes) return nullptr;
    return PyObject_CallFunctionObjArgs(lanes.array.get(), bytes.get(),
                                        is_signed ? Py_True : Py_False, nullptr);
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t l = 0; l < count; ++l) {
    PyObject* number = signed_int_of_words(lanes.store.data() + l * words, width, is_signed);
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(l), number);
  }
  if (!as_array) return list.release();
  return PyObject_CallFunctionObjArgs(lanes.array.get(), list.get(), is_signed ? Py_True : Py_False,
                                      nullptr);
}

PyObject* output_values(LanesState& lanes) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  for (const std::size_t index : lanes.bench->outputs) {
    PyRef values = PyRef::steal(lane_port_values(lanes, index, false, true));
    if (!values ||
        PyDict_SetItem(result.get(), lanes.bench->table.at(index).name.get(), values.get()) < 0) {
      return nullptr;
    }
  }
  return result.release();
}

// Raises RuntimeError for the lanes whose resets did not settle.
PyObject* raise_failed(const std::vector<std::size_t>& failed) {
  std::string lanes = failed.size() == 1 ? "lane " : "lanes ";
  for (std::size_t i = 0; i < failed.size(); ++i) {
    lanes += (i == 0 ? "" : ", ") + std::to_string(failed[i]);
  }
  return raise_error(PyExc_RuntimeError, lanes + ": " + std::string(messages::kResetsDidNotSettle) +
                                             " (the other lanes took the call)");
}

enum class Call { kStep, kSettle, kPoke };

// step(values, named, hold), settle(...), poke(...).
PyObject* write_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, Call call) {
  return entry([&]() -> PyObject* {
    if (nargs != 3 || (args[0] != Py_None && !PyDict_Check(args[0])) || !PyDict_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError, "expected (values: dict | None, named: dict, hold)");
      return nullptr;
    }
    LanesState& lanes = lanes_of(self);
    SimulatorState& state = *lanes.bench->state;
    const SimulatorCall lock(state);
    if (!lock) return nullptr;
    ReactiveLanes& engine = *lanes.lanes;
    const auto held = mask_argument(engine, args[2], "hold", false);
    if (!held) return nullptr;
    std::vector<Word> acting = all_lanes(engine);
    for (std::size_t w = 0; w < acting.size(); ++w) acting[w] &= ~(*held)[w];
    lanes.given.clear();
    lanes.store.clear();
    const PortRole role = call == Call::kPoke ? PortRole::kState : PortRole::kInput;
    PyObject* values = args[0] == Py_None ? nullptr : args[0];
    if (values != nullptr && !convert_values(lanes, values, nullptr, role)) return nullptr;
    if (!convert_values(lanes, args[1], values, role)) return nullptr;
    const std::size_t count = engine.count();
    lanes.chunk.resize(count);
    for (const GivenValue& given : lanes.given) {
      const std::vector<Signal>& signals = port_signals(lanes, given.table_index).write;
      const std::size_t words = BitBusValue::words_for(given.port->width);
      for (std::size_t c = 0; c * 64 < signals.size(); ++c) {
        for (std::size_t l = 0; l < count; ++l) {
          lanes.chunk[l] = lanes.store[given.start + l * words + c];
        }
        const std::span<const Signal> part(signals.data() + c * 64,
                                           std::min<std::size_t>(64, signals.size() - c * 64));
        engine.write(part, lanes.chunk.data(), acting);
      }
    }
    lanes.failed.clear();
    if (call == Call::kStep) {
      engine.step(acting, lanes.failed);
    } else {
      engine.settle(acting, lanes.failed);
    }
    if (!lanes.failed.empty()) return raise_failed(lanes.failed);
    if (call == Call::kPoke) Py_RETURN_NONE;
    return output_values(lanes);
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

PyObject* reset(PyObject* self, PyObject* mask_object) {
  return entry([&]() -> PyObject* {
    LanesState& lanes = lanes_of(self);
    SimulatorState& state = *lanes.bench->state;
    const SimulatorCall lock(state);
    if (!lock) return nullptr;
    const auto mask = mask_argument(*lanes.lanes, mask_object, "lanes", true);
    if (!mask) return nullptr;
    lanes.lanes->load(state.initial.values, state.initial.words, *mask);
    Py_RETURN_NONE;
  });
}

// The table index of the entry or bus named `name`; nullopt with
// KeyError(name) when it is neither.
std::optional<std::size_t> index_of(LanesState& lanes, PyObject* name) {
  bool error = false;
  const TablePort* port = lanes.bench->table.find(name, error);
  if (error) return std::nullopt;
  if (port == nullptr) {
    PyErr_SetObject(PyExc_KeyError, name);
    return std::nullopt;
  }
  return port->index;
}

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    if (nargs < 1 || nargs > 2) {
      PyErr_SetString(PyExc_TypeError, "read(name, signed=False) takes one or two arguments");
      return nullptr;
    }
    const int is_signed = nargs == 2 ? PyObject_IsTrue(args[1]) : 0;
    if (is_signed < 0) return nullptr;
    LanesState& lanes = lanes_of(self);
    const SimulatorCall lock(*lanes.bench->state);
    if (!lock) return nullptr;
    const auto index = index_of(lanes, args[0]);
    if (!index) return nullptr;
    return lane_port_values(lanes, *index, is_signed != 0, true);
  });
}

// read_lane(names, lane): the unsigned values of names in one lane, as a list.
PyObject* read_lane(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "read_lane(names, lane) takes two arguments");
      return nullptr;
    }
    LanesState& lanes = lanes_of(self);
    const SimulatorCall lock(*lanes.bench->state);
    if (!lock) return nullptr;
    const Py_ssize_t lane = PyLong_AsSsize_t(args[1]);
    if (lane == -1 && PyErr_Occurred()) return nullptr;
    if (lane < 0 || static_cast<std::size_t>(lane) >= lanes.lanes->count()) {
      PyErr_Format(PyExc_IndexError, "lane %zd: there are %zu lanes", lane, lanes.lanes->count());
      return nullptr;
    }
    PyRef sequence = PyRef::steal(PySequence_Fast(args[0], "expected a sequence of names"));
    if (!sequence) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    PyRef result = PyRef::steal(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      const auto index = index_of(lanes, PySequence_Fast_GET_ITEM(sequence.get(), i));
      if (!index) return nullptr;
      PyRef values = PyRef::steal(lane_port_values(lanes, *index, false, false));
      if (!values) return nullptr;
      PyList_SET_ITEM(result.get(), i, Py_NewRef(PyList_GET_ITEM(values.get(), lane)));
    }
    return result.release();
  });
}

PyObject* get_count(PyObject* self, void*) {
  return entry([&] { return PyLong_FromSize_t(lanes_of(self).lanes->count()); });
}

PyObject* lanes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    static const char* keywords[] = {"testbench", "count", "array", nullptr};
    PyObject* testbench = nullptr;
    Py_ssize_t count = 0;
    PyObject* array = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|O:Lanes", const_cast<char**>(keywords),
                                     &testbench, &count, &array)) {
      return nullptr;
    }
    TestbenchState* bench = testbench_state(testbench, "testbench");
    if (bench == nullptr) return nullptr;
    if (count < 1) {
      PyErr_Format(PyExc_ValueError, "count: lanes are 1 or more, not %zd", count);
      return nullptr;
    }
    if (array != Py_None && !PyCallable_Check(array)) {
      PyErr_SetString(PyExc_TypeError, "array: expected None or a callable");
      return nullptr;
    }
    PyObject* allocated = type->tp_alloc(type, 0);
    if (allocated == nullptr) return nullptr;
    try {
      reinterpret_cast<LanesObject*>(allocated)->state.construct();
    } catch (...) {
      // The object never held a state: give its memory back untouched.
      type->tp_free(allocated);
      Py_DECREF(type);
      throw;
    }
    PyRef self = PyRef::steal(allocated);
    LanesState& lanes = lanes_of(self.get());
    lanes.testbench = PyRef::borrow(testbench);
    lanes.bench = bench;
    if (array != Py_None) lanes.array = PyRef::borrow(array);
    const SimulatorCall lock(*bench->state);
    if (!lock) return nullptr;
    bool over_budget = false;
    lanes.lanes =
        bench->state->simulation.reactive_lanes(static_cast<std::size_t>(count), &over_budget);
    if (over_budget) {
      PyErr_Format(PyExc_ValueError,
                   "%zd lanes need a copy of the memories' words per lane, more than the lane "
                   "memory budget of %zu MiB; use fewer lanes",
                   count, Simulation::kLaneMemoryBudget >> 20);
      return nullptr;
    }
    if (!lanes.lanes) {
      PyErr_SetString(PyExc_ValueError,
                      "lanes need a design that runs as one pass; this one has "
                      "combinational feedback or reads that do not settle");
      return nullptr;
    }
    return self.release();
  });
}

void lanes_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<LanesObject*>(self)->state.destroy();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef lanes_methods[] = {
    {"step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step)), METH_FASTCALL,
     "step($self, values, named, hold, /)\n--\n\n"
     "Writes the inputs of values (a dict or None) and named (a dict), one value per lane or\n"
     "one for all, into the lanes hold (None, or one truth value per lane) leaves out, then\n"
     "those lanes take one step; returns every output as one int per lane."},
    {"settle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settle)), METH_FASTCALL,
     "settle($self, values, named, hold, /)\n--\n\nThe same without a clock edge."},
    {"poke", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(poke)), METH_FASTCALL,
     "poke($self, values, named, hold, /)\n--\n\nWrites registers' state, then settles."},
    {"reset", reset, METH_O,
     "reset($self, lanes, /)\n--\n\n"
     "Puts the lanes of the mask (None: every lane) back to the initial state."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     "read($self, name, signed=False, /)\n--\n\nThe value of an entry or a bus in every lane."},
    {"read_lane", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_lane)),
     METH_FASTCALL,
     "read_lane($self, names, lane, /)\n--\n\nThe unsigned values of names in one lane."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef lanes_getset[] = {
    {"count", get_count, nullptr, "The number of lanes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lanes_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Lanes(testbench, count, array=None)\n--\n\n"
                       "count copies of a Testbench's design side by side, one per lane, each in "
                       "the state the design has now (nimbo.DesignLanes' native path). With array, "
                       "outputs are array(data, signed) of a bytearray of 64-bit numbers (or a "
                       "list of ints, above 64 bits) instead of lists.")},
    {Py_tp_new, reinterpret_cast<void*>(lanes_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lanes_dealloc)},
    {Py_tp_methods, lanes_methods},
    {Py_tp_getset, lanes_getset},
    {0, nullptr},
};

PyType_Spec lanes_spec = {
    "nimbo._engine.Lanes", static_cast<int>(sizeof(LanesObject)), 0, Py_TPFLAGS_DEFAULT,
    lanes_slots,
};

}  // namespace

PyObject* lanes_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&lanes_spec);
  return type;
}

}  // namespace nimbo::py
