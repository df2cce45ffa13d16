#include "busses/quoted_id.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>

#include "busses/unicode_tables.hpp"

namespace nimbo {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One character read from UTF-8 text: its code point and how many bytes it
// took. An ill-formed byte reads as U+FFFD of length 1, so every byte that is
// not part of a well-formed sequence gives one replacement character.
struct DecodedChar {
  char32_t cp;
  std::size_t length;
  bool valid;
};

constexpr bool is_continuation(std::uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// Decodes the character at `pos` (pos < text.size()) following the
// well-formed byte sequences of UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
DecodedChar decode_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const std::size_t available = text.size() - pos;
  const std::uint8_t lead = byte(0);
  constexpr DecodedChar kInvalid{0xFFFD, 1, false};

  if (lead < 0x80) return {lead, 1, true};

  std::size_t length = 0;
  char32_t cp = 0;
  // Allowed range of the second byte; it is narrower than 80..BF after some
  // lead bytes to exclude overlong forms, surrogates and values past U+10FFFF.
  std::uint8_t second_min = 0x80;
  std::uint8_t second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return kInvalid;
  }

  if (available < length) return kInvalid;
  if (byte(1) < second_min || byte(1) > second_max) return kInvalid;
  for (std::size_t i = 1; i < length; ++i) {
    if (!is_continuation(byte(i))) return kInvalid;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  return {cp, length, true};
}

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

    const DecodedChar ch = decode_at(id, pos);
    switch (ch.cp) {
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
        if (!unicode::is_printable(ch.cp) || unicode::is_grapheme_extend(ch.cp)) {
          append_unicode_escape(out, ch.cp);
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
