// What registers do, written once for every engine: the value a register
// takes at its edge, and the rounds of asynchronous resets after an update.
//
// Engines hold values in different forms: whole values (the worklist),
// words of a word pass, lane words (one bit per vector or sequence). The
// rule is stated on words in which an enable or a reset is a mask (all ones
// where it is 1), so that one function serves a bit, a word of bits and a
// word of lanes alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "busses/truth_table.hpp"
#include "common/result.hpp"
#include "engine/messages.hpp"

namespace nimbo {

// The mask of a level: all ones for 1, all zeros for 0.
constexpr Word level_mask(bool level) noexcept {
  return Word{0} - Word{level};
}

// What a register holds after its edge: its reset value while its
// asynchronous reset is 1, else d when it has no enable or the enable is 1,
// else q as it was. `enable` and `reset` are masks: a register without an
// enable passes all ones, one without an asynchronous reset zeros.
constexpr Word next_q(Word q, Word d, Word enable, Word reset, Word reset_value) noexcept {
  return (reset_value & reset) | (((d & enable) | (q & ~enable)) & ~reset);
}

// Between edges only the asynchronous reset acts: the same rule with the
// enable at 0.
constexpr Word held_q(Word q, Word reset, Word reset_value) noexcept {
  return next_q(q, q, Word{0}, reset, reset_value);
}

// The asynchronous resets after an update: while some register's reset is 1
// and its q is not its reset value, all such q's are written in one update;
// after one round per register and one more, the resets did not settle.
//
// `round()` reads every reset and q of one round (before any q is written:
// a reset may be another register's q), prepares the writes of the q's that
// are not their reset value while their reset is 1, and says whether there
// are any; `update()` makes those writes in one update and lets the circuit
// settle. Each round writes at least one q, and a q written keeps its reset
// value while its reset holds, so the rounds end unless the logic between
// them keeps changing the resets.
//
// With memories the rounds take the asynchronous parts in (memory_rules.hpp):
// `elements` then counts the read ports too, and `message` says what did not
// settle.
template <class Round, class Update>
Status settle_resets(std::size_t elements, Round&& round, Update&& update,
                     std::string_view message = messages::kResetsDidNotSettle) {
  for (std::size_t done = 0; done <= elements; ++done) {
    if (!round()) return ok_status();
    Status updated = update();
    if (!updated.ok()) return updated;
  }
  return Error{std::string(message)};
}

}  // namespace nimbo
