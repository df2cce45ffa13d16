// libFuzzer target: arbitrary bytes as JSON Lines of vectors, read with and
// without ports and numbers, whole and in pieces of bounded size, then run.
//
// Nothing may crash, leak or trip a sanitizer; every write names a bus of
// the circuit; a refused value's data words its message; the pieces read
// one after the other give the vectors, lines and fault of the whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/simulation.hpp"
#include "renderer/renderer.hpp"
#include "renderer/vector_lines.hpp"

namespace {

// a[0..2] one bit each, w of 5 bits, y = a[0] and a[1]; the ports a (over
// a[0..2]), wp (over w) and y.
constexpr const char* kCircuit = R"({"component": {"id": "ported", "busses": [
  {"id": "a[0]", "value": "0", "influence_list": ["y"]},
  {"id": "a[1]", "value": "0", "influence_list": ["y"]},
  {"id": "a[2]", "value": "0"},
  {"id": "w", "value": "00000"},
  {"id": "y", "assignment": {"type": "and", "args": {
    "l_expr": {"type": "ref", "args": {"id": "a[0]"}},
    "r_expr": {"type": "ref", "args": {"id": "a[1]"}}}}}]}})";

struct Fixture {
  std::unique_ptr<nimbo::Simulation> simulation;
  std::unique_ptr<nimbo::VectorNames> names;
  Fixture() {
    nimbo::Result<nimbo::Component> rendered = nimbo::Renderer(kCircuit).render();
    if (!rendered.ok()) __builtin_trap();
    simulation = std::make_unique<nimbo::Simulation>(std::move(rendered).value());
    const nimbo::Simulation* run = simulation.get();
    names = std::make_unique<nimbo::VectorNames>(
        [run](std::uint32_t position) { return run->width(position); });
    names->add_port("a", {0, 1, 2});
    names->add_port("wp", {3});
    names->add_port("y", {4});
  }
};

using Write = std::pair<std::uint32_t, std::string>;

std::vector<Write> writes_of(const nimbo::TextVectors& vectors) {
  std::vector<Write> writes;
  for (const nimbo::PositionInput& input : vectors.writes) {
    writes.emplace_back(input.position, std::string(input.bits));
  }
  return writes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const nimbo::Component& model = fixture.simulation->model();
  for (const nimbo::VectorNames* names :
       {static_cast<const nimbo::VectorNames*>(nullptr),
        static_cast<const nimbo::VectorNames*>(fixture.names.get())}) {
    nimbo::VectorLines whole;
    whole.parse(text, 1, model, names);
    for (const nimbo::PositionInput& input : whole.vectors().writes) {
      if (input.position >= model.bus_count()) __builtin_trap();
    }
    // A refused value says why as data that words the message; a noted bit
    // string is one of its name's width, above one bit.
    if (const auto& fault = whole.fault(); fault && fault->kind == nimbo::LineRefusal::kValue) {
      const std::string shown = fault->integer ? fault->value : "\"" + fault->value + "\"";
      if (!fault->id || fault->detail.empty() || fault->message != shown + " " + fault->detail) {
        __builtin_trap();
      }
    }
    for (const nimbo::BitStringNote& note : whole.bit_strings()) {
      if (names == nullptr || note.value.size() < 2 ||
          note.value.find_first_not_of("01") != std::string::npos) {
        __builtin_trap();
      }
    }
    // In pieces of at most about 200 bytes of writes each.
    nimbo::VectorBlock block;
    std::vector<Write> joined;
    std::vector<std::size_t> lines;
    std::size_t start = 0;
    std::size_t line = 1;
    for (;;) {
      const std::string_view piece = std::string_view(text).substr(start);
      block.parse(piece, line, model, false, names, 200);
      const std::vector<Write> writes = writes_of(block.vectors());
      joined.insert(joined.end(), writes.begin(), writes.end());
      lines.insert(lines.end(), block.lines().begin(), block.lines().end());
      if (block.fault()) {
        if (!whole.fault() || whole.fault()->line != block.fault()->line ||
            whole.fault()->message != block.fault()->message) {
          __builtin_trap();
        }
        break;
      }
      if (block.read() >= piece.size()) break;
      if (block.read() == 0) __builtin_trap();  // no progress
      line += static_cast<std::size_t>(std::count(
          piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(block.read()), '\n'));
      start += block.read();
    }
    if (joined != writes_of(whole.vectors()) || lines != whole.lines()) __builtin_trap();

    struct Ignore final : nimbo::VectorSink {
      bool take(std::size_t, std::span<const nimbo::BitBusValue>) override { return true; }
    } sink;
    const std::uint32_t shown[] = {4};
    const nimbo::UpdateControl control{nullptr, 20000};
    (void)fixture.simulation->run_vectors(whole.vectors(), shown, sink, control);
  }
  return 0;
}
