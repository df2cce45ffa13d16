// libFuzzer target: arbitrary bytes as an IR text through the render driver.
//
// Rendering must never crash, leak or trip a sanitizer; a failure must carry a
// message, and a parse failure must name its position.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
    const std::string text = rendered.value().to_string();
    if (rendered.value().busses().size() > 0 && text.empty()) __builtin_trap();
  } else if (rendered.error().empty() || !has_position(rendered.error())) {
    __builtin_trap();
  }
  return 0;
}
