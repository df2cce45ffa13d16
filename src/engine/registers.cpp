#include "engine/registers.hpp"

#include <algorithm>

namespace nimbo {
namespace {

std::string place_of(const RegisterRecord& record) {
  return "registers[" + std::to_string(record.index) + "] (q '" + record.q + "')";
}

}  // namespace

std::string register_place(const Component& component, const Register& reg, std::size_t index) {
  return "registers[" + std::to_string(index) + "] (q '" + component.busses().id(reg.q) + "')";
}

Result<Registers> resolve_registers(const Component& component,
                                    std::span<const RegisterRecord> records) {
  Registers registers;
  const BusTable& table = component.busses();
  // What each position is already: 1 a register's q, 2 a clock.
  std::vector<std::uint8_t> role(table.size(), 0);
  std::vector<std::size_t> owner(table.size(), 0);
  for (const RegisterRecord& record : records) {
    const std::string place = place_of(record);
    const auto find = [&](const std::string& id, const char* field) -> Result<std::uint32_t> {
      const auto position = component.find(id);
      if (!position) return Error{place + ": " + field + " '" + id + "' names no bus"};
      return *position;
    };
    Register reg;
    reg.edge = record.edge;
    Result<std::uint32_t> q = find(record.q, "q");
    if (!q.ok()) return Error{std::move(q).error()};
    reg.q = q.value();
    Result<std::uint32_t> d = find(record.d, "d");
    if (!d.ok()) return Error{std::move(d).error()};
    reg.d = d.value();
    Result<std::uint32_t> clock = find(record.clock, "clock");
    if (!clock.ok()) return Error{std::move(clock).error()};
    reg.clock = clock.value();
    if (record.enable) {
      Result<std::uint32_t> enable = find(*record.enable, "enable");
      if (!enable.ok()) return Error{std::move(enable).error()};
      reg.enable = enable.value();
    }
    if (record.async_reset) {
      Result<std::uint32_t> reset = find(*record.async_reset, "async_reset");
      if (!reset.ok()) return Error{std::move(reset).error()};
      reg.async_reset = reset.value();
    }

    if (component.is_driven(reg.q)) {
      return Error{place + ": q '" + record.q +
                   "' has an assignment; a register's q must be a bus without one"};
    }
    if (role[reg.q] == 1) {
      return Error{place + ": q '" + record.q + "' is already the q of registers[" +
                   std::to_string(owner[reg.q]) + "]"};
    }
    if (role[reg.q] == 2) {
      return Error{place + ": q '" + record.q + "' is a clock of another register"};
    }
    role[reg.q] = 1;
    owner[reg.q] = record.index;
    if (component.is_driven(reg.clock)) {
      return Error{place + ": clock '" + record.clock +
                   "' has an assignment; a clock must be a bus without one (an input)"};
    }
    if (role[reg.clock] == 1) {
      return Error{place + ": clock '" + record.clock + "' is the q of registers[" +
                   std::to_string(owner[reg.clock]) +
                   "]; clocks must be inputs (derive a clock enable instead)"};
    }
    if (table.value(reg.clock).width() != 1) {
      return Error{place + ": clock '" + record.clock + "' has " +
                   std::to_string(table.value(reg.clock).width()) + " bits; a clock has 1"};
    }
    if (role[reg.clock] != 2) {
      role[reg.clock] = 2;
      registers.clocks.push_back(reg.clock);
    }
    const std::size_t width = table.value(reg.q).width();
    if (record.reset_value) {
      if (!record.async_reset) {
        return Error{place + ": reset_value is given without async_reset"};
      }
      Result<BitBusValue> value = BitBusValue::from_string(*record.reset_value);
      if (!value.ok() || value.value().width() != width) {
        return Error{place + ": reset_value must be a bit string of " + std::to_string(width) +
                     (width == 1 ? " bit" : " bits") + ", as q has"};
      }
      reg.reset_value = std::move(value).value();
    } else {
      reg.reset_value = BitBusValue::zeros(width);
    }
    registers.any_posedge = registers.any_posedge || reg.edge == Edge::kPosedge;
    registers.any_negedge = registers.any_negedge || reg.edge == Edge::kNegedge;
    registers.any_async_reset = registers.any_async_reset || reg.async_reset.has_value();
    registers.list.push_back(std::move(reg));
  }
  return registers;
}

}  // namespace nimbo
