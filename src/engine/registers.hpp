// Registers of a simulation: the IR's register records resolved to bus
// positions and checked against the component.
//
// Registers are the first kind of state element: a bus (q) that keeps its
// value between clock edges and takes a new one at an edge. What it takes is
// the rule of register_rules.hpp; when steps are taken is cycles.hpp.
#pragma once

#include <cstdint>
#include <functional>
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
  std::vector<std::uint32_t> clocks;   // distinct clock positions, in first use order
  std::vector<std::uint8_t> is_clock;  // by position; empty without clocks
  bool any_negedge = false;
  bool any_posedge = false;
  bool any_async_reset = false;

  bool empty() const noexcept { return list.empty(); }
  // Adds clocks of other state elements (memories), in their order, so that
  // every clock of the design is here: steps cycle them all.
  void add_clocks(std::span<const std::uint32_t> more, std::size_t busses);
  bool clock_at(std::size_t position) const { return !is_clock.empty() && is_clock[position]; }
  // Whether some register of `edge` exists.
  bool any_of(Edge edge) const noexcept {
    return edge == Edge::kPosedge ? any_posedge : any_negedge;
  }
};

// Resolves the records against `component` and checks what does not depend
// on evaluated widths: every id names a bus, q and clock have no assignment,
// no bus is the q of two registers or both a q and a clock, q has at least
// one bit, a clock has one, reset_value comes with async_reset and is a bit
// string of q's width.
Result<Registers> resolve_registers(const Component& component,
                                    std::span<const RegisterRecord> records);

// Checks what depends on evaluated widths (`width` gives them): d has q's
// width, enable and async_reset one bit.
Status check_register_widths(const Component& component, const Registers& registers,
                             const std::function<std::size_t(std::size_t)>& width);

// The description of register `index` in messages: "registers[3] (q 'count')".
std::string register_place(const Component& component, const Register& reg, std::size_t index);

}  // namespace nimbo
