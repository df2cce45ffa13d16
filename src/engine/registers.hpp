// Registers of a simulation: the IR's register records resolved to bus
// positions and checked against the component.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"
#include "component/component.hpp"
#include "component/register_record.hpp"

namespace nimbo {

struct Register {
  std::uint32_t q = 0;
  std::uint32_t d = 0;
  std::uint32_t clock = 0;
  Edge edge = Edge::kPosedge;
  std::optional<std::uint32_t> enable;
  std::optional<std::uint32_t> async_reset;
  BitBusValue reset_value;  // of q's width
};

struct Registers {
  std::vector<Register> list;
  std::vector<std::uint32_t> clocks;  // distinct clock positions, in first use order
  bool any_negedge = false;
  bool any_posedge = false;
  bool any_async_reset = false;

  bool empty() const noexcept { return list.empty(); }
};

// Resolves the records against `component` and checks what does not depend
// on evaluated widths: every id names a bus, q and clock have no assignment,
// no bus is the q of two registers or both a q and a clock, a clock has one
// bit, reset_value is a bit string of q's width.
Result<Registers> resolve_registers(const Component& component,
                                    std::span<const RegisterRecord> records);

// The description of register `index` in messages: "registers[3] (q 'count')".
std::string register_place(const Component& component, const Register& reg, std::size_t index);

}  // namespace nimbo
