// Line and column of a byte offset in a UTF-8 text.
#pragma once

#include <cstddef>
#include <string_view>

namespace nimbo {

struct TextPosition {
  std::size_t line;    // 1-based
  std::size_t column;  // 1-based, counted in characters (code points)
};

// Lines end at "\n", "\r\n" or a lone "\r". Columns count UTF-8 lead bytes, so
// a multi-byte character is one column; a stray continuation byte counts as
// part of the character before it.
TextPosition position_of(std::string_view text, std::size_t offset) noexcept;

}  // namespace nimbo
