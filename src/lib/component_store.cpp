#include "lib/component_store.hpp"

namespace nimbo::py {

ComponentStore& ComponentStore::instance() {
  static ComponentStore store;
  return store;
}

ComponentStore::Key ComponentStore::add(Component component) {
  {
    PoisonGuard guard(store_lock_);
    if (!components_) components_.emplace();
  }
  Key key = 0;
  {
    PoisonGuard guard(counter_lock_);
    key = next_key_++;
  }
  Simulation simulation(std::move(component));
  std::optional<Simulation> replaced;  // destroyed after the unlock
  {
    PoisonGuard guard(store_lock_);
    auto [slot, inserted] = components_->try_emplace(key, std::move(simulation));
    if (!inserted) {
      replaced.emplace(std::move(slot->second));
      slot->second = std::move(simulation);
    }
  }
  return key;
}

std::optional<Simulation> ComponentStore::take(Key key) {
  std::optional<Simulation> taken;
  PoisonGuard guard(store_lock_);
  if (!components_) return taken;
  auto node = components_->extract(key);
  if (!node.empty()) taken.emplace(std::move(node.mapped()));
  return taken;
}

}  // namespace nimbo::py
