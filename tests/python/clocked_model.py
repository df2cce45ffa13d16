"""The plain model of a design with registers, driven through nimbo.core.

Every fast path of the simulator must give what this gives. One step is one
cycle of every clock:

1. settle with the step's inputs and every clock at 0
   (``update_signals(inputs | {clock: "0"})``), then the asynchronous resets;
2. the rising edge: read what each posedge register takes (its reset value
   while its asynchronous reset is 1, else its D when it has no enable or the
   enable is 1; otherwise nothing), write every clock 1 and all those Qs in
   one update, then the asynchronous resets;
3. the falling edge: the same for negedge registers, writing every clock 0.

A design without registers steps by one plain update.

The asynchronous resets: while some register's reset is 1 and its Q differs
from its reset value, write all such Qs in one update; give up with
"Asynchronous resets did not settle" after one round per register and one
more. The initial state is that of :func:`settle` on a freshly rendered
component (clocks at 0, the resets applied).
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from nimbo.core import Component, Renderer


@dataclass(frozen=True)
class Register:
    q: str
    d: str
    clock: str
    edge: str = "posedge"
    enable: str | None = None
    async_reset: str | None = None
    reset_value: str | None = None  # None: all 0 of q's width


def registers_of(ir_text: str) -> list[Register]:
    records: list[dict[str, Any]] = json.loads(ir_text)["component"].get("registers", [])
    return [Register(**record) for record in records]


class ClockedModel:
    def __init__(self, ir_text: str) -> None:
        self.component: Component = Renderer(ir_text).component
        self.registers = registers_of(ir_text)
        self.clocks = sorted({r.clock for r in self.registers})
        self.settle({})

    def values(self) -> dict[str, str]:
        return self.component.get_values()

    def reset_value(self, register: Register, values: dict[str, str]) -> str:
        if register.reset_value is not None:
            return register.reset_value
        return "0" * len(values[register.q])

    def resets(self) -> None:
        for _ in range(len(self.registers) + 1):
            values = self.values()
            forced = {}
            for r in self.registers:
                if r.async_reset is not None and values[r.async_reset] == "1":
                    value = self.reset_value(r, values)
                    if values[r.q] != value:
                        forced[r.q] = value
            if not forced:
                return
            self.component.update_signals(forced)
        raise RuntimeError("Asynchronous resets did not settle")

    def settle(self, inputs: dict[str, str]) -> None:
        self.component.update_signals({**inputs, **{c: "0" for c in self.clocks}})
        self.resets()

    def edge(self, edge: str, level: str) -> None:
        values = self.values()
        captured = {}
        for r in self.registers:
            if r.edge != edge:
                continue
            if r.async_reset is not None and values[r.async_reset] == "1":
                captured[r.q] = self.reset_value(r, values)
            elif r.enable is None or values[r.enable] == "1":
                captured[r.q] = values[r.d]
        self.component.update_signals({**{c: level for c in self.clocks}, **captured})
        self.resets()

    def step(self, inputs: dict[str, str]) -> dict[str, str]:
        if not self.registers:  # a design without registers: one update per step
            self.component.update_signals(inputs)
            return self.values()
        self.settle(inputs)
        self.edge("posedge", "1")
        self.edge("negedge", "0")
        return self.values()
