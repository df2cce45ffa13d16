"""Recording a run as a Value Change Dump (IEEE 1364), through pyvcd.

One variable per bus, one time unit per step. A variable is declared with
the bit range ``[0:W-1]`` so that a waveform viewer shows element 0 (the
first character of the bit text) as the leftmost, most significant bit,
exactly as the text reads.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from typing import IO, Any

from vcd import VCDWriter
from vcd.writer import Variable

from . import __version__

# A VCD reference is a run of printable ASCII other than space.
_PLAIN = re.compile(r"[!-\[\]-~]+")


class WidthChangeError(ValueError):
    """A bus changed width after its variable was declared."""

    def __init__(self, bus_id: str, declared: int, width: int, step: int):
        super().__init__(
            f"bus {bus_id!r} changed from {declared} to {width} bits at step {step}; a VCD variable keeps one width"
        )
        self.bus_id, self.declared, self.width, self.step = bus_id, declared, width, step


def _escape(ch: str) -> str:
    if ch == "\\":
        return "\\\\"
    if "!" <= ch <= "~":
        return ch
    return f"\\u{{{ord(ch):x}}}"


def vcd_name(text: str) -> str:
    """A bus or component id as a VCD reference: printable ASCII other than
    space and backslash stays, a backslash is doubled, every other character
    becomes \\u{HEX} with its code point (so "é" is \\u{e9}). A leading '$'
    is escaped too, since VCD keywords start with it; the empty id is ""."""
    if not text:
        return '""'
    name = text if _PLAIN.fullmatch(text) else "".join(_escape(ch) for ch in text)
    return "\\u{24}" + name[1:] if name.startswith("$") else name


class VcdRecorder:
    """Declares one variable per bus from the first step's values, then
    records the steps that follow as rows of values in the same bus order.
    Zero-width busses have no VCD form and are left out (`skipped` lists
    them)."""

    def __init__(self, stream: IO[str], scope: str, bus_ids: Sequence[str], first: Sequence[str]):
        self._writer = VCDWriter(stream, timescale="1 ns", version=f"nimbo {__version__}")
        self._ids = list(bus_ids)
        self._vars: list[Variable[Any] | None] = []
        self._last = tuple(first)
        self.skipped: list[str] = []
        scope_path = [vcd_name(scope)]  # one scope, even when the id has dots
        used: set[str] = set()
        for bus_id, value in zip(self._ids, self._last):
            if not value:
                self.skipped.append(bus_id)
                self._vars.append(None)
                continue
            name = base = vcd_name(bus_id)
            suffix = 1
            while name in used:
                suffix += 1
                name = f"{base}_{suffix}"
            used.add(name)
            bit_index = (0, len(value) - 1) if len(value) > 1 else None
            self._vars.append(
                self._writer.register_var(scope_path, name, "wire", size=len(value), init=value, bit_index=bit_index)
            )

    def record_rows(self, first_step: int, rows: Iterable[tuple[str, ...]]) -> None:
        """Records the rows as steps `first_step`, `first_step + 1`, ..."""
        last = self._last
        change = self._writer.change
        for step, row in enumerate(rows, first_step):
            if row == last:
                continue
            for index, (old, new) in enumerate(zip(last, row)):
                if old == new:
                    continue
                var = self._vars[index]
                if len(new) != len(old):
                    raise WidthChangeError(self._ids[index], len(old), len(new), step)
                if var is not None:
                    change(var, step, new)
            last = row
        self._last = last

    def close(self, last_step: int) -> None:
        self._writer.close(last_step + 1)
