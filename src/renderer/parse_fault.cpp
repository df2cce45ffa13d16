#include "renderer/parse_fault.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "common/utf8.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Where the offset lies lexically. The text before the offset is a valid JSON
// prefix, so a plain scan for string quotes and escapes is exact.
struct Lexical {
  bool in_string = false;
  std::size_t string_start = kNone;   // opening quote of the open string
  std::size_t escape_start = kNone;   // backslash of an escape still open at the offset
  std::size_t last_u = kNone;         // last "\uXXXX" escape of the open string
  std::size_t before_last_u = kNone;  // the "\uXXXX" escape right before last_u, if adjacent
};

Lexical scan_lexical(std::string_view text, std::size_t offset) {
  Lexical lex;
  std::size_t escape_length = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    const char c = text[i];
    if (!lex.in_string) {
      if (c == '"') {
        lex = Lexical{};
        lex.in_string = true;
        lex.string_start = i;
      }
      continue;
    }
    if (lex.escape_start != kNone) {
      if (i == lex.escape_start + 1) {
        escape_length = c == 'u' ? 6 : 2;
        if (c == 'u') {
          lex.before_last_u =
              (lex.last_u != kNone && lex.last_u + 6 == lex.escape_start) ? lex.last_u : kNone;
          lex.last_u = lex.escape_start;
        }
      }
      if (i + 1 - lex.escape_start >= escape_length) lex.escape_start = kNone;
      continue;
    }
    if (c == '\\') {
      lex.escape_start = i;
      escape_length = 2;
    } else if (c == '"') {
      lex.in_string = false;
    }
  }
  return lex;
}

struct Context {
  std::string_view text;
  std::size_t offset;
  const json::error_code& code;
  std::size_t max_depth;
  Lexical lex;

  bool at_end() const { return offset >= text.size(); }
  unsigned char byte() const { return static_cast<unsigned char>(text[offset]); }
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string code_point_name(char32_t cp) {
  std::array<char, 16> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "U+%04X", static_cast<unsigned>(cp));
  return buffer.data();
}

// "invalid UTF-8 byte 0xC3"
std::string invalid_byte(unsigned char byte) {
  std::array<char, 8> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "0x%02X", static_cast<unsigned>(byte));
  return std::string("invalid UTF-8 byte ") + buffer.data();
}

// How an unexpected character is shown: printable characters quoted, the
// rest by code point.
std::string describe_character(std::string_view text, std::size_t at) {
  const Utf8Char ch = decode_utf8(text, at);
  const char32_t cp = ch.code_point;
  const std::size_t length = ch.length;
  if (!ch.valid) return invalid_byte(static_cast<unsigned char>(text[at]));
  if (cp == 0xFEFF) return "byte order mark " + code_point_name(cp);
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
    return "control character " + code_point_name(cp);
  }
  std::string shown = "'";
  shown.append(text.substr(at, length));
  shown += '\'';
  if (cp >= 0x80) shown += " (" + code_point_name(cp) + ")";
  return shown;
}

