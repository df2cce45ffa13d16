// What a vector line may name besides bus ids, and how it may write values
// besides bit strings: ports, each the busses of its bits, and numbers, read
// at the width of the bus or port they are written to (busses/number_text).
// The one owner of how a port's value goes to its busses, of the width a
// value written to a port must have, and of which names a write that takes
// only inputs refuses.
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

#include "busses/number_text.hpp"
#include "common/result.hpp"
#include "engine/write_roles.hpp"

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
  // Adds a port; a name given twice keeps its first busses. `input` says
  // whether a write that takes only inputs may name it.
  void add_port(std::string name, std::vector<std::uint32_t> positions, bool input = true);

  // The index of the port named `name`.
  std::optional<std::uint32_t> find_port(std::string_view name) const;
  const Port& port(std::uint32_t index) const { return ports_[index]; }

  // From now on writes take only inputs: `roles` gives the role of each bus
  // position (a clock is an input here: a step refuses it in its own words).
  // Without this call every bus and port may be written. Call it after the
  // ports are added.
  void take_only_inputs(std::vector<WriteRole> roles);
  // What a write to the bus at `position`, or to port `index`, is refused
  // for (kInput: written).
  WriteRole bus_role(std::uint32_t position) const {
    return bus_roles_.empty() ? WriteRole::kInput : bus_roles_[position];
  }
  WriteRole port_role(std::uint32_t index) const {
    return port_roles_.empty() ? WriteRole::kInput : port_roles_[index];
  }

  std::size_t width(std::uint32_t position) const { return width_(position); }
  // The width of a value written to a port.
  std::size_t port_width(const Port& port) const {
    return port.positions.size() == 1 ? width(port.positions[0]) : port.positions.size();
  }

  // The bits (element 0 first) of `value` written to a bus or port of
  // `width` bits: `value` itself when it is a bit string of that width,
  // else the number it stands for, made in `made`. With `integer`, `value`
  // is the text of a JSON integer, which is decimal. The error says what is
  // wrong with the value, to follow it (read_number_text).
  static Result<std::string_view> value_bits(std::string_view value, bool integer,
                                             std::size_t width, std::string& made) {
    if (!integer && is_bit_string_of(value, width)) return value;
    return number_bits(value, integer, width, made);
  }

  // Calls write(position, bits) for each bus that a value `bits` of the
  // port's width writes: the whole value to a port of one bus, else one bit
  // to each bus. The bits written to the busses of a port of many point to
  // static storage.
  template <class Write>
  static void split(const Port& port, std::string_view bits, Write&& write) {
    if (port.positions.size() == 1) {
      write(port.positions[0], bits);
      return;
    }
    static constexpr std::string_view kBits = "01";
    for (std::size_t i = 0; i < port.positions.size(); ++i) {
      write(port.positions[i], kBits.substr(bits[i] == '1' ? 1 : 0, 1));
    }
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  // value_bits for a value that is no bit string of the width.
  static Result<std::string_view> number_bits(std::string_view value, bool integer,
                                              std::size_t width, std::string& made);

  std::function<std::size_t(std::uint32_t)> width_;
  std::vector<Port> ports_;
  std::vector<bool> port_inputs_;      // by port: whether it is an input
  std::vector<WriteRole> bus_roles_;   // empty: every write taken
  std::vector<WriteRole> port_roles_;  // likewise
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> index_;
};

}  // namespace nimbo
