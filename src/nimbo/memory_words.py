"""Memory words from text: the `$readmemh` form that `Design.load_memory`
and `nimbo run --load-memory` read.

A file holds hex words separated by white space, one word per memory word
from the first address on; `@address` (hex) moves to that address (the
address the memory's ports use: word 0 is at the memory's offset); `//`
comments run to the end of the line, `/* ... */` comments may span lines;
`_` may separate digits; `x` and `z` digits read as 0, as the importer reads
them in initial contents. Words the file does not name are 0.
"""

from __future__ import annotations

import re

_TOKEN = re.compile(r"/\*.*?(?:\*/|\Z)|//[^\n]*|\S+", re.DOTALL)
_HEX = re.compile(r"[0-9a-fA-FxXzZ_]+")


class MemoryFileError(ValueError):
    """A word file that does not fit its memory: the message names the
    memory and the line."""


def read_words(text: str, *, name: str, words: int, width: int, offset: int, where: str) -> list[int]:
    """The words of memory `name` (`words` words of `width` bits, word 0 at
    address `offset`) that `text` gives, word 0 first; `where` names the
    text in messages (a path)."""
    contents = [0] * words
    address = offset
    for found in _TOKEN.finditer(text):
        token = found.group()
        if token.startswith(("//", "/*")):
            if token.startswith("/*") and not token.endswith("*/"):
                raise MemoryFileError(f"memory '{name}': {where} line {_line(text, found.start())}: a comment is not closed")
            continue
        line = _line(text, found.start())
        at = f"memory '{name}': {where} line {line}"
        if token.startswith("@"):
            if not token[1:] or not _HEX.fullmatch(token[1:]) or token[1:].strip("_") == "":
                raise MemoryFileError(f"{at}: '{token}' is not an address (@ and hex digits)")
            address = _hex(token[1:])
            continue
        if not _HEX.fullmatch(token) or token.strip("_") == "":
            raise MemoryFileError(f"{at}: '{token}' is not a hex word")
        value = _hex(token)
        if value >> width:
            raise MemoryFileError(f"{at}: word '{token}' does not fit in {width} bit{'s' if width != 1 else ''}")
        index = address - offset
        if not 0 <= index < words:
            last = offset + words - 1
            raise MemoryFileError(
                f"{at}: word '{token}' is at address {address:#x}, outside the memory ({offset:#x} to {last:#x})"
            )
        contents[index] = value
        address += 1
    return contents


def _hex(digits: str) -> int:
    cleaned = digits.replace("_", "")
    return int(re.sub(r"[xXzZ]", "0", cleaned), 16)


def _line(text: str, position: int) -> int:
    return text.count("\n", 0, position) + 1
