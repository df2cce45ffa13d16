"""Recording a run as a Value Change Dump (IEEE 1364), through pyvcd.

One variable per bus, one time unit per step. A variable is declared with
the bit range ``[0:W-1]`` so that a waveform viewer shows element 0 (the
first character of the bit text) as the leftmost, most significant bit,
exactly as the text reads.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
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
    """Declares the variables from the first step's values, then records
    changes. Zero-width busses have no VCD form and are left out
    (`skipped` lists them)."""

    def __init__(self, stream: IO[str], scope: str, bus_order: Sequence[str]):
        self._stream = stream
        self._scope = [vcd_name(scope)]  # one scope, even when the id has dots
        self._order = bus_order
        self._writer: VCDWriter | None = None
        self._vars: dict[str, Variable[Any]] = {}
        self._widths: dict[str, int] = {}
        self.skipped: list[str] = []

    def _declare(self, values: Mapping[str, str]) -> None:
        self._writer = VCDWriter(self._stream, timescale="1 ns", version=f"nimbo {__version__}")
        used: set[str] = set()
        for bus_id in self._order:
            width = len(values[bus_id])
            if width == 0:
                self.skipped.append(bus_id)
                continue
            name = base = vcd_name(bus_id)
            suffix = 1
            while name in used:
                suffix += 1
                name = f"{base}_{suffix}"
            used.add(name)
            self._widths[bus_id] = width
            bit_index = (0, width - 1) if width > 1 else None
            self._vars[bus_id] = self._writer.register_var(
                self._scope, name, "wire", size=width, init=values[bus_id], bit_index=bit_index
            )

    def record(self, step: int, values: Mapping[str, str]) -> None:
        if self._writer is None:
            self._declare(values)
            return
        for bus_id, var in self._vars.items():
            value = values[bus_id]
            if len(value) != self._widths[bus_id]:
                raise WidthChangeError(bus_id, self._widths[bus_id], len(value), step)
            self._writer.change(var, step, value)

    def close(self, last_step: int) -> None:
        if self._writer is not None:
            self._writer.close(last_step + 1)
