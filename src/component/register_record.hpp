// RegisterRecord: a register as the IR describes it beside the busses, its
// busses named by id. The simulation resolves and checks the ids.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace nimbo {

enum class Edge : unsigned char { kPosedge, kNegedge };

struct RegisterRecord {
  std::size_t index = 0;  // its place in the IR's "registers" array
  std::string q;          // the state: a bus without assignment
  std::string d;          // what the edge writes into q
  std::string clock;      // a 1-bit bus without assignment
  Edge edge = Edge::kPosedge;
  std::optional<std::string> enable;       // 1-bit; the edge writes q only while it is 1
  std::optional<std::string> async_reset;  // 1-bit; while it is 1, q holds reset_value
  std::optional<std::string> reset_value;  // bit string of q's width; all 0 when absent
  // The design gives q no initial value (Verilog starts it at x): it starts
  // as the x-initial rule says (engine/x_initial.hpp), not at q's value.
  bool uninitialised = false;
};

}  // namespace nimbo
