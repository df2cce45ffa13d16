// ComponentStore: the process-wide registry of components handed to Python.
//
// Components live here from the moment a Renderer hands its component out
// until the Python handle for it is released. Keys are unsigned 64-bit
// numbers from 0 upwards and are never reused. The store lock and the key
// counter lock are separate and never held together. Nothing in here is a
// Python object: the store outlives the interpreter.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "engine/simulation.hpp"
#include "lib/poison_lock.hpp"

namespace nimbo::py {

class ComponentStore {
 public:
  using Key = std::uint64_t;

  static ComponentStore& instance();

  // Stores `component`, to be simulated, under the next key and returns that key.
  Key add(Component component);

  // Runs `action(simulation)` with the store locked. False when no component
  // sits under `key` (the action does not run then). The action must not
  // call into Python.
  template <class Action>
  bool with_component(Key key, Action&& action) {
    PoisonGuard guard(store_lock_);
    if (!components_) return false;
    const auto found = components_->find(key);
    if (found == components_->end()) return false;
    std::forward<Action>(action)(found->second);
    return true;
  }

  // Takes the component under `key` out of the store. The caller destroys it
  // after the lock is released.
  std::optional<Simulation> take(Key key);

 private:
  ComponentStore() = default;

  PoisonableMutex store_lock_{"the component store lock"};
  std::optional<std::unordered_map<Key, Simulation>> components_;

  PoisonableMutex counter_lock_{"the store key counter lock"};
  Key next_key_ = 0;
};

}  // namespace nimbo::py
