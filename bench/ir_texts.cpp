#include "ir_texts.hpp"

#include <array>
#include <random>
#include <string_view>
#include <vector>

namespace nimbo::bench {
namespace {

constexpr std::array<std::string_view, 6> kGateTypes{"and", "or", "xor", "nand", "nor", "xnor"};

struct Gate {
  std::string_view type;
  std::size_t left;
  std::size_t right;
};

// Bus n is "i<n>" for inputs and "g<n>" for gates.
void append_id(std::string& out, std::size_t bus, std::size_t inputs) {
  out += bus < inputs ? 'i' : 'g';
  out += std::to_string(bus);
}

void append_ref(std::string& out, std::size_t bus, std::size_t inputs) {
  out += R"({"type":"ref","args":{"id":")";
  append_id(out, bus, inputs);
  out += "\"}}";
}

// Writes the whole IR; `value` writes one bus's initial value text.
template <class WriteValue>
std::string write_ir(std::size_t inputs, const std::vector<Gate>& gates, WriteValue value) {
  const std::size_t total = inputs + gates.size();
  std::vector<std::vector<std::size_t>> readers(total);
  for (std::size_t g = 0; g < gates.size(); ++g) {
    readers[gates[g].left].push_back(inputs + g);
    if (gates[g].right != gates[g].left) readers[gates[g].right].push_back(inputs + g);
  }
  std::string ir = R"({"component":{"id":"bench","busses":[)";
  ir.reserve(total * 200);
  for (std::size_t bus = 0; bus < total; ++bus) {
    if (bus > 0) ir += ",\n";
    ir += R"({"id":")";
    append_id(ir, bus, inputs);
    ir += R"(","value":")";
    value(ir);
    ir += '"';
    if (bus >= inputs) {
      const Gate& gate = gates[bus - inputs];
      ir += R"(,"assignment":{"type":")";
      ir += gate.type;
      ir += R"(","args":{"l_expr":)";
      append_ref(ir, gate.left, inputs);
      ir += R"(,"r_expr":)";
      append_ref(ir, gate.right, inputs);
      ir += "}}";
    }
    ir += R"(,"influence_list":[)";
    for (std::size_t r = 0; r < readers[bus].size(); ++r) {
      if (r > 0) ir += ',';
      ir += '"';
      append_id(ir, readers[bus][r], inputs);
      ir += '"';
    }
    ir += "]}";
  }
  ir += "]}}\n";
  return ir;
}

}  // namespace

std::string layered_dag_ir(std::size_t inputs, std::size_t gates, std::size_t layer_width,
                           std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<Gate> wiring;
  wiring.reserve(gates);
  std::size_t layer_begin = 0;  // first bus of the layer below the current one
  std::size_t layer_end = inputs;
  for (std::size_t g = 0; g < gates; ++g) {
    if (g > 0 && g % layer_width == 0) {
      layer_begin = layer_end;
      layer_end = inputs + g;
    }
    std::uniform_int_distribution<std::size_t> below(layer_begin, layer_end - 1);
    wiring.push_back(Gate{kGateTypes[random() % kGateTypes.size()], below(random), below(random)});
  }
  return write_ir(inputs, wiring, [](std::string& out) { out += '0'; });
}

std::string wide_bus_ir(std::size_t busses, std::size_t inputs, std::size_t width,
                        std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<Gate> wiring;
  for (std::size_t bus = inputs; bus < busses; ++bus) {
    std::uniform_int_distribution<std::size_t> earlier(0, bus - 1);
    wiring.push_back(Gate{"xor", earlier(random), earlier(random)});
  }
  return write_ir(inputs, wiring, [&random, width](std::string& out) {
    for (std::size_t bit = 0; bit < width; ++bit) out += (random() & 1U) != 0 ? '1' : '0';
  });
}

}  // namespace nimbo::bench
