#include "engine/messages.hpp"

#include <algorithm>
#include <initializer_list>

#include "busses/quoted_id.hpp"

namespace nimbo::messages {
namespace {

std::string bits(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " bit" : " bits");
}

std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text += part;
  return text;
}

// Busses a message names, and loop busses it shows, before it says how many more.
constexpr std::size_t kChangingShown = 5;
constexpr std::size_t kLoopShown = 8;
// Characters of an id a message shows.
constexpr std::size_t kIdShown = 40;

// An id as messages name busses in a list: as it is when it is printable
// ASCII without spaces, quotes or backslashes, else quoted with escapes; a
// long one cut, with its length given.
std::string listed_id(const std::string& id) {
  const std::string_view shown = std::string_view(id).substr(0, kIdShown);
  const bool plain = !shown.empty() && std::all_of(shown.begin(), shown.end(), [](char c) {
    return c > ' ' && c < 0x7f && c != '"' && c != '\\';
  });
  std::string text = plain ? std::string(shown) : quote_id(shown);
  if (id.size() > kIdShown) text += "... (" + std::to_string(id.size()) + " characters)";
  return text;
}

}  // namespace

Error interrupted() {
  return Error{std::string(kInterrupted), true};
}

std::string did_not_settle(std::uint64_t evaluations) {
  return "Circuit did not settle: stopped after " + std::to_string(evaluations) + " evaluations";
}

std::string still_changing(std::span<const std::uint32_t> changing,
                           std::span<const std::uint32_t> loop,
                           const std::function<const std::string&(std::uint32_t)>& id) {
  std::string text = changing.size() == 1 ? "bus still changing: " : "busses still changing: ";
  for (std::size_t i = 0; i < changing.size() && i < kChangingShown; ++i) {
    text += (i == 0 ? "" : ", ") + listed_id(id(changing[i]));
  }
  if (changing.size() > kChangingShown) {
    text += " and " + std::to_string(changing.size() - kChangingShown) + " more";
  }
  if (loop.empty()) return text;
  // Shown the way values flow: each bus drives the next, so the loop, in
  // which each reads the next, is walked backwards from its first bus.
  text += " (";
  for (std::size_t i = 0; i < loop.size() && i < kLoopShown; ++i) {
    text += listed_id(id(loop[(loop.size() - i) % loop.size()])) + " -> ";
  }
  if (loop.size() > kLoopShown) text += "... -> ";
  text += listed_id(id(loop[0]));
  if (loop.size() > kLoopShown) text += ", a loop of " + std::to_string(loop.size()) + " busses";
  return text + ")";
}

std::string with_detail(const std::string& message, const std::string& detail) {
  return detail.empty() ? message : message + "; " + detail;
}

std::string clock_written(std::string_view id) {
  return joined(
      {"bus '", id, "' is a clock: every step is one cycle of it, so a step does not write it"});
}

std::string invalid_bit(unsigned byte) {
  return "Invalid bit " + std::to_string(byte) + " (bits are 0 or 1)";
}

std::string columns_differ(std::size_t bits, std::size_t columns) {
  return "the inputs have " + std::to_string(bits) + " bits but the rows have " +
         std::to_string(columns) + " columns";
}

std::string names_no_bus(std::string_view place, std::string_view field, std::string_view id) {
  return joined({place, ": ", field, " '", id, "' names no bus"});
}

std::string q_has_assignment(std::string_view place, std::string_view q) {
  return joined(
      {place, ": q '", q, "' has an assignment; a register's q must be a bus without one"});
}

std::string q_of_two_registers(std::string_view place, std::string_view q, std::size_t first) {
  return joined(
      {place, ": q '", q, "' is already the q of registers[", std::to_string(first), "]"});
}

std::string q_is_a_clock(std::string_view place, std::string_view q) {
  return joined({place, ": q '", q, "' is a clock of another register"});
}

std::string q_has_no_bits(std::string_view place) {
  return joined({place, ": q has 0 bits; a register holds at least one"});
}

std::string clock_has_assignment(std::string_view place, std::string_view clock) {
  return joined({place, ": clock '", clock,
                 "' has an assignment; a clock must be a bus without one (an input)"});
}

std::string clock_is_a_q(std::string_view place, std::string_view clock, std::size_t owner) {
  return joined({place, ": clock '", clock, "' is the q of registers[", std::to_string(owner),
                 "]; clocks must be inputs (derive a clock enable instead)"});
}

std::string clock_width(std::string_view place, std::string_view clock, std::size_t width) {
  return joined(
      {place, ": clock '", clock, "' has ", std::to_string(width), " bits; a clock has 1"});
}

std::string reset_value_without_reset(std::string_view place) {
  return joined({place, ": reset_value is given without async_reset"});
}

std::string reset_value_width(std::string_view place, std::size_t width) {
  return joined({place, ": reset_value must be a bit string of ", bits(width), ", as q has"});
}

std::string d_width(std::string_view place, std::string_view d, std::size_t d_width,
                    std::size_t q_width) {
  return joined(
      {place, ": d '", d, "' has ", bits(d_width), " but q has ", std::to_string(q_width)});
}

std::string not_one_bit(std::string_view place, std::string_view field, std::string_view id,
                        std::size_t width) {
  return joined(
      {place, ": ", field, " '", id, "' has ", std::to_string(width), " bits; it must have 1"});
}

}  // namespace nimbo::messages
