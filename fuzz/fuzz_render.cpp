// libFuzzer target: arbitrary bytes as an IR text through the render driver,
// and a rendered component through an update and a short batch; the
// design's records read and its memories resolved.
//
// Nothing may crash, leak or trip a sanitizer; a render failure must carry a
// message, and a parse failure must name its position.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/memories.hpp"
#include "engine/simulation.hpp"
#include "renderer/renderer.hpp"

namespace {

bool has_position(std::string_view message) {
  constexpr std::string_view kParsePrefix = "Failed to parse IR JSON: ";
  if (message.substr(0, kParsePrefix.size()) != kParsePrefix) return true;
  message.remove_prefix(kParsePrefix.size());
  return message.substr(0, 5) == "line " && message.find(", column ") != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const nimbo::Renderer renderer(std::string(reinterpret_cast<const char*>(data), size));
  nimbo::Result<nimbo::Component> rendered = renderer.render();
  if (rendered.ok()) {
    nimbo::Result<nimbo::Design> design = renderer.render_design();
    if (design.ok()) {
      const nimbo::Design& parts = design.value();
      nimbo::Result<nimbo::Memories> memories =
          nimbo::resolve_memories(parts.component, parts.registers, parts.memories);
      if (!memories.ok() && memories.error().empty()) __builtin_trap();
    } else if (design.error().empty()) {
      __builtin_trap();
    }
    nimbo::Simulation simulation(std::move(rendered).value());
    const std::string text = simulation.to_string();
    if (simulation.bus_count() > 0 && text.empty()) __builtin_trap();
    // Every bus written with zeros of its width, then the same again as a
    // batch of vectors long enough for the lanes; a bounded amount of work.
    const nimbo::UpdateControl control{nullptr, 20000};
    std::vector<std::string> zeros;
    std::vector<nimbo::PositionInput> inputs;
    for (std::uint32_t p = 0; p < simulation.bus_count() && p < 64; ++p) {
      zeros.emplace_back(std::min<std::size_t>(simulation.width(p), 4096), '0');
    }
    for (std::uint32_t p = 0; p < zeros.size(); ++p) inputs.push_back({p, zeros[p]});
    if (simulation.update_positions(inputs, control).ok()) {
      std::vector<std::size_t> ends(16, 0);
      ends.back() = inputs.size();
      struct Ignore final : nimbo::VectorSink {
        bool take(std::size_t, std::span<const nimbo::BitBusValue>) override { return true; }
      } sink;
      const std::uint32_t first_bus[] = {0};
      const std::span<const std::uint32_t> shown(first_bus, simulation.bus_count() > 0 ? 1 : 0);
      (void)simulation.run_vectors(nimbo::TextVectors{inputs, ends}, shown, sink, control);
    }
    (void)simulation.to_string();
  } else if (rendered.error().empty() || !has_position(rendered.error())) {
    __builtin_trap();
  }
  return 0;
}
