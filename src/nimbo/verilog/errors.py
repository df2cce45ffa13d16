"""The failures of importing a design, and the warning category of what an
import simulates otherwise than Verilog does."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from ..ports import plural

if TYPE_CHECKING:
    from .yosys_log import Message


class ImportFailure(ValueError):
    """The netlist cannot be imported; the message says why and what to do."""


class StrictFailure(ImportFailure):
    """A strict import found what nimbo simulates otherwise than Verilog
    does (`findings`, each with its place); the message gives the first and
    counts the others."""

    def __init__(self, findings: Sequence[Message]):
        self.findings = list(findings)
        more = len(self.findings) - 1
        others = f" (and {plural(more, 'more finding')}; without strict they are warnings)" if more else ""
        super().__init__(f"{self.findings[0]}{others}")


class SimulationWarning(UserWarning):
    """Verilog that nimbo simulates otherwise than the language does (a
    delay, a system task, x or z, a combinational loop, logic on a clock,
    registers without an initial value), or a value cut to a narrower
    signal. ``strict=True`` turns these into a :class:`StrictFailure`."""
