"""The design as Yosys elaborated it, before any mapping: its public wires
and its memories, read from Yosys's ``dump`` of them (RTLIL text), and the
sizes that are refused before Yosys maps them.

Memories are mapped to one register per bit, each with its own write logic:
Yosys takes about a minute for 64 Kibit (4096 words of 16 bits) and minutes
and gigabytes beyond, so a design whose memories hold more than
:data:`MEMORY_BITS` bits is refused, naming the largest, before Yosys maps
them. Wires are cheaper, but a design of more than :data:`WIRE_BITS` wire
bits is refused the same way.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass

from ..ports import plural
from .errors import ImportFailure

MEMORY_BITS = 1 << 17
WIRE_BITS = 1 << 24

_SRC = re.compile(r'\s*attribute \\src "([^"]*)"')
_WIRE = re.compile(r"\s*wire (.*)\\(\S+)$")
_MEMORY = re.compile(r"\s*memory (.*)\\(\S+)$")
_FIELD = re.compile(r"(width|size|offset|input|output|inout) (-?\d+)|(upto)|(signed)")


@dataclass(frozen=True)
class Wire:
    name: str
    width: int
    where: str  # file:line, or ""


@dataclass(frozen=True)
class Memory:
    name: str
    width: int
    size: int
    where: str

    @property
    def bits(self) -> int:
        return self.width * self.size


def _where(src: str) -> str:
    match = re.match(r"([^|]*?):(\d+)", src)
    return f"{match[1]}:{match[2]}" if match else ""


def _fields(text: str) -> dict[str, int]:
    return {m[1]: int(m[2]) for m in _FIELD.finditer(text) if m[1]}


def read_dump(text: str) -> tuple[list[Wire], list[Memory]]:
    """The wires and memories of a ``dump`` of wires and memories."""
    wires: list[Wire] = []
    memories: list[Memory] = []
    src = ""
    for line in text.splitlines():
        match = _SRC.match(line)
        if match:
            src = match[1]
            continue
        wire = _WIRE.match(line)
        if wire:
            wires.append(Wire(wire[2], _fields(wire[1]).get("width", 1), _where(src)))
        else:
            memory = _MEMORY.match(line)
            if memory:
                fields = _fields(memory[1])
                memories.append(Memory(memory[2], fields.get("width", 1), fields.get("size", 0), _where(src)))
        if not line.lstrip().startswith("attribute "):
            src = ""
    return wires, memories


def refuse_sizes(memories: Sequence[Memory], wires: Sequence[Wire], wire_bits: int) -> None:
    """Refuses memories and wires too large to map (see the module's text)."""
    total = sum(m.bits for m in memories)
    if total > MEMORY_BITS:
        largest = sorted(memories, key=lambda m: -m.bits)
        first = largest[0]
        at = f" ({first.where})" if first.where else ""
        others = f" (the design's memories hold {total:,} bits)" if len(memories) > 1 else ""
        raise ImportFailure(
            f"memory '{first.name}'{at} has {first.size:,} words × {first.width} bits = {first.bits:,} bits{others}: "
            f"nimbo maps memories to one register per bit, and more than {MEMORY_BITS:,} bits would take Yosys "
            "minutes and gigabytes: make the memory smaller for simulation (a parameter, -G NAME=VALUE)"
        )
    if wire_bits > WIRE_BITS:
        widest = sorted(wires, key=lambda w: -w.width)[:3]
        named = ", ".join(f"'{w.name}' ({plural(w.width, 'bit')}{', ' + w.where if w.where else ''})" for w in widest)
        raise ImportFailure(
            f"the design has {wire_bits:,} wire bits, more than the {WIRE_BITS:,} nimbo imports (one bus each)"
            f"{'; the widest: ' + named if named else ''}: make the design smaller for simulation"
        )


_WIRE_BITS = re.compile(r"^\s+Number of wire bits:\s+(\d+)$", re.M)


def wire_bits(stat: str) -> int:
    """The wire bits of a module from Yosys's ``stat``."""
    match = _WIRE_BITS.search(stat)
    return int(match[1]) if match else 0
