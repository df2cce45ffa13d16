// Registers: what loading refuses, the rule of an edge on every value kind,
// and the rounds of asynchronous resets.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/cycles.hpp"
#include "engine/register_rules.hpp"
#include "engine/registers.hpp"
#include "engine/simulation.hpp"
#include "expr_nodes/nodes.hpp"

namespace nimbo {
namespace {

// clk, clk2 and a (one bit), w (two bits), z (no bits), y = a.
Component register_bench() {
  Component component("bench");
  for (const auto& [id, value] : std::vector<std::pair<const char*, const char*>>{
           {"clk", "0"}, {"clk2", "0"}, {"a", "0"}, {"w", "00"}}) {
    component.add_bus(id, BitBus(BitBusValue::from_string(value).value()));
  }
  component.add_bus("z", BitBus(BitBusValue::zeros(0)));
  component.add_bus("y", BitBus());
  component.set_assignment("y", std::make_unique<BusRef>("a"));
  return component;
}

RegisterRecord record(const char* q, const char* d, const char* clock) {
  RegisterRecord r;
  r.q = q;
  r.d = d;
  r.clock = clock;
  return r;
}

struct Refusal {
  std::vector<RegisterRecord> records;
  std::string message;
};

std::vector<Refusal> refusals() {
  const auto with = [](RegisterRecord r, auto&& change) {
    change(r);
    return r;
  };
  const RegisterRecord plain = record("a", "a", "clk");
  return {
      {{record("y", "a", "clk")},
       "registers[0] (q 'y'): q 'y' has an assignment; a register's q must be a bus without one"},
      {{record("a", "nope", "clk")}, "registers[0] (q 'a'): d 'nope' names no bus"},
      {{record("a", "a", "y")},
       "registers[0] (q 'a'): clock 'y' has an assignment; a clock must be a bus without one (an "
       "input)"},
      {{record("a", "a", "w")}, "registers[0] (q 'a'): clock 'w' has 2 bits; a clock has 1"},
      {{record("z", "z", "clk")},
       "registers[0] (q 'z'): q has 0 bits; a register holds at least one"},
      {{with(plain, [](RegisterRecord& r) { r.reset_value = "1"; })},
       "registers[0] (q 'a'): reset_value is given without async_reset"},
      {{with(plain,
             [](RegisterRecord& r) {
               r.async_reset = "clk2";
               r.reset_value = "11";
             })},
       "registers[0] (q 'a'): reset_value must be a bit string of 1 bit, as q has"},
      {{with(plain, [](RegisterRecord& r) { r.enable = "missing"; })},
       "registers[0] (q 'a'): enable 'missing' names no bus"},
      {{plain, with(plain, [](RegisterRecord& r) { r.index = 1; })},
       "registers[1] (q 'a'): q 'a' is already the q of registers[0]"},
      {{plain, with(record("clk2", "a", "a"), [](RegisterRecord& r) { r.index = 1; })},
       "registers[1] (q 'clk2'): clock 'a' is the q of registers[0]; clocks must be inputs "
       "(derive a clock enable instead)"},
      {{plain, with(record("clk", "a", "clk2"), [](RegisterRecord& r) { r.index = 1; })},
       "registers[1] (q 'clk'): q 'clk' is a clock of another register"},
  };
}

TEST(Registers, LoadingRefusesWhatNoStepCouldRun) {
  for (const Refusal& refusal : refusals()) {
    const Component component = register_bench();
    const Result<Registers> resolved = resolve_registers(component, refusal.records);
    ASSERT_FALSE(resolved.ok()) << refusal.message;
    EXPECT_EQ(resolved.error(), refusal.message);
  }
}

// Widths known once evaluated: y is evaluated to a's one bit.
TEST(Registers, EvaluatedWidthsMustFit) {
  struct Case {
    RegisterRecord record;
    std::string message;  // "" when it fits
  };
  const auto with = [](RegisterRecord r, auto&& change) {
    change(r);
    return r;
  };
  const Case cases[] = {
      {record("w", "a", "clk"), "registers[0] (q 'w'): d 'a' has 1 bit but q has 2"},
      {record("a", "w", "clk"), "registers[0] (q 'a'): d 'w' has 2 bits but q has 1"},
      {with(record("a", "y", "clk"), [](RegisterRecord& r) { r.enable = "w"; }),
       "registers[0] (q 'a'): enable 'w' has 2 bits; it must have 1"},
      {with(record("a", "y", "clk"), [](RegisterRecord& r) { r.async_reset = "w"; }),
       "registers[0] (q 'a'): async_reset 'w' has 2 bits; it must have 1"},
      {with(record("a", "y", "clk"), [](RegisterRecord& r) { r.async_reset = "y"; }), ""},
  };
  for (const Case& c : cases) {
    Component component = register_bench();
    Result<Registers> registers = resolve_registers(component, {&c.record, 1});
    ASSERT_TRUE(registers.ok()) << registers.error();
    Simulation simulation(std::move(component), std::move(registers).value());
    ASSERT_TRUE(simulation.settle({}, Resets::kLeave).ok());
    const Status checked = simulation.check_registers();
    EXPECT_EQ(checked.ok() ? "" : checked.error(), c.message);
  }
}

// The rule on single bits, stated plainly, against next_q on masks: a bit,
// a word of bits and a word of lanes take it the same way.
TEST(RegisterRules, NextQIsResetThenEnableThenHold) {
  for (unsigned bits = 0; bits < 32; ++bits) {
    const bool q = bits & 1U, d = bits & 2U, enable = bits & 4U, reset = bits & 8U,
               reset_value = bits & 16U;
    const bool expected = reset ? reset_value : enable ? d : q;
    EXPECT_EQ(next_q(level_mask(q), level_mask(d), level_mask(enable), level_mask(reset),
                     level_mask(reset_value)),
              level_mask(expected))
        << bits;
    EXPECT_EQ(held_q(level_mask(q), level_mask(reset), level_mask(reset_value)),
              level_mask(reset ? reset_value : q))
        << bits;
  }
  // Lanes: each bit of a word follows its own masks.
  const Word q = 0b0101'0101, d = 0b0011'0011, enable = 0b0000'1111, reset = 0b1100'0000,
             reset_value = 0b1010'1010;
  Word expected = 0;
  for (int lane = 0; lane < 8; ++lane) {
    const auto bit = [&](Word word) { return ((word >> lane) & 1U) != 0; };
    const bool taken = bit(reset) ? bit(reset_value) : bit(enable) ? bit(d) : bit(q);
    expected |= Word{taken} << lane;
  }
  EXPECT_EQ(next_q(q, d, enable, reset, reset_value) & 0xFF, expected);
}

TEST(RegisterRules, WholeValuesTakeTheRuleWordByWord) {
  const BitBusValue q = BitBusValue::from_string(std::string(70, '1')).value();
  const BitBusValue d = BitBusValue::from_string(std::string(69, '0') + "1").value();
  const BitBusValue reset_value = BitBusValue::zeros(70);
  BitBusValue next;
  next_value(q, d, true, false, reset_value, next);
  EXPECT_EQ(next, d);
  next_value(q, d, false, false, reset_value, next);
  EXPECT_EQ(next, q);
  next_value(q, d, true, true, reset_value, next);
  EXPECT_EQ(next, reset_value);
}

// One round per register and one more; a round that writes nothing ends
// them, and a failed update ends them with its error.
TEST(RegisterRules, ResetRoundsEndOrGiveUpAfterOnePerRegisterAndOneMore) {
  struct Case {
    int writing_rounds;  // rounds that find something to write; -1: every round
    bool update_fails;
    std::string error;
    int updates;
  };
  const Case cases[] = {
      {0, false, "", 0},
      {2, false, "", 2},
      {3, false, "", 3},
      // 3 registers: the fourth round that writes is one too many.
      {4, false, "Asynchronous resets did not settle", 4},
      {-1, false, "Asynchronous resets did not settle", 4},
      {-1, true, "Circuit did not settle: stopped after 7 evaluations", 1},
  };
  for (const Case& c : cases) {
    int rounds = 0;
    int updates = 0;
    const Status status = settle_resets(
        3, [&] { return c.writing_rounds < 0 || rounds++ < c.writing_rounds; },
        [&]() -> Status {
          ++updates;
          if (c.update_fails) return Error{messages::did_not_settle(7)};
          return ok_status();
        });
    EXPECT_EQ(status.ok() ? "" : status.error(), c.error);
    EXPECT_EQ(updates, c.updates);
  }
}

}  // namespace
}  // namespace nimbo
