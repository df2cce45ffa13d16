"""Expected values in vector lines: how they are written, read and compared.

A vector line may carry the values the step must give, under the key
"expect" (an object, which no input value can be)::

    {"a": 5, "b": 6, "expect": {"y": 11, "cout": "x"}}

Each name is a port or a bus; each value is written as an input value is
(a bit string, element 0 first, or a number; see nimbo.stepping), or is
"don't care": ``null`` or ``"x"`` for the whole value, an ``x`` (or ``?``)
for single bits in a bit string (``"1x0x"``) or in a binary Verilog literal
(``8'b1xxx_0000``, most significant bit first). A step's values are compared
after the step.

Expected values are kept as patterns: strings of 0, 1 and x, element 0
first, one character per bit.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Mapping

EXPECT_KEY = "expect"
_MARKER = b'"expect"'
_LITERAL = re.compile(r"\s*(\d+)\s*'\s*[bB]\s*([01xX?_]+)\s*")
_PATTERN = re.compile(r"[01xX?]*")


class ExpectError(ValueError):
    """An expected value that cannot be read."""


def may_expect(data: bytes) -> bool:
    """Whether some line of `data` may carry expected values."""
    return _MARKER in data


def split_lines(data: bytes, first_line: int) -> tuple[bytes, dict[int, dict[str, object]]]:
    """`data` without its expected values, line for line, and the expected
    values of each line that has them (by line number). A line that is not
    a JSON object stays as it is: the run reports it."""
    lines = data.split(b"\n")
    expected: dict[int, dict[str, object]] = {}
    for number, raw in enumerate(lines):
        if _MARKER not in raw:
            continue
        try:
            vector = json.loads(raw)
        except (ValueError, RecursionError):
            continue
        if not isinstance(vector, dict) or not isinstance(vector.get(EXPECT_KEY), dict):
            continue
        expected[first_line + number] = vector.pop(EXPECT_KEY)
        lines[number] = json.dumps(vector).encode()
    return b"\n".join(lines), expected


def pattern(value: object, width: int, parse: Callable[[str, int], str]) -> str:
    """The pattern of an expected value for `width` bits; `parse` reads a
    number as an input value is read (nimbo._engine.parse_value)."""
    if value is None or (isinstance(value, str) and value.strip().lower() == "x"):
        return "x" * width
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise ExpectError(f"an expected value is a bit string, a number, \"x\" or null, not {json.dumps(value)}")
    if isinstance(value, int):
        text = f"{value:+d}"
    else:
        literal = _LITERAL.fullmatch(value)
        if literal is not None and set(literal.group(2)) & set("xX?"):
            size, digits = int(literal.group(1)), literal.group(2).replace("_", "")
            if size != width or len(digits) != width:
                raise ExpectError(f"{value!r} has {len(digits)} digits for {size} bits; the value has {width} bits")
            return _pattern(digits[::-1])
        if _PATTERN.fullmatch(value) and len(value) == width and set(value) - {"0", "1"}:
            return _pattern(value)
        text = value
    try:
        return parse(text, width)
    except ValueError as exc:
        raise ExpectError(str(exc)) from None


def _pattern(bits: str) -> str:
    return bits.lower().replace("?", "x")


def matches(expected: str, got: str) -> bool:
    if "x" not in expected:
        return expected == got
    return len(expected) == len(got) and all(e == "x" or e == g for e, g in zip(expected, got))


def show_pattern(expected: str, show: Callable[[str], str]) -> str:
    """An expected value as messages show it: through `show` (a number in
    the run's radix) when it has no don't-care bit, else as a binary
    Verilog literal."""
    if "x" not in expected:
        return show(expected)
    return f"{len(expected)}'b{expected[::-1]}"


def columns_of(expected: Mapping[int, Mapping[str, object]]) -> list[str]:
    """Every name the expected values use, in order of appearance."""
    return list(dict.fromkeys(name for values in expected.values() for name in values))