bool is_lead_surrogate(unsigned unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_trail_surrogate(unsigned unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::optional<unsigned> escape_unit(std::string_view text, std::size_t escape) {
  if (escape == kNone || escape + 6 > text.size()) return std::nullopt;
  unsigned unit = 0;
  for (std::size_t i = escape + 2; i < escape + 6; ++i) {
    const char c = text[i];
    unit <<= 4;
    if (c >= '0' && c <= '9') {
      unit |= static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      unit |= static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      unit |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return unit;
}

// The "\uXXXX" escape left without its partner, if the fault is one.
std::size_t unpaired_surrogate(const Context& c) {
  if (!c.lex.in_string) return kNone;
  const std::size_t last = c.lex.last_u;
  const auto unit = escape_unit(c.text, last);
  if (!unit) return kNone;
  const std::size_t last_end = last + 6;
  if (last_end <= c.offset) {
    if (is_lead_surrogate(*unit)) return last;  // a lead followed by no "\u" escape
    if (is_trail_surrogate(*unit)) {
      const auto before = escape_unit(c.text, c.lex.before_last_u);
      if (!before || !is_lead_surrogate(*before)) return last;  // a trail on its own
    }
    return kNone;
  }
  // The offset is inside the last escape: a lead before it that this escape
  // does not complete.
  const auto before = escape_unit(c.text, c.lex.before_last_u);
  if (before && is_lead_surrogate(*before) && !is_trail_surrogate(*unit)) {
    return c.lex.before_last_u;
  }
  return kNone;
}

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}
bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The start of the number token that the offset lies in or right after.
std::size_t number_start(const Context& c) {
  std::size_t start = c.offset;
  while (start > 0 && is_number_char(c.text[start - 1])) --start;
  if (start == c.offset) return kNone;
  const char first = c.text[start];
  return (first == '-' || (first >= '0' && first <= '9')) ? start : kNone;
}

// A token quoted from `start`, running while `keep` holds, at most 32 bytes.
template <class Keep>
std::string quoted_token(std::string_view text, std::size_t start, std::size_t at_least,
                         Keep keep) {
  std::size_t end = start + at_least;
  while (end < text.size() && end - start < 32 && keep(text[end])) ++end;
  std::string quoted;
  quoted.reserve(end - start + 2);
  quoted += '\'';
  quoted.append(text.substr(start, end - start));
  quoted += '\'';
  return quoted;
}

char previous_significant(const Context& c) {
  std::size_t i = c.offset;
  while (i > 0 && is_space(c.text[i - 1])) --i;
  return i == 0 ? '\0' : c.text[i - 1];
}

// One rule of the classifier: when it applies and what it says.
struct Rule {
  std::optional<ParseFault> (*apply)(const Context&);
};

std::optional<ParseFault> too_deep(const Context& c) {
  if (c.code != json::error::too_deep) return std::nullopt;
  return ParseFault{c.offset, "nesting deeper than " + std::to_string(c.max_depth) + " levels"};
}

std::optional<ParseFault> empty_text(const Context& c) {
  if (!c.at_end() || c.lex.in_string) return std::nullopt;
  for (std::size_t i = 0; i < c.offset; ++i) {
    if (!is_space(c.text[i])) return std::nullopt;
  }
  return ParseFault{c.offset, "empty text"};
}

std::optional<ParseFault> after_document(const Context& c) {
  if (c.code != json::error::extra_data || c.at_end()) return std::nullopt;
  return ParseFault{c.offset,
                    "unexpected " + describe_character(c.text, c.offset) + " after the document"};
}

std::optional<ParseFault> unterminated_string(const Context& c) {
  if (!c.at_end() || !c.lex.in_string) return std::nullopt;
  return ParseFault{c.lex.string_start, "unterminated string"};
}

std::optional<ParseFault> end_of_text(const Context& c) {
  if (!c.at_end()) return std::nullopt;
  return ParseFault{c.offset, "unexpected end of text"};
}

bool is_escape_letter(char c) {
  switch (c) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
    case 'u':
      return true;
    default:
      return false;
  }
}

std::optional<ParseFault> invalid_escape(const Context& c) {
  const std::size_t start = c.lex.escape_start;
  if (!c.lex.in_string || start == kNone) return std::nullopt;
  const bool bad_letter = c.offset == start + 1 && !is_escape_letter(c.text[c.offset]);
  if (!bad_letter && c.code != json::error::expected_hex_digit) return std::nullopt;
  const std::size_t length = decode_utf8(c.text, c.offset).length;
  const std::string escape(c.text.substr(start, c.offset + length - start));
  return ParseFault{start, "invalid escape '" + escape + "'"};
}

std::optional<ParseFault> surrogate(const Context& c) {
  const std::size_t escape = unpaired_surrogate(c);
  if (escape == kNone) return std::nullopt;
  return ParseFault{escape,
                    "unpaired UTF-16 surrogate '" + std::string(c.text.substr(escape, 6)) + "'"};
}

std::optional<ParseFault> control_in_string(const Context& c) {
  if (!c.lex.in_string || c.byte() >= 0x20) return std::nullopt;
  return ParseFault{
      c.offset, "control character " + code_point_name(c.byte()) + " in string (must be escaped)"};
}

std::optional<ParseFault> invalid_utf8(const Context& c) {
  if (decode_utf8(c.text, c.offset).valid) return std::nullopt;
  return ParseFault{c.offset, invalid_byte(c.byte())};
}

std::optional<ParseFault> trailing_comma(const Context& c) {
  const char here = c.text[c.offset];
  if ((here != ']' && here != '}') || previous_significant(c) != ',') return std::nullopt;
  return ParseFault{c.offset, std::string("trailing comma before '") + here + "'"};
}

std::optional<ParseFault> bad_number(const Context& c) {
  const std::size_t start = number_start(c);
  if (start == kNone) return std::nullopt;
  const char last = c.text[c.offset - 1];
  const char here = c.text[c.offset];
  const bool unfinished = last == '-' || last == '+' || last == '.' || last == 'e' || last == 'E';
  const bool leading_zero =
      (here >= '0' && here <= '9') && last == '0' &&
      (c.offset - start == 1 || (c.offset - start == 2 && c.text[start] == '-'));
  if (!unfinished && !leading_zero) return std::nullopt;
  const std::string token =
      quoted_token(c.text, start, c.offset - start, [](char ch) { return is_number_char(ch); });
  return ParseFault{start, (leading_zero ? "leading zero in number " : "invalid number ") + token};
}

std::optional<ParseFault> bad_literal(const Context& c) {
  if (!is_word_char(c.text[c.offset])) return std::nullopt;
  std::size_t start = c.offset;
  while (start > 0 && is_word_char(c.text[start - 1])) --start;
  const char first = c.text[start];
  if (first >= '0' && first <= '9') return std::nullopt;  // a number run into a letter
  return ParseFault{start,
                    "invalid literal " + quoted_token(c.text, start, c.offset - start,
                                                      [](char ch) { return is_word_char(ch); })};
}

std::optional<ParseFault> unexpected(const Context& c) {
  return ParseFault{c.offset, "unexpected " + describe_character(c.text, c.offset)};
}

// Tried in order; the first rule that applies names the fault. The last one
// always applies. Rules after the end-of-text ones may read the byte at the
// offset.
constexpr std::array<Rule, 13> kRules{{
    {too_deep},
    {empty_text},
    {after_document},
    {unterminated_string},
    {end_of_text},
    {invalid_escape},
    {surrogate},
    {control_in_string},
    {invalid_utf8},
    {trailing_comma},
    {bad_number},
    {bad_literal},
    {unexpected},
}};

}  // namespace

ParseFault classify_parse_fault(std::string_view text, std::size_t offset,
                                const boost::json::error_code& code, std::size_t max_depth) {
  if (offset > text.size()) offset = text.size();
  const Context context{text, offset, code, max_depth, scan_lexical(text, offset)};
  for (const Rule& rule : kRules) {
    if (auto fault = rule.apply(context)) return *std::move(fault);
  }
  return ParseFault{offset, "invalid JSON"};
}

}  // namespace nimbo
