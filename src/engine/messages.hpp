// Every message the engine gives, each written once: a failure or refusal
// says the same thing whichever engine or call meets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace nimbo::messages {

// An update, step or batch stopped from outside (UpdateControl).
inline constexpr std::string_view kInterrupted = "Update interrupted";
Error interrupted();

// A component with feedback that reached its work limit.
std::string did_not_settle(std::uint64_t evaluations);
// What it adds to that (Error::detail): "busses still changing: a, b, c
// (a -> b -> c -> a)", a few of them and the loop they form, each bus
// driving the next (unsettled.hpp); `id` names the bus at a position.
std::string still_changing(std::span<const std::uint32_t> changing,
                           std::span<const std::uint32_t> loop,
                           const std::function<const std::string&(std::uint32_t)>& id);
// A failure's message with its detail after it, as nimbo.Simulator words
// them: "MESSAGE; DETAIL" (the message alone without a detail).
std::string with_detail(const std::string& message, const std::string& detail);

// The rounds of asynchronous resets did not end (register_rules.hpp).
inline constexpr std::string_view kResetsDidNotSettle = "Asynchronous resets did not settle";

// A step, or a vector or sequence step, that writes a clock.
std::string clock_written(std::string_view id);

// A byte of a row of vectors or sequences that is neither 0 nor 1.
std::string invalid_bit(unsigned byte);

// Rows of bytes whose columns are not the bits of their inputs.
std::string columns_differ(std::size_t bits, std::size_t columns);

// Register refusals, each after the register's place ("registers[3] (q 'count')").
std::string names_no_bus(std::string_view place, std::string_view field, std::string_view id);
std::string q_has_assignment(std::string_view place, std::string_view q);
std::string q_of_two_registers(std::string_view place, std::string_view q, std::size_t first);
std::string q_is_a_clock(std::string_view place, std::string_view q);
std::string q_has_no_bits(std::string_view place);
std::string clock_has_assignment(std::string_view place, std::string_view clock);
std::string clock_is_a_q(std::string_view place, std::string_view clock, std::size_t owner);
std::string clock_width(std::string_view place, std::string_view clock, std::size_t width);
std::string reset_value_without_reset(std::string_view place);
std::string reset_value_width(std::string_view place, std::size_t width);
std::string d_width(std::string_view place, std::string_view d, std::size_t d_width,
                    std::size_t q_width);
// `field` is "enable" or "async_reset".
std::string not_one_bit(std::string_view place, std::string_view field, std::string_view id,
                        std::size_t width);

}  // namespace nimbo::messages
