#include "engine/write_roles.hpp"

namespace nimbo {

std::vector<WriteRole> write_roles(const Component& model, const Registers& registers) {
  std::vector<WriteRole> roles(model.bus_count(), WriteRole::kInput);
  for (std::size_t p = 0; p < roles.size(); ++p) {
    if (model.is_driven(p)) roles[p] = WriteRole::kLogic;
  }
  for (const Register& reg : registers.list) roles[reg.q] = WriteRole::kState;
  return roles;
}

const char* write_role_name(WriteRole role) noexcept {
  switch (role) {
    case WriteRole::kInput:
      return "input";
    case WriteRole::kOutput:
      return "output";
    case WriteRole::kLogic:
      return "logic";
    case WriteRole::kState:
      return "state";
  }
  return "input";
}

std::string not_input_message(WriteRole role) {
  const char* what = role == WriteRole::kLogic   ? "driven by logic"
                     : role == WriteRole::kState ? "a register's state"
                                                 : "an output";
  return std::string("not an input: ") + what + "; only inputs are written";
}

}  // namespace nimbo
