// Memories of a design: the IR's memory records resolved to bus positions,
// checked against the component and its registers, their initial contents
// unpacked into words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"
#include "component/component.hpp"
#include "component/memory_record.hpp"
#include "component/register_record.hpp"

namespace nimbo {

// The most a memory may hold.
inline constexpr std::uint64_t kMaxMemoryWords = std::uint64_t{1} << 24;
inline constexpr std::uint64_t kMaxMemoryWidth = std::uint64_t{1} << 16;
inline constexpr std::uint64_t kMaxMemoryBits = std::uint64_t{1} << 28;
// The most bits an address takes.
inline constexpr std::size_t kMaxAddressBits = 64;

// A bit list of a port: the busses at these positions, least significant
// first. One bus gives all its bits; several give one bit each.
using BitList = std::vector<std::uint32_t>;

struct MemoryReadPort {
  BitList address;
  BitList data;                        // busses without assignment that the memory drives
  std::optional<std::uint32_t> clock;  // none: asynchronous
  Edge edge = Edge::kPosedge;
  std::optional<std::uint32_t> enable;
  std::optional<std::uint32_t> async_reset;
  std::optional<std::uint32_t> sync_reset;
  BitBusValue async_reset_value;  // of the word width; all 0 unless given
  BitBusValue sync_reset_value;
  bool enable_over_reset = false;
  std::vector<std::uint32_t> transparent;  // write port indexes, ascending

  bool synchronous() const noexcept { return clock.has_value(); }
};

struct MemoryWritePort {
  std::uint32_t clock = 0;
  Edge edge = Edge::kPosedge;
  BitList address;
  BitList data;
  BitList enable;  // empty: every bit is written
};

struct Memory {
  std::size_t index = 0;  // its place in the IR's "memories" array
  std::string name;
  std::uint64_t words = 0;
  std::size_t width = 0;
  std::int64_t offset = 0;  // the address of word 0
  // The initial contents: bit b of word w is bit b % 64 of
  // contents[w * stride + b / 64]; bits past the width are 0.
  std::size_t stride = 0;
  std::vector<std::uint64_t> contents;
  std::vector<MemoryReadPort> read_ports;
  std::vector<MemoryWritePort> write_ports;

  // "memories[0] (name 'ram')", how messages name it.
  std::string place() const;
};

struct Memories {
  std::vector<Memory> list;
  std::vector<std::uint32_t> clocks;  // distinct clock positions, in first use order
  std::size_t read_ports = 0;         // of every memory
  bool async_reads = false;           // some read port is asynchronous
  bool any_negedge = false;           // some port takes the falling edge
  // Some read port acts between edges: an asynchronous one, or one with an
  // asynchronous reset.
  bool async_parts = false;

  bool empty() const noexcept { return list.empty(); }
};

// Resolves the records against `component` and checks what does not depend
// on evaluated widths: every id names a bus; each read port's data busses
// have no assignment, are no register's q, no clock and no other port's
// data, and give the word width; clocks have no assignment, one bit, and
// are no register's q and no read data; sizes, reset values, transparency
// and initial contents fit. `registers` are the design's register records,
// already resolved (their roles are taken from them).
Result<Memories> resolve_memories(const Component& component,
                                  std::span<const RegisterRecord> registers,
                                  std::span<const MemoryRecord> records);

// Checks what depends on evaluated widths (after the first update, whose
// widths `width_of` gives): addresses of at most 64 bits, write data and
// enables of the word width, one-bit read enables and resets, and lists of
// several busses naming one-bit busses.
Status check_memory_widths(const Component& component, const Memories& memories,
                           const std::function<std::size_t(std::uint32_t)>& width_of);

}  // namespace nimbo
