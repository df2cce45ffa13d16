// What a vector line may name besides bus ids, and how it may write values
// besides bit strings: ports, each the busses of its bits, and numbers, read
// at the width of the bus or port they are written to (busses/number_text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nimbo {

class VectorNames {
 public:
  // `width` gives the width a value written to the bus at a position must
  // have.
  explicit VectorNames(std::function<std::size_t(std::uint32_t)> width)
      : width_(std::move(width)) {}

  // A port: its busses, least significant bit first. A port of one bus
  // takes the whole value as that bus's value, whatever its width.
  struct Port {
    std::string name;
    std::vector<std::uint32_t> positions;
  };
  // Adds a port; a name given twice keeps its first busses.
  void add_port(std::string name, std::vector<std::uint32_t> positions);

  // The index of the port named `name`.
  std::optional<std::uint32_t> find_port(std::string_view name) const;
  const Port& port(std::uint32_t index) const { return ports_[index]; }

  std::size_t width(std::uint32_t position) const { return width_(position); }
  // The width of a value written to a port.
  std::size_t port_width(const Port& port) const {
    return port.positions.size() == 1 ? width(port.positions[0]) : port.positions.size();
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::function<std::size_t(std::uint32_t)> width_;
  std::vector<Port> ports_;
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> index_;
};

}  // namespace nimbo
