// Reading one character of UTF-8 text, strictly: no overlong forms, no
// surrogates, nothing above U+10FFFF. An ill-formed byte reads as U+FFFD of
// length 1, so every byte outside a well-formed sequence is one character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nimbo {

struct Utf8Char {
  char32_t code_point;
  std::size_t length;  // bytes taken
  bool valid;
};

// The character starting at `pos` (pos < text.size()).
inline Utf8Char decode_utf8(std::string_view text, std::size_t pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  constexpr Utf8Char kInvalid{0xFFFD, 1, false};
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t length = 0;
  char32_t code_point = 0;
  // Allowed range of the second byte; it is narrower than 80..BF after some
  // lead bytes to exclude overlong forms, surrogates and values past U+10FFFF.
  std::uint8_t second_min = 0x80;
  std::uint8_t second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return kInvalid;
  }
  if (text.size() - pos < length) return kInvalid;
  if (byte(1) < second_min || byte(1) > second_max) return kInvalid;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return kInvalid;
    code_point = (code_point << 6) | (byte(i) & 0x3F);
  }
  return {code_point, length, true};
}

}  // namespace nimbo
