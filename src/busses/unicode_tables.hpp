// Character properties from the Unicode Character Database, as needed by the
// quoted id. The tables behind these functions live in unicode_tables.cpp,
// which tools/gen_unicode_tables.py generates.
#pragma once

namespace nimbo::unicode {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// False for general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp and Zs
// other than U+0020 SPACE, and for values above kMaxCodePoint; true otherwise.
bool is_printable(char32_t cp);

// True for code points with the Grapheme_Extend property (combining marks,
// variation selectors, ZWNJ, ...).
bool is_grapheme_extend(char32_t cp);

}  // namespace nimbo::unicode
