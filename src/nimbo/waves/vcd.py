"""Recording a run as a Value Change Dump (IEEE 1364), through pyvcd.

One variable per shown bus or port. A multi-bit variable is declared with
the range ``[W-1:0]`` and its values are written most significant bit first
(element W-1 of the bit text first), as Verilog simulators write them, so a
waveform viewer shows the numbers the design computes.

Time (a unit of 1 ns): without clocks step k is at ``#k``. With clocks (a
design with registers) a step is two units, as a testbench drives a design:
the inputs of step k change at ``#2k-1``, half a cycle before the edge that
samples them, together with the falling edge of the cycle before; every
clock rises at ``#2k`` (k >= 1) and falls at ``#2k+1``, and every other value
of step k (the state after its cycle) changes at ``#2k``, so edges show where
the registers take their new values. Step 0, the state before the first
cycle, has every clock at 0. A row without an edge (a settle between steps)
changes its values at its own time without a clock pulse.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from typing import IO, Any

from vcd import VCDWriter
from vcd.writer import Variable

from .. import __version__
from ..ports import plural

# A VCD reference is a run of printable ASCII other than space.
_PLAIN = re.compile(r"[!-\[\]-~]+")


class WidthChangeError(ValueError):
    """A bus changed width after its variable was declared."""

    def __init__(self, bus_id: str, declared: int, width: int, step: int):
        super().__init__(
            f"bus {bus_id!r} changed from {plural(declared, 'bit')} to {plural(width, 'bit')} at step {step};"
            " a VCD variable keeps one width"
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
    records the steps that follow as rows of values (bit strings, element 0
    first) in the same bus order. Zero-width busses have no VCD form and are
    left out (`skipped` lists them).

    `clock_columns` are the columns that are clocks, and `extra_clocks` the
    clocks to record beside the columns (first); with any clock, time runs
    two units per step and the clocks toggle (see the module's text).
    `input_columns` are the columns a testbench writes (inputs), which change
    half a cycle before the edge."""

    def __init__(
        self, stream: IO[str], scope: str, bus_ids: Sequence[str], first: Sequence[str],
        clock_columns: Iterable[int] = (), extra_clocks: Sequence[str] = (),
        input_columns: Iterable[int] = (),
    ):
        self._writer = VCDWriter(stream, timescale="1 ns", version=f"nimbo {__version__}")
        self._ids = list(bus_ids)
        self._vars: list[Variable[Any] | None] = []
        self._last = tuple(first)
        self.skipped: list[str] = []
        scope_path = [vcd_name(scope)]  # one scope, even when the id has dots
        used: set[str] = set()

        def declare(bus_id: str, value: str) -> Variable[Any]:
            name = base = vcd_name(bus_id)
            suffix = 1
            while name in used:
                suffix += 1
                name = f"{base}_{suffix}"
            used.add(name)
            bit_index = (len(value) - 1, 0) if len(value) > 1 else None
            return self._writer.register_var(
                scope_path, name, "wire", size=len(value), init=value[::-1], bit_index=bit_index
            )

        self._clocks = [declare(clock, "0") for clock in extra_clocks]
        clock_set = set(clock_columns)
        for index, (bus_id, value) in enumerate(zip(self._ids, self._last)):
            if not value:
                self.skipped.append(bus_id)
                self._vars.append(None)
                continue
            var = declare(bus_id, "0" if index in clock_set else value)
            if index in clock_set:
                self._clocks.append(var)
                self._vars.append(None)  # the clock's value after a step is always 0
            else:
                self._vars.append(var)
        self._scale = 2 if self._clocks else 1
        # Half a cycle earlier for the inputs, when there is an edge to be before.
        self._early = frozenset(input_columns) if self._clocks else frozenset()

    def record_rows(self, first_step: int, rows: Iterable[tuple[str, ...]], edges: bool = True) -> None:
        """Records the rows as steps `first_step`, `first_step + 1`, ...; each
        a clock cycle when `edges` (and the design has clocks), else an update
        without an edge."""
        last = self._last
        change = self._writer.change
        scale, clocks, early = self._scale, self._clocks, self._early
        edges = edges and bool(clocks)
        for step, row in enumerate(rows, first_step):
            time = step * scale
            if row != last:
                changed = [index for index, (old, new) in enumerate(zip(last, row)) if old != new]
                for index in changed:
                    if len(row[index]) != len(last[index]):
                        raise WidthChangeError(self._ids[index], len(last[index]), len(row[index]), step)
                if edges and step and early:  # the inputs first: time only goes forward
                    changed.sort(key=lambda index: index not in early)
                for index in changed:
                    var = self._vars[index]
                    if var is not None:
                        change(var, time - 1 if edges and step and index in early else time, row[index][::-1])
                last = row
            if step and edges:
                for clock in clocks:
                    change(clock, time, "1")
                for clock in clocks:
                    change(clock, time + 1, "0")
        self._last = last

    def close(self, last_step: int) -> None:
        self._writer.close((last_step + 1) * self._scale)
