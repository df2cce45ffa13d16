#include "engine/input_checks.hpp"

#include "engine/messages.hpp"

namespace nimbo {

RefusedInput refused_input(const BusState& state, std::span<const PositionInput> inputs,
                           Widths widths) {
  const bool evaluated = widths == Widths::kEvaluated && state.on_words();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::size_t position = inputs[i].position;
    const std::size_t width = evaluated ? state.words().width(position) : state.width(position);
    Status checked = check_value_text(inputs[i].bits, width);
    if (!checked.ok()) return std::make_pair(i, Error{std::move(checked).error()});
  }
  return std::nullopt;
}

RefusedInput refused_step_input(const Component& model, const Registers& registers,
                                const BusState& state, std::span<const PositionInput> inputs,
                                Widths widths) {
  if (!registers.clocks.empty()) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (!registers.clock_at(inputs[i].position)) continue;
      return std::make_pair(i,
                            Error{messages::clock_written(model.busses().id(inputs[i].position))});
    }
  }
  return refused_input(state, inputs, widths);
}

}  // namespace nimbo
