#include "renderer/vector_names.hpp"

namespace nimbo {

void VectorNames::add_port(std::string name, std::vector<std::uint32_t> positions, bool input) {
  const auto index = static_cast<std::uint32_t>(ports_.size());
  if (!index_.emplace(name, index).second) return;
  ports_.push_back(Port{std::move(name), std::move(positions)});
  port_inputs_.push_back(input);
}

void VectorNames::take_only_inputs(std::vector<WriteRole> roles) {
  bus_roles_ = std::move(roles);
  port_roles_.assign(ports_.size(), WriteRole::kInput);
  for (std::size_t p = 0; p < ports_.size(); ++p) {
    // A port says what its first bus that is no input is; a port that is no
    // input and holds only inputs (an output wired to an input, a net of
    // input bits) is refused as what it is.
    WriteRole role = port_inputs_[p] ? WriteRole::kInput : WriteRole::kOutput;
    for (const std::uint32_t position : ports_[p].positions) {
      if (bus_roles_[position] != WriteRole::kInput) {
        role = bus_roles_[position];
        break;
      }
    }
    port_roles_[p] = role;
  }
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
