// Building the value dictionaries ({bus id: bit string}) returned to Python.
//
// A handle keeps a BusKeys cache: the bus-id str objects in table order and
// a template dict with those keys, so each read creates no key objects and
// fills a presized copy of the template. One-bit values reuse two str
// objects made once; a wider value reuses the str of the previous read when
// the value has not changed since, and is otherwise written straight into a
// new str object.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "component/component.hpp"
#include "engine/update_control.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"

namespace nimbo::py {

// Creates the cached one-bit strs. False with an exception set on failure.
bool init_value_texts();
// A new reference to the cached str "1" (when `one`) or "0".
PyObject* shared_bit_text(bool one);

// The bus ids of `component` in table order. Runs under the store lock: it
// copies, it creates no Python objects.
std::vector<std::string> copy_bus_ids(const Component& component);

// A component's bus ids as Python strs: the keys of its value dictionaries,
// and the way from a key given by Python back to its bus position.
class BusKeys {
 public:
  bool ready() const noexcept { return static_cast<bool>(keys_); }
  // Builds the cache from the ids that copy_bus_ids returned. False with
  // the exception set when `control` stops it (Ctrl-C); nothing is kept.
  bool build(const std::vector<std::string>& ids, const UpdateControl& control);

  // The key of the bus at `position` (borrowed), and all of them in order.
  PyObject* key(std::size_t position) const noexcept {
    return PyTuple_GET_ITEM(keys_.get(), static_cast<Py_ssize_t>(position));
  }
  PyObject* keys() const noexcept { return keys_.get(); }

  // Where the bus named by the str `id` is. An exact str is found by the
  // hash it carries, so no id bytes are hashed; a str subclass is to be
  // found by its text (kByText), whatever its own __eq__ and __hash__ say.
  enum class Lookup { kFound, kAbsent, kByText, kError };
  Lookup find(PyObject* id, std::uint32_t& position) const;
  // A new dict mapping every bus id to the text of its value in `values`
  // (table order, as Simulation::snapshot gives it). Null with an exception set
  // when an insertion fails.
  PyObject* make_dict(std::span<const BitBusValue> values);

 private:
  // The str for the value at `position`: shared, reused or new.
  PyObject* value_text(std::size_t position, const BitBusValue& value, bool use_cache);

  PyRef keys_;       // tuple of str, table order
  PyRef template_;   // dict {key: None} in table order
  PyRef positions_;  // dict {key: position}
  // Texts of the previous read for values wider than one bit, and the values
  // they show. Filled on the first such value; left alone by a read nested in
  // another (a finaliser run during an allocation may read the same handle).
  std::vector<BitBusValue> shown_values_;
  std::vector<PyRef> shown_texts_;
  bool reading_ = false;
};

}  // namespace nimbo::py
