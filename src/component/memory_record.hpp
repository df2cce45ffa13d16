// MemoryRecord: a memory as the IR describes it beside the busses, its ports'
// busses named by id in bit lists (least significant first, as ports list
// them). resolve_memories (component/memories.hpp) resolves and checks the
// ids and the initial contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "component/register_record.hpp"

namespace nimbo {

// A run of initial words: `values` written one after the other from word
// `word` on, the whole list `repeat` times over. Each value is a hex text,
// most significant digit first, as a $readmemh file writes it.
struct MemoryInitRecord {
  std::uint64_t word = 0;
  std::vector<std::string> values;
  std::uint64_t repeat = 1;
};

// A read port: asynchronous without a clock (the data follows the word at
// the address), else synchronous (the data is taken at the clock's edge).
struct MemoryReadRecord {
  std::vector<std::string> address;
  std::vector<std::string> data;  // busses without assignment, driven by the memory
  std::optional<std::string> clock;
  std::optional<Edge> edge;
  std::optional<std::string> enable;
  std::optional<std::string> async_reset;
  std::optional<std::string> async_reset_value;  // bit string of the word width
  std::optional<std::string> sync_reset;
  std::optional<std::string> sync_reset_value;
  std::optional<bool> enable_over_reset;                  // the sync reset acts only while enabled
  std::optional<std::vector<std::uint64_t>> transparent;  // write port indexes
};

// A write port: at its clock's edge it writes the data bits whose enable is
// 1 (every bit without an enable) into the word at the address.
struct MemoryWriteRecord {
  std::string clock;
  Edge edge = Edge::kPosedge;
  std::vector<std::string> address;
  std::vector<std::string> data;
  std::optional<std::vector<std::string>> enable;
};

struct MemoryRecord {
  std::size_t index = 0;  // its place in the IR's "memories" array
  std::string name;
  std::uint64_t words = 0;
  std::uint64_t width = 0;
  std::int64_t offset = 0;  // the address of word 0
  std::vector<MemoryInitRecord> init;
  // The words that no init run names have no initial value (Verilog starts
  // them at x): they start as the x-initial rule says (engine/x_initial.hpp),
  // not at 0.
  bool uninitialised = false;
  std::vector<MemoryReadRecord> read_ports;
  std::vector<MemoryWriteRecord> write_ports;
};

}  // namespace nimbo
