#!/usr/bin/env python3
"""Writes src/busses/unicode_tables.cpp from the Unicode Character Database.

Two sorted tables of inclusive code point ranges are produced:

* not printable: general categories Cc, Cf, Cs, Co, Zl, Zp, Zs (except
  U+0020 SPACE) and Cn, i.e. every code point up to U+10FFFF that
  UnicodeData.txt does not list;
* grapheme extend: the Grapheme_Extend property of DerivedCoreProperties.txt.

Usage:
    python3 tools/gen_unicode_tables.py [--ucd-dir DIR] [--output FILE]

Defaults read /usr/share/unicode (Debian package unicode-data) and write
src/busses/unicode_tables.cpp next to this script's repository root.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
from pathlib import Path

MAX_CODE_POINT = 0x10FFFF
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Zl", "Zp", "Zs"}
SPACE = 0x20
RANGES_PER_LINE = 4

Range = tuple[int, int]


def read_general_categories(path: Path) -> dict[int, str]:
    """Maps every assigned code point to its general category.

    Entries named "<..., First>" and "<..., Last>" stand for every code point
    between the two.
    """
    categories: dict[int, str] = {}
    range_start: tuple[int, str] | None = None
    with path.open(encoding="utf-8") as f:
        for line_no, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split(";")
            if len(fields) < 3:
                raise ValueError(f"{path}:{line_no}: too few fields")
            code = int(fields[0], 16)
            name = fields[1]
            category = fields[2]
            if name.endswith(", First>"):
                range_start = (code, category)
                continue
            if name.endswith(", Last>"):
                if range_start is None or range_start[1] != category:
                    raise ValueError(f"{path}:{line_no}: range end without matching start")
                for cp in range(range_start[0], code + 1):
                    categories[cp] = category
                range_start = None
                continue
            if range_start is not None:
                raise ValueError(f"{path}:{line_no}: range start without end")
            categories[code] = category
    if range_start is not None:
        raise ValueError(f"{path}: range start without end at end of file")
    return categories


def read_property_ranges(path: Path, prop: str) -> list[Range]:
    """Returns the code point ranges that DerivedCoreProperties.txt lists for `prop`."""
    ranges: list[Range] = []
    with path.open(encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            codes, name = (part.strip() for part in data.split(";", 1))
            if name != prop:
                continue
            first, _, last = codes.partition("..")
            ranges.append((int(first, 16), int(last or first, 16)))
    if not ranges:
        raise ValueError(f"{path}: no entries for {prop}")
    return ranges


def merge_ranges(ranges: list[Range]) -> list[Range]:
    """Sorts ranges and joins overlapping or adjacent ones."""
    merged: list[Range] = []
    for first, last in sorted(ranges):
        if merged and first <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    return merged


def ranges_of(predicate, limit: int = MAX_CODE_POINT) -> list[Range]:
    """Returns the maximal runs of code points 0..limit for which predicate holds."""
    ranges: list[Range] = []
    start = None
    for cp in range(limit + 1):
        if predicate(cp):
            if start is None:
                start = cp
        elif start is not None:
            ranges.append((start, cp - 1))
            start = None
    if start is not None:
        ranges.append((start, limit))
    return ranges


def not_printable_ranges(categories: dict[int, str]) -> list[Range]:
    def not_printable(cp: int) -> bool:
        category = categories.get(cp)
        if category is None:  # Cn: unassigned
            return True
        return category in NOT_PRINTABLE_CATEGORIES and cp != SPACE

    return ranges_of(not_printable)


def unicode_version(derived_core_properties: Path) -> str:
    """Reads the version from the file header, else asks dpkg for the package version."""
    with derived_core_properties.open(encoding="utf-8") as f:
        for line in f:
            if not line.startswith("#"):
                break
            match = re.match(r"#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", line)
            if match:
                return match.group(1)
    try:
        result = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", "unicode-data"],
            capture_output=True,
            text=True,
            check=True,
        )
        return f"unknown (Debian unicode-data {result.stdout.strip()})"
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def format_table(name: str, ranges: list[Range]) -> str:
    lines = [f"constexpr CodePointRange {name}[] = {{"]
    for i in range(0, len(ranges), RANGES_PER_LINE):
        chunk = ranges[i : i + RANGES_PER_LINE]
        lines.append("    " + " ".join(f"{{0x{a:06X}, 0x{b:06X}}}," for a, b in chunk))
    lines.append("};")
    return "\n".join(lines)


SOURCE_TEMPLATE = """\
// GENERATED FILE, DO NOT EDIT.
// Generated by: {command}
// Source: {unicode_data} and {derived}
// Unicode version: {version}
//
// Sorted, disjoint, inclusive code point ranges: {not_printable_count} not printable
// (Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs except U+0020) and {extend_count} Grapheme_Extend.
#include "busses/unicode_tables.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>

namespace nimbo::unicode {{
namespace {{

struct CodePointRange {{
  char32_t first;
  char32_t last;
}};

// clang-format off
{not_printable_table}

{extend_table}
// clang-format on

constexpr bool is_sorted_and_disjoint(std::span<const CodePointRange> ranges) {{
  for (std::size_t i = 0; i < ranges.size(); ++i) {{
    if (ranges[i].first > ranges[i].last) return false;
    if (i > 0 && ranges[i - 1].last >= ranges[i].first) return false;
  }}
  return true;
}}

static_assert(is_sorted_and_disjoint(kNotPrintable));
static_assert(is_sorted_and_disjoint(kGraphemeExtend));

bool contains(std::span<const CodePointRange> ranges, char32_t cp) {{
  auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                [](char32_t c, const CodePointRange& r) {{ return c < r.first; }});
  return after != ranges.begin() && cp <= std::prev(after)->last;
}}

}}  // namespace

bool is_printable(char32_t cp) {{
  return cp <= kMaxCodePoint && !contains(kNotPrintable, cp);
}}

bool is_grapheme_extend(char32_t cp) {{
  return contains(kGraphemeExtend, cp);
}}

}}  // namespace nimbo::unicode
"""


def main(argv: list[str]) -> int:
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd-dir", type=Path, default=Path("/usr/share/unicode"))
    parser.add_argument(
        "--output", type=Path, default=root / "src" / "busses" / "unicode_tables.cpp"
    )
    args = parser.parse_args(argv)

    unicode_data = args.ucd_dir / "UnicodeData.txt"
    derived = args.ucd_dir / "DerivedCoreProperties.txt"
    categories = read_general_categories(unicode_data)
    not_printable = not_printable_ranges(categories)
    extend = merge_ranges(read_property_ranges(derived, "Grapheme_Extend"))

    source = SOURCE_TEMPLATE.format(
        command="python3 tools/gen_unicode_tables.py",
        unicode_data=unicode_data,
        derived=derived,
        version=unicode_version(derived),
        not_printable_count=len(not_printable),
        extend_count=len(extend),
        not_printable_table=format_table("kNotPrintable", not_printable),
        extend_table=format_table("kGraphemeExtend", extend),
    )
    args.output.write_text(source, encoding="utf-8")
    print(f"wrote {args.output}: {len(not_printable)} + {len(extend)} ranges")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
