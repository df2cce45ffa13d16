// What an update and a step refuse of their inputs, before anything is
// written: the first refused input, by its index, with the reason.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>

#include "common/result.hpp"
#include "component/component.hpp"
#include "engine/bus_state.hpp"
#include "engine/registers.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

using RefusedInput = std::optional<std::pair<std::size_t, Error>>;

// The widths inputs are checked against: the busses' widths now, or those
// a pass gives them, for a later step of a batch run in lanes (a driven bus
// keeps the width it has now until its first evaluation).
enum class Widths : bool { kNow, kEvaluated };

// A text that is not a bit string of its bus's width (the message of
// BusTrait::insert_value).
RefusedInput refused_input(const BusState& state, std::span<const PositionInput> inputs,
                           Widths widths = Widths::kNow);

// The same, and before it a clock (`model` names it): every step is one
// cycle of every clock, so a step does not write one.
RefusedInput refused_step_input(const Component& model, const Registers& registers,
                                const BusState& state, std::span<const PositionInput> inputs,
                                Widths widths = Widths::kNow);

}  // namespace nimbo
