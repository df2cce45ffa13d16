// What a state element without an initial value starts as (the IR's
// "uninitialised" registers and memories): the one rule of --x-initial, for
// registers' q's and memory words alike.
//
// Verilog starts such an element at x; a two-state simulation picks bits:
// all 0 (kZero, the default), all 1 (kOnes), or bits drawn from a seed
// (kRandom). Random bits depend only on the seed, the element's name (a
// register's q id, or a memory's name) and, for a memory, the word's index,
// through a fixed generator (FNV-1a of the name, SplitMix64), so that a seed
// gives the same state on every run and machine, and adding or removing an
// element leaves the bits of the others as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "component/component.hpp"
#include "component/memories.hpp"
#include "component/memory_record.hpp"
#include "component/register_record.hpp"

namespace nimbo {

enum class XInitial : std::uint8_t { kZero, kOnes, kRandom };

struct XInitialRule {
  XInitial mode = XInitial::kZero;
  std::uint64_t seed = 0;  // kRandom only
};

// The mode named "zero", "ones" or "random".
std::optional<XInitial> x_initial_named(std::string_view name);

// The `width` bits (element 0 first, '0' and '1') that word `word` of the
// element `name` starts with (word 0 for a register).
std::string initial_bits(const XInitialRule& rule, std::string_view name, std::uint64_t word,
                         std::size_t width);

// Writes into the q bus of each register of `records` marked uninitialised
// its initial bits, as many as the bus has (the records resolved first:
// every q names a bus). A memory marked uninitialised takes
// initial_bits(rule, name, word, width) for each word no init run names.
void start_uninitialised(Component& component, std::span<const RegisterRecord> records,
                         const XInitialRule& rule);

// Gives each word of a memory of `records` marked uninitialised that no init
// run names its initial bits (`memories` resolved from `records`, in their
// order, with their initial contents unpacked). Nothing to do for kZero: the
// unnamed words already hold 0.
void start_uninitialised(Memories& memories, std::span<const MemoryRecord> records,
                         const XInitialRule& rule);

}  // namespace nimbo
