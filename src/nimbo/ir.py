"""A read-only Python view of an IR document.

The native renderer is the authority on whether an IR is valid. This module
reads the same document into plain records so that tools (the command line,
the Verilog converter) can list busses in declaration order, count gates and
work out widths. It follows the renderer's lenient rules: a repeated bus id
keeps the last initial value, the last non-null assignment and the union of
all influence lists; unusable initial values fall back to one 0 bit.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any

GATE_TYPES = ("not", "and", "or", "xor", "nand", "nor", "xnor")
BINARY_GATE_TYPES = GATE_TYPES[1:]
DEFAULT_VALUE = "0"


class IRFormatError(ValueError):
    """The document does not have the shape of an IR component."""


@dataclass
class BusDecl:
    id: str
    value: str = DEFAULT_VALUE
    assignment: dict | None = None
    influence: list[str] = field(default_factory=list)

    @property
    def width(self) -> int:
        return len(self.value)


@dataclass
class Circuit:
    id: str
    busses: dict[str, BusDecl]  # first declaration order

    @property
    def driven(self) -> list[BusDecl]:
        return [b for b in self.busses.values() if b.assignment is not None]

    @property
    def inputs(self) -> list[BusDecl]:
        return [b for b in self.busses.values() if b.assignment is None]

    def gate_count(self) -> int:
        return sum(count_gates(b.assignment) for b in self.driven)

    def widest_bus(self) -> BusDecl | None:
        return max(self.busses.values(), key=lambda b: b.width, default=None)


def initial_value(raw: Any) -> str:
    """The bit text a bus starts with, given its "value" entry."""
    if isinstance(raw, str):
        return raw if all(ch in "01" for ch in raw) else DEFAULT_VALUE
    if isinstance(raw, list):
        return "".join("1" if item is True else "0" for item in raw)
    return DEFAULT_VALUE


def const_bits(raw: Any) -> str:
    """The bits of a constant's "value" (already accepted by the renderer)."""
    if isinstance(raw, str):
        return raw
    return "".join("1" if item is True else "0" for item in raw)


def count_gates(expr: Any) -> int:
    if not isinstance(expr, dict):
        return 0
    kind = expr.get("type")
    args = expr.get("args")
    args = args if isinstance(args, dict) else {}
    if kind == "not":
        return 1 + count_gates(args.get("expr"))
    if kind in BINARY_GATE_TYPES:
        return 1 + count_gates(args.get("l_expr")) + count_gates(args.get("r_expr"))
    return 0


def referenced_ids(expr: Any, out: set[str] | None = None) -> set[str]:
    """Every bus id that a ref/bus_ref inside the expression names."""
    out = set() if out is None else out
    if not isinstance(expr, dict):
        return out
    kind = expr.get("type")
    args = expr.get("args")
    args = args if isinstance(args, dict) else {}
    if kind in ("ref", "bus_ref"):
        if isinstance(args.get("id"), str):
            out.add(args["id"])
    elif kind == "not":
        referenced_ids(args.get("expr"), out)
    elif kind in BINARY_GATE_TYPES:
        referenced_ids(args.get("l_expr"), out)
        referenced_ids(args.get("r_expr"), out)
    return out


def circuit_from_document(doc: Any) -> Circuit:
    comp = doc.get("component") if isinstance(doc, dict) else None
    if not isinstance(comp, dict) or not isinstance(comp.get("id"), str):
        raise IRFormatError("the document has no component with a text id")
    entries = comp.get("busses")
    if not isinstance(entries, list):
        raise IRFormatError("the component has no 'busses' array")
    busses: dict[str, BusDecl] = {}
    for entry in entries:
        if not isinstance(entry, dict) or not isinstance(entry.get("id"), str):
            raise IRFormatError("a bus has no text id")
        bus = busses.setdefault(entry["id"], BusDecl(entry["id"]))
        bus.value = initial_value(entry.get("value"))
    for entry in entries:
        bus = busses[entry["id"]]
        if entry.get("assignment") is not None:
            bus.assignment = entry["assignment"]
        influence = entry.get("influence_list")
        if isinstance(influence, list):
            for target in influence:
                if isinstance(target, str) and target not in bus.influence:
                    bus.influence.append(target)
    return Circuit(comp["id"], busses)


def circuit_from_text(text: str) -> Circuit:
    return circuit_from_document(json.loads(text))


# ---------------------------------------------------------------- building


def ref(bus_id: str) -> dict:
    return {"type": "ref", "args": {"id": bus_id}}


def const(bits: str) -> dict:
    return {"type": "const", "args": {"value": bits}}


def gate(kind: str, left: dict, right: dict | None = None) -> dict:
    """A gate expression: "not" takes one operand, the others two."""
    if kind == "not":
        return {"type": "not", "args": {"expr": left}}
    if kind not in BINARY_GATE_TYPES or right is None:
        raise ValueError(f"'{kind}' is not a two-input gate")
    return {"type": kind, "args": {"l_expr": left, "r_expr": right}}


def build_document(component_id: str, busses: list[tuple[str, str, dict | None]]) -> dict:
    """An IR document from (id, initial value, assignment or None) triples,
    with every influence list filled from the references in the assignments."""
    known = {bus_id for bus_id, _, _ in busses}
    readers: dict[str, list[str]] = {bus_id: [] for bus_id in known}
    for bus_id, _, assignment in busses:
        if assignment is not None:
            for source in sorted(referenced_ids(assignment) & known):
                readers[source].append(bus_id)
    entries = []
    for bus_id, value, assignment in busses:
        entry: dict = {"id": bus_id, "value": value}
        if assignment is not None:
            entry["assignment"] = assignment
        entry["influence_list"] = readers[bus_id]
        entries.append(entry)
    return {"component": {"id": component_id, "busses": entries}}
