#include "busses/quoted_id.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>

#include "busses/unicode_tables.hpp"
#include "common/utf8.hpp"

namespace nimbo {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Printable ASCII that is written unchanged: everything from space to '~'
// except the two characters that take a backslash.
constexpr bool is_plain_ascii(char c) {
  return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char digits[8];
  const auto result =
      std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(cp), 16);
  out += "\\u{";
  out.append(digits, result.ptr);
  out += '}';
}

}  // namespace

void append_quoted_id(std::string& out, std::string_view id) {
  out += '"';
  std::size_t pos = 0;
  while (pos < id.size()) {
    std::size_t run_end = pos;
    while (run_end < id.size() && is_plain_ascii(id[run_end])) ++run_end;
    if (run_end != pos) {
      out.append(id, pos, run_end - pos);
      pos = run_end;
      continue;
    }

    const Utf8Char ch = decode_utf8(id, pos);
    switch (ch.code_point) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (!unicode::is_printable(ch.code_point) || unicode::is_grapheme_extend(ch.code_point)) {
          append_unicode_escape(out, ch.code_point);
        } else if (ch.valid) {
          out.append(id, pos, ch.length);
        } else {
          out += kReplacementCharacter;
        }
        break;
    }
    pos += ch.length;
  }
  out += '"';
}

std::string quote_id(std::string_view id) {
  std::string out;
  out.reserve(id.size() + 2);
  append_quoted_id(out, id);
  return out;
}

}  // namespace nimbo
