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

Result<std::string_view> VectorNames::number_bits(std::string_view value, bool integer,
                                                  std::size_t width, std::string& made) {
  Result<BitBusValue> parsed = Error{};
  if (integer && !value.starts_with('-')) {
    // With its sign, so that it never reads as a bit string.
    made.assign("+");
    made.append(value);
    parsed = read_number_text(made, width);
  } else {
    parsed = read_number_text(value, width);
  }
  if (!parsed.ok()) return Error{std::move(parsed).error()};
  made = parsed.value().to_string();
  return std::string_view(made);
}

}  // namespace nimbo
