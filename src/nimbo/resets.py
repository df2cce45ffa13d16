"""Asynchronous resets after a plain update: what a step settles by itself
and an update without a clock edge (``Simulator.update``) leaves to its
caller.

While a register's asynchronous reset is 1 and its q is not its reset value,
all such q's are written in one update, at most one round per register and
one more ("Asynchronous resets did not settle" after that)."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import TYPE_CHECKING

from .lint import register_records

if TYPE_CHECKING:
    from ._engine import Simulator


@dataclass(frozen=True)
class AsyncResets:
    registers: int = 0  # all registers, each of which may take one round
    resets: tuple[tuple[str, str, str | None], ...] = ()  # (q, reset, reset value or None: all 0)

    @classmethod
    def from_text(cls, text: str) -> AsyncResets:
        """The resets recorded in an IR text (the simulator has checked the records)."""
        if '"async_reset"' not in text:
            return cls()
        records = register_records(json.loads(text))
        resets = tuple((r["q"], r["async_reset"], r.get("reset_value")) for r in records if "async_reset" in r)
        return cls(len(records), resets)

    def settle(self, sim: Simulator) -> None:
        """Applies the resets that are 1 until every such q holds its reset value."""
        if not self.resets:
            return
        ids = list(dict.fromkeys(bus for q, reset, _ in self.resets for bus in (q, reset)))
        for _ in range(self.registers + 1):
            values = sim.values(ids)
            forced = {}
            for q, reset, value in self.resets:
                target = value if value is not None else "0" * len(values[q])
                if values[reset] == "1" and values[q] != target:
                    forced[q] = target
            if not forced:
                return
            sim.update(forced)
        raise RuntimeError("Asynchronous resets did not settle")
