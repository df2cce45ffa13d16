// StringHash: the hash of the id-keyed maps, transparent so that a lookup by
// std::string_view makes no std::string.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace nimbo {

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace nimbo
