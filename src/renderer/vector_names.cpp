#include "renderer/vector_names.hpp"

namespace nimbo {

void VectorNames::add_port(std::string name, std::vector<std::uint32_t> positions) {
  const auto index = static_cast<std::uint32_t>(ports_.size());
  if (!index_.emplace(name, index).second) return;
  ports_.push_back(Port{std::move(name), std::move(positions)});
}

std::optional<std::uint32_t> VectorNames::find_port(std::string_view name) const {
  const auto found = index_.find(name);
  if (found == index_.end()) return std::nullopt;
  return found->second;
}

}  // namespace nimbo
