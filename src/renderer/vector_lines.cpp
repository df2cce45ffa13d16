#include "renderer/vector_lines.hpp"

#include <unordered_set>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/value.hpp>

#include "renderer/json_document.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

// The parsed lines of one block: every node comes from this arena, and the
// bit strings the vectors point to are its strings.
struct VectorLines::Arena {
  json::monotonic_resource resource;
  std::vector<json::value> lines;
  std::unordered_set<std::string> reported;
};

VectorLines::VectorLines() : arena_(std::make_unique<Arena>()) {}
VectorLines::~VectorLines() = default;

void VectorLines::parse(std::string_view text, std::size_t first_line, const Component& component) {
  std::size_t number = first_line;
  for (std::size_t start = 0; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (is_blank(line)) continue;

    const auto fail = [&](std::optional<std::string> id, std::string message) {
      fault_ = LineFault{ends_.size(), number, std::move(id), std::move(message)};
    };
    Result<json::value> parsed = parse_json_line(line, json::storage_ptr(&arena_->resource));
    if (!parsed.ok()) return fail(std::nullopt, "invalid JSON: " + parsed.error());
    const json::object* object = parsed.value().if_object();
    if (object == nullptr) return fail(std::nullopt, "expected an object of bus id to bit string");
    arena_->lines.push_back(std::move(parsed).value());
    for (const auto& [key, value] : arena_->lines.back().get_object()) {
      const std::string_view id(key);
      const json::string* bits = value.if_string();
      if (bits == nullptr) {
        writes_.resize(ends_.empty() ? 0 : ends_.back());
        return fail(std::string(id), "the value must be a bit string in quotes");
      }
      const auto position = component.find(id);
      if (!position) {
        if (arena_->reported.emplace(id).second) unknown_.emplace_back(number, std::string(id));
        continue;
      }
      writes_.push_back({*position, std::string_view(*bits)});
    }
    ends_.push_back(writes_.size());
    lines_.push_back(number);
  }
}

}  // namespace nimbo
