// What memories do, written once for every engine: where an address lands,
// what a synchronous read port takes at its edge, what a write port leaves
// in a word, and the rounds of the asynchronous parts after an update.
//
// As in register_rules.hpp, the rule is stated on 64-bit words in which an
// enable or a reset is a mask (all ones where it is 1), so that one function
// serves a word of a whole value and a word of one lane's value alike. A
// memory word wider than 64 bits goes through it a word at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "busses/truth_table.hpp"
#include "common/result.hpp"
#include "component/memories.hpp"
#include "engine/register_rules.hpp"

namespace nimbo {

// The index of the word at `address` (an unsigned number) in `memory`, or
// nothing when the address is outside it: below its offset or from offset
// + words on. Outside, a read gives 0 and a write goes nowhere.
constexpr std::optional<std::uint64_t> word_index(std::int64_t offset, std::uint64_t words,
                                                  std::uint64_t address) noexcept {
  std::uint64_t index = 0;
  if (offset >= 0) {
    const auto low = static_cast<std::uint64_t>(offset);
    if (address < low) return std::nullopt;
    index = address - low;
  } else {
    // -offset as an unsigned number (also for the lowest int64).
    const std::uint64_t below = std::uint64_t{0} - static_cast<std::uint64_t>(offset);
    if (address > ~std::uint64_t{0} - below) return std::nullopt;
    index = address + below;
  }
  if (index >= words) return std::nullopt;
  return index;
}

inline std::optional<std::uint64_t> word_index(const Memory& memory,
                                               std::uint64_t address) noexcept {
  return word_index(memory.offset, memory.words, address);
}

// A word after a write port's edge: the bits `enable` selects take `data`.
// The same rule puts a transparent write into what a read port takes.
constexpr Word written_word(Word word, Word data, Word enable) noexcept {
  return (word & ~enable) | (data & enable);
}

// The synchronous reset as it acts: with enable_over_reset only while the
// port is enabled.
constexpr Word sync_reset_mask(Word sync_reset, Word enable, bool enable_over_reset) noexcept {
  return enable_over_reset ? sync_reset & enable : sync_reset;
}

// What a synchronous read port's data holds after its edge: its
// asynchronous reset value while `async_reset`, else its synchronous reset
// value while `sync_reset` (sync_reset_mask), else the word at its address
// (transparent writes in it) while `enable`, else the data as it was. A
// port without an enable passes all ones, one without a reset zeros.
constexpr Word next_read(Word data, Word word, Word enable, Word async_reset, Word async_value,
                         Word sync_reset, Word sync_value) noexcept {
  const Word taken =
      (sync_value & sync_reset) | (((word & enable) | (data & ~enable)) & ~sync_reset);
  return (async_value & async_reset) | (taken & ~async_reset);
}

// The asynchronous parts after an update, which with memories replace the
// rounds of resets: while some register or synchronous read port has its
// asynchronous reset at 1 and its q or data is not its reset value, or some
// asynchronous read port's data is not the word at its address, all such
// q's and data are written in one update; after one round per register and
// per read port and one more, they did not settle (an address that depends
// on the data it reads may never settle). `round()` and `update()` are
// those of settle_resets.
struct AsyncParts {
  std::size_t elements = 0;  // registers and read ports
  bool async_reads = false;  // some read port is asynchronous

  AsyncParts() = default;
  AsyncParts(std::size_t registers, const Memories& memories)
      : elements(registers + memories.read_ports), async_reads(memories.async_reads) {}
};

template <class Round, class Update>
Status settle_async_parts(const AsyncParts& parts, Round&& round, Update&& update) {
  return settle_resets(
      parts.elements, round, update,
      parts.async_reads ? messages::kResetsOrReadsDidNotSettle : messages::kResetsDidNotSettle);
}

}  // namespace nimbo
