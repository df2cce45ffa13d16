// Which busses a write that takes only inputs may name, and why it refuses
// the others: the one owner of what an input is. The command line, the
// regressions and a testbench write only inputs; the state is set by a
// separate, explicit operation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component/component.hpp"
#include "engine/registers.hpp"

namespace nimbo {

// What a bus or a port is to a write that takes only inputs; kInput is
// written, the others are refused.
enum class WriteRole : std::uint8_t {
  kInput,   // an input: a bus without assignment that is no state
  kOutput,  // a port that is no input (an output, or a named net)
  kLogic,   // a bus driven by logic, or a port holding one
  kState,   // a register's q, or a port holding one
};

// The role of each bus position. A clock is an input here: a step refuses
// it in its own words (messages::clock_written).
std::vector<WriteRole> write_roles(const Component& model, const Registers& registers);

// The word a refusal goes by: "output", "logic", "state" ("input" for kInput).
const char* write_role_name(WriteRole role) noexcept;
// The reason of a refused write, worded whole: "not an input: a register's
// state; only inputs are written".
std::string not_input_message(WriteRole role);

}  // namespace nimbo
