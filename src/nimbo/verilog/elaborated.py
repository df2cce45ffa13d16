"""The design as Yosys elaborated it, before any mapping: its public wires
and its memories, read from Yosys's ``dump`` of them (RTLIL text), and the
sizes that are refused before Yosys maps them.

Memories that are mapped (all of them with ``--memories map``, those that
cannot stay memories with ``--memories keep``) become one register per bit,
each with its own write logic: Yosys takes about a minute for 64 Kibit (4096
words of 16 bits) and minutes and gigabytes beyond, so a design whose mapped
memories hold more than :data:`MEMORY_BITS` bits is refused, naming the
largest, before Yosys maps them. A memory kept as a memory costs no mapping;
it is held to the IR's own limits instead (:func:`nimbo.ir.memory_size_problem`).
Wires are cheaper, but a design of more than :data:`WIRE_BITS` wire bits is
refused the same way.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from ..ir import memory_size_problem
from ..ports import plural
from .errors import ImportFailure

MEMORY_BITS = 1 << 17
WIRE_BITS = 1 << 24

_WIRE = re.compile(r"^ *wire ((?:width (\d+) )?[^\n]*?)\\(\S+)$", re.M)
_MEMORY = re.compile(r'^ *attribute \\src "([^"\n]*)"\n(?: *attribute [^\n]*\n)*? *memory ([^\n]*?)\\(\S+)$|'
                     r"^ *memory ([^\n]*?)\\(\S+)$", re.M)
_FIELD = re.compile(r"(width|size|offset|input|output|inout) (-?\d+)")


@dataclass(frozen=True)
class Wire:
    name: str
    width: int
    where: str  # file:line, or "" when not read


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


def read_wires(text: str) -> list[Wire]:
    """The wires of a ``dump`` of wires, without their places (a design has many)."""
    return [Wire(m[3], int(m[2]) if m[2] else 1, "") for m in _WIRE.finditer(text)]


def read_memories(text: str) -> list[Memory]:
    """The memories of a ``dump`` of memories."""
    memories = []
    for m in _MEMORY.finditer(text):
        src, fields, name = (m[1], m[2], m[3]) if m[3] is not None else ("", m[4], m[5])
        shape = _fields(fields)
        # A flattened memory's src is "instance|...|declaration": the declaration says where it is.
        memories.append(Memory(name, shape.get("width", 1), shape.get("size", 0), _where(src.split("|")[-1])))
    return memories


def refuse_sizes(memories: Sequence[Memory], wires: Sequence[Wire], wire_bits: int, keep: bool = False) -> None:
    """Refuses memories and wires too large to import (see the module's
    text): `memories` are mapped, or with `keep` kept as memories."""
    if keep:
        refuse_kept(memories)
    else:
        refuse_mapped(memories)
    if wire_bits > WIRE_BITS:
        widest = sorted(wires, key=lambda w: -w.width)[:3]
        named = ", ".join(f"'{w.name}' ({plural(w.width, 'bit')})" for w in widest)
        raise ImportFailure(
            f"the design has {wire_bits:,} wire bits, more than the {WIRE_BITS:,} nimbo imports (one bus each)"
            f"{'; the widest: ' + named if named else ''}: make the design smaller for simulation"
        )


def refuse_mapped(memories: Sequence[Memory], reasons: Mapping[str, str] | None = None) -> None:
    """Refuses memories that hold too many bits in all to be mapped; `reasons`
    says why a memory is mapped although memories are kept (by name)."""
    total = sum(m.bits for m in memories)
    if total > MEMORY_BITS:
        largest = sorted(memories, key=lambda m: -m.bits)
        first = largest[0]
        at = f" ({first.where})" if first.where else ""
        what = "the design's memories hold" if reasons is None else "the memories mapped hold"
        others = f" ({what} {total:,} bits)" if len(memories) > 1 else ""
        why = (reasons or {}).get(first.name)
        mapped = (f"it cannot stay a memory ({why}), so nimbo maps it to one register per bit" if why else
                  "nimbo maps memories to one register per bit")  # fmt: skip
        raise ImportFailure(
            f"memory '{first.name}'{at} has {first.size:,} words × {first.width} bits = {first.bits:,} bits{others}: "
            f"{mapped}, and more than {MEMORY_BITS:,} bits would take Yosys minutes and gigabytes: make the memory "
            "smaller for simulation (a parameter, -G NAME=VALUE)"
        )


def refuse_kept(memories: Sequence[Memory]) -> None:
    """Refuses a memory larger than a memory of the IR holds."""
    for memory in memories:
        problem = memory_size_problem(memory.size, memory.width)
        if problem is not None:
            at = f" ({memory.where})" if memory.where else ""
            raise ImportFailure(f"memory '{memory.name}'{at} cannot be kept as a memory: {problem}: make it smaller "
                                "for simulation (a parameter, -G NAME=VALUE)")


_WIRE_BITS = re.compile(r"^\s+Number of wire bits:\s+(\d+)$", re.M)


def wire_bits(stat: str) -> int:
    """The wire bits of a module from Yosys's ``stat``."""
    match = _WIRE_BITS.search(stat)
    return int(match[1]) if match else 0
