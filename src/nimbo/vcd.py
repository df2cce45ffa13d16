"""Recording a run as a Value Change Dump (IEEE 1364), through pyvcd.

One variable per bus, one time unit per step. A variable is declared with
the bit range ``[0:W-1]`` so that a waveform viewer shows element 0 (the
first character of the bit text) as the leftmost, most significant bit,
exactly as the text reads.
"""

from __future__ import annotations

import re
from typing import IO

from vcd import VCDWriter

_NOT_IDENTIFIER = re.compile(r"[^A-Za-z0-9_$]")


class WidthChangeError(ValueError):
    """A bus changed width after its variable was declared."""


def vcd_name(text: str) -> str:
    """A VCD-safe identifier: anything but letters, digits, _ and $ becomes _."""
    name = _NOT_IDENTIFIER.sub("_", text)
    return name if name and not name[0].isdigit() else "_" + name


class VcdRecorder:
    """Declares the variables from the first step's values, then records
    changes. Zero-width busses have no VCD form and are left out
    (`skipped` lists them)."""

    def __init__(self, stream: IO[str], scope: str, bus_order: list[str]):
        self._stream = stream
        self._scope = vcd_name(scope)
        self._order = bus_order
        self._writer: VCDWriter | None = None
        self._vars: dict[str, object] = {}
        self._widths: dict[str, int] = {}
        self.skipped: list[str] = []

    def _declare(self, values: dict[str, str]) -> None:
        self._writer = VCDWriter(self._stream, timescale="1 ns", version="nimbo")
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

    def record(self, step: int, values: dict[str, str]) -> None:
        if self._writer is None:
            self._declare(values)
            return
        for bus_id, var in self._vars.items():
            value = values[bus_id]
            if len(value) != self._widths[bus_id]:
                raise WidthChangeError(
                    f"bus '{bus_id}' changed from {self._widths[bus_id]} to {len(value)} bits at step {step};"
                    " a VCD variable keeps one width"
                )
            self._writer.change(var, step, value)

    def close(self, last_step: int) -> None:
        if self._writer is not None:
            self._writer.close(last_step + 1)
