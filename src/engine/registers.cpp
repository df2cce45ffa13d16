#include "engine/registers.hpp"

#include <utility>

#include "engine/messages.hpp"

namespace nimbo {
namespace {

std::string place_of(std::size_t index, std::string_view q) {
  return "registers[" + std::to_string(index) + "] (q '" + std::string(q) + "')";
}

}  // namespace

std::string register_place(const Component& component, const Register& reg, std::size_t index) {
  return place_of(index, component.busses().id(reg.q));
}

Result<Registers> resolve_registers(const Component& component,
                                    std::span<const RegisterRecord> records) {
  Registers registers;
  const BusTable& table = component.busses();
  // What each position is already: 1 a register's q, 2 a clock.
  std::vector<std::uint8_t> role(table.size(), 0);
  std::vector<std::size_t> owner(table.size(), 0);
  for (const RegisterRecord& record : records) {
    const std::string place = place_of(record.index, record.q);
    const auto find = [&](const std::string& id, const char* field) -> Result<std::uint32_t> {
      const auto position = component.find(id);
      if (!position) return Error{messages::names_no_bus(place, field, id)};
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

    if (component.is_driven(reg.q)) return Error{messages::q_has_assignment(place, record.q)};
    if (role[reg.q] == 1) {
      return Error{messages::q_of_two_registers(place, record.q, owner[reg.q])};
    }
    if (role[reg.q] == 2) return Error{messages::q_is_a_clock(place, record.q)};
    role[reg.q] = 1;
    owner[reg.q] = record.index;
    const std::size_t width = table.value(reg.q).width();
    if (width == 0) return Error{messages::q_has_no_bits(place)};
    if (component.is_driven(reg.clock)) {
      return Error{messages::clock_has_assignment(place, record.clock)};
    }
    if (role[reg.clock] == 1) {
      return Error{messages::clock_is_a_q(place, record.clock, owner[reg.clock])};
    }
    if (table.value(reg.clock).width() != 1) {
      return Error{messages::clock_width(place, record.clock, table.value(reg.clock).width())};
    }
    if (role[reg.clock] != 2) {
      role[reg.clock] = 2;
      registers.clocks.push_back(reg.clock);
    }
    if (record.reset_value) {
      if (!record.async_reset) return Error{messages::reset_value_without_reset(place)};
      Result<BitBusValue> value = BitBusValue::from_string(*record.reset_value);
      if (!value.ok() || value.value().width() != width) {
        return Error{messages::reset_value_width(place, width)};
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
  if (!registers.empty()) {
    registers.is_clock.assign(table.size(), 0);
    for (const std::uint32_t clock : registers.clocks) registers.is_clock[clock] = 1;
  }
  return registers;
}

void Registers::add_clocks(std::span<const std::uint32_t> more, std::size_t busses) {
  if (more.empty()) return;
  if (is_clock.empty()) is_clock.assign(busses, 0);
  for (const std::uint32_t clock : more) {
    if (is_clock[clock]) continue;
    is_clock[clock] = 1;
    clocks.push_back(clock);
  }
}

Status check_register_widths(const Component& component, const Registers& registers,
                             const std::function<std::size_t(std::size_t)>& width) {
  const BusTable& table = component.busses();
  for (std::size_t i = 0; i < registers.list.size(); ++i) {
    const Register& reg = registers.list[i];
    const std::string place = register_place(component, reg, i);
    const std::size_t q_width = width(reg.q);
    if (width(reg.d) != q_width) {
      return Error{messages::d_width(place, table.id(reg.d), width(reg.d), q_width)};
    }
    for (const auto& [field, position] :
         {std::pair<const char*, std::optional<std::uint32_t>>{"enable", reg.enable},
          {"async_reset", reg.async_reset}}) {
      if (position && width(*position) != 1) {
        return Error{messages::not_one_bit(place, field, table.id(*position), width(*position))};
      }
    }
  }
  return ok_status();
}

}  // namespace nimbo
