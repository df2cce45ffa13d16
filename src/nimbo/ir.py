"""The IR document: its types, a read-only view of it, and small builders.

The native renderer is the authority on whether an IR is valid. This module
reads the same document into plain records so that tools (the command line,
the Verilog converter) can list busses in declaration order, count gates and
work out widths. It follows the renderer's lenient rules: a repeated bus id
keeps the last initial value, the last non-null assignment and the union of
all influence lists; unusable initial values fall back to one 0 bit.

The TypedDicts describe the IR as nimbo writes it. JSON read from elsewhere
is an ``object`` until checked: :func:`expression` checks an assignment the
way the renderer does and gives it its type.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Literal, NotRequired, TypeAlias, TypedDict, TypeGuard, TypeVar, Union, cast, get_args, overload

GateType = Literal["and", "or", "xor", "nand", "nor", "xnor"]
BINARY_GATE_TYPES: tuple[GateType, ...] = get_args(GateType)
DEFAULT_VALUE = "0"

Direction = Literal["input", "output", "inout"]


class RefArgs(TypedDict):
    id: str


class RefExpr(TypedDict):
    type: Literal["ref", "bus_ref"]
    args: RefArgs


class ConstArgs(TypedDict):
    value: str | list[object]  # a bit string, or an array in which true is a 1 bit


class ConstExpr(TypedDict):
    type: Literal["const"]
    args: ConstArgs


class NotArgs(TypedDict):
    expr: Expr


class NotExpr(TypedDict):
    type: Literal["not"]
    args: NotArgs


class GateArgs(TypedDict):
    l_expr: Expr
    r_expr: Expr


class GateExpr(TypedDict):
    type: GateType
    args: GateArgs


Expr: TypeAlias = Union[RefExpr, ConstExpr, NotExpr, GateExpr]


class BusEntry(TypedDict):
    id: str
    value: NotRequired[str]
    assignment: NotRequired[Expr]
    influence_list: NotRequired[list[str]]


class PortRecord(TypedDict):
    """A port beside the busses (see :mod:`nimbo.ports`); the renderer ignores it."""

    direction: Direction
    bits: list[str]


Edge = Literal["posedge", "negedge"]


class RegisterRecord(TypedDict):
    """A register beside the busses; the renderer of nimbo.core ignores it and
    sees `q` as a bus without assignment. `nimbo.Simulator` reads and checks it."""

    q: str
    d: str
    clock: str
    edge: NotRequired[Edge]
    enable: NotRequired[str]
    async_reset: NotRequired[str]
    reset_value: NotRequired[str]
    uninitialised: NotRequired[bool]  # q has no initial value: it starts as --x-initial says


class InitRun(TypedDict):
    """Initial words of a memory: `values` (hex, most significant digit
    first) from word `word` on, the list written `repeat` times over."""

    word: int
    values: list[str]
    repeat: NotRequired[int]


class ReadPortRecord(TypedDict):
    """A read port of a memory: asynchronous without `clock`, synchronous with
    it. Bit lists name busses least significant bit first, as ports do."""

    address: list[str]
    data: list[str]
    clock: NotRequired[str]
    edge: NotRequired[Edge]
    enable: NotRequired[str]
    async_reset: NotRequired[str]
    async_reset_value: NotRequired[str]
    sync_reset: NotRequired[str]
    sync_reset_value: NotRequired[str]
    enable_over_reset: NotRequired[bool]
    transparent: NotRequired[list[int]]


class WritePortRecord(TypedDict):
    clock: str
    edge: NotRequired[Edge]
    address: list[str]
    data: list[str]
    enable: NotRequired[list[str]]


class MemoryRecord(TypedDict):
    """A memory beside the busses (see docs/ir.md); nimbo.core ignores it."""

    name: str
    words: int
    width: int
    offset: NotRequired[int]
    init: NotRequired[list[InitRun]]
    uninitialised: NotRequired[bool]  # the words no init run names start as --x-initial says
    read_ports: list[ReadPortRecord]
    write_ports: list[WritePortRecord]


class ComponentRecord(TypedDict):
    id: str
    busses: list[BusEntry]
    ports: NotRequired[dict[str, PortRecord]]
    nets: NotRequired[dict[str, list[str]]]  # named vectors: name -> bus ids, least significant first
    registers: NotRequired[list[RegisterRecord]]
    memories: NotRequired[list[MemoryRecord]]


class Document(TypedDict):
    component: ComponentRecord


class IRFormatError(ValueError):
    """The document does not have the shape of an IR component."""


@dataclass
class BusDecl:
    id: str
    value: str = DEFAULT_VALUE
    assignment: Expr | None = None
    influence: list[str] = field(default_factory=list)
    raw_value: object = field(default=None, repr=False)  # the last "value" entry as the document has it

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

    def assignments(self) -> dict[str, Expr]:
        """The assignment of every driven bus, in declaration order."""
        return {b.id: b.assignment for b in self.busses.values() if b.assignment is not None}

    def gate_count(self) -> int:
        return sum(count_gates(expr) for expr in self.assignments().values())


def is_bits(text: str) -> bool:
    return all(ch in "01" for ch in text)


def array_bits(items: list[object]) -> str:
    """The bits of a JSON array value: `true` is a 1 bit, anything else a 0 bit."""
    return "".join("1" if item is True else "0" for item in items)


def initial_value(raw: object) -> str:
    """The bit text a bus starts with, given its "value" entry."""
    if isinstance(raw, str):
        return raw if is_bits(raw) else DEFAULT_VALUE
    if isinstance(raw, list):
        return array_bits(raw)
    return DEFAULT_VALUE


def const_bits(raw: str | list[object]) -> str:
    """The bits of a constant's "value"."""
    return raw if isinstance(raw, str) else array_bits(raw)


def is_gate_type(kind: object) -> TypeGuard[GateType]:
    return kind in BINARY_GATE_TYPES


def expression(raw: object) -> Expr:
    """`raw` as an expression, checked as the renderer checks it (keys it
    does not know are left alone); IRFormatError names what is wrong."""
    kind = raw.get("type") if isinstance(raw, dict) else None
    if not isinstance(raw, dict) or not isinstance(kind, str):
        raise IRFormatError("an expression has no text 'type'")
    args = raw.get("args")
    args = args if isinstance(args, dict) else {}
    if kind == "const":
        value = args.get("value")
        if not (isinstance(value, list) or (isinstance(value, str) and is_bits(value))):
            raise IRFormatError("a const expression has no bit string or array 'value'")
    elif kind in ("ref", "bus_ref"):
        if not isinstance(args.get("id"), str):
            raise IRFormatError(f"a {kind} expression has no text 'id'")
    elif kind == "not":
        if "expr" not in args:
            raise IRFormatError("a not expression has no 'expr'")
        expression(args["expr"])
    elif is_gate_type(kind):
        if "l_expr" not in args or "r_expr" not in args:
            raise IRFormatError(f"an {kind} expression lacks 'l_expr' or 'r_expr'")
        expression(args["l_expr"])
        expression(args["r_expr"])
    else:
        raise IRFormatError(f"unknown expression type {kind!r}")
    return cast(Expr, raw)


def count_gates(expr: Expr) -> int:
    if expr["type"] == "not":
        return 1 + count_gates(expr["args"]["expr"])
    if expr["type"] == "const" or expr["type"] == "ref" or expr["type"] == "bus_ref":
        return 0
    return 1 + count_gates(expr["args"]["l_expr"]) + count_gates(expr["args"]["r_expr"])


def referenced_ids(expr: Expr) -> list[str]:
    """Every bus id that a ref/bus_ref inside the expression names, once
    each, in the order they are read (the left operand first)."""
    found: dict[str, None] = {}
    stack = [expr]
    while stack:
        node = stack.pop()
        if node["type"] == "ref" or node["type"] == "bus_ref":
            found[node["args"]["id"]] = None
        elif node["type"] == "not":
            stack.append(node["args"]["expr"])
        elif node["type"] != "const":
            stack.append(node["args"]["r_expr"])
            stack.append(node["args"]["l_expr"])
    return list(found)


def expression_width(expr: Expr, widths: Mapping[str, int]) -> int:
    """The width an expression yields: a gate cuts its operands to the smaller
    width, a reference to a bus not in `widths` reads as one bit."""
    if expr["type"] == "const":
        return len(const_bits(expr["args"]["value"]))
    if expr["type"] == "ref" or expr["type"] == "bus_ref":
        return widths.get(expr["args"]["id"], 1)
    if expr["type"] == "not":
        return expression_width(expr["args"]["expr"], widths)
    return min(expression_width(expr["args"]["l_expr"], widths), expression_width(expr["args"]["r_expr"], widths))


Node = TypeVar("Node", bound=Hashable)


def dependency_order(
    nodes: Iterable[Node], reads: Callable[[Node], Iterable[Node]], on_loop: Callable[[Node], None] | None = None
) -> list[Node]:
    """`nodes` and every node they read, each after the nodes it reads: depth
    first from each of `nodes` in turn, reads in the order `reads` gives. A
    read back onto the walk's path closes a loop: `on_loop` (which may raise)
    is called with the node read, and the loop is entered where it was met."""
    state: dict[Node, bool] = {}  # False while on the path, True once placed
    order: list[Node] = []
    for root in nodes:
        if root in state:
            continue
        state[root] = False
        stack = [(root, iter(reads(root)))]
        while stack:
            node, pending = stack[-1]
            for child in pending:
                if child not in state:
                    state[child] = False
                    stack.append((child, iter(reads(child))))
                    break
                if not state[child] and on_loop is not None:
                    on_loop(child)
            else:
                stack.pop()
                state[node] = True
                order.append(node)
    return order


def circuit_from_document(doc: object) -> Circuit:
    comp = doc.get("component") if isinstance(doc, dict) else None
    if not isinstance(comp, dict) or not isinstance(comp.get("id"), str):
        raise IRFormatError("the document has no component with a text id")
    entries = comp.get("busses")
    if not isinstance(entries, list):
        raise IRFormatError("the component has no 'busses' array")
    busses: dict[str, BusDecl] = {}
    checked: list[tuple[BusDecl, dict[str, object]]] = []
    for entry in entries:
        bus_id = entry.get("id") if isinstance(entry, dict) else None
        if not isinstance(entry, dict) or not isinstance(bus_id, str):
            raise IRFormatError("a bus has no text id")
        bus = busses.setdefault(bus_id, BusDecl(bus_id))
        bus.raw_value = entry.get("value")
        bus.value = initial_value(bus.raw_value)
        checked.append((bus, entry))
    listed: dict[str, set[str]] = {}  # each bus's influence list, to merge repeats in linear time
    for bus, entry in checked:
        if entry.get("assignment") is not None:
            bus.assignment = expression(entry["assignment"])
        influence = entry.get("influence_list")
        if isinstance(influence, list):
            seen = listed.setdefault(bus.id, set())
            for target in influence:
                if isinstance(target, str) and target not in seen:
                    seen.add(target)
                    bus.influence.append(target)
    return Circuit(comp["id"], busses)


def circuit_from_text(text: str) -> Circuit:
    return circuit_from_document(json.loads(text))


# ---------------------------------------------------------------- memory contents

# The largest memory a record describes (docs/ir.md; the simulator's limits).
MAX_MEMORY_WORDS = 1 << 24
MAX_MEMORY_WIDTH = 1 << 16
MAX_MEMORY_BITS = 1 << 28


def memory_size_problem(words: int, width: int) -> str | None:
    """Why a memory of `words` words of `width` bits cannot be a memory
    record, or None."""
    if words < 1 or width < 1:
        return f"it has {words:,} words of {width:,} bits"
    if words > MAX_MEMORY_WORDS or width > MAX_MEMORY_WIDTH or words * width > MAX_MEMORY_BITS:
        return (f"it has {words:,} words × {width:,} bits = {words * width:,} bits, and a memory of the IR holds at "
                f"most {MAX_MEMORY_WORDS:,} words of at most {MAX_MEMORY_WIDTH:,} bits, {MAX_MEMORY_BITS:,} bits in "
                "all")
    return None

# A run of at least this many equal words is written as one value repeated.
REPEAT_AT_LEAST = 4


def init_runs(words: Sequence[int]) -> list[InitRun]:
    """The "init" runs of a memory holding `words` (word 0 first): runs of
    equal words written once with a count, words of 0 left out (a memory
    starts at 0), short gaps of 0 between other words kept in the run."""
    runs: list[InitRun] = []
    current: InitRun | None = None
    i = 0
    while i < len(words):
        j = i + 1
        while j < len(words) and words[j] == words[i]:
            j += 1
        count = j - i
        if words[i] == 0 and (count >= REPEAT_AT_LEAST or current is None or j == len(words)):
            current = None
        elif count >= REPEAT_AT_LEAST:
            runs.append({"word": i, "values": [format(words[i], "x")], "repeat": count})
            current = None
        else:
            if current is None:
                current = {"word": i, "values": []}
                runs.append(current)
            current["values"].extend([format(words[i], "x")] * count)
        i = j
    return runs


def initial_words(memory: MemoryRecord) -> list[int]:
    """The words a memory starts with (word 0 first): its "init" runs applied
    in order, a later run replacing an earlier one. The record is taken as
    the simulator accepts it."""
    words = [0] * memory["words"]
    for run in memory.get("init", []):
        at = run["word"]
        values = [int(value, 16) for value in run["values"]]
        for _ in range(run.get("repeat", 1)):
            words[at : at + len(values)] = values
            at += len(values)
    return words


# ---------------------------------------------------------------- building


def ref(bus_id: str) -> RefExpr:
    return {"type": "ref", "args": {"id": bus_id}}


def const(bits: str) -> ConstExpr:
    return {"type": "const", "args": {"value": bits}}


@overload
def gate(kind: Literal["not"], left: Expr, right: None = None) -> NotExpr: ...
@overload
def gate(kind: GateType, left: Expr, right: Expr) -> GateExpr: ...
def gate(kind: str, left: Expr, right: Expr | None = None) -> Expr:
    """A gate expression: "not" takes one operand, the others two."""
    if kind == "not":
        return {"type": "not", "args": {"expr": left}}
    if not is_gate_type(kind) or right is None:
        raise ValueError(f"'{kind}' is not a two-input gate")
    return {"type": kind, "args": {"l_expr": left, "r_expr": right}}


def with_influence_lists(entries: list[BusEntry]) -> list[BusEntry]:
    """Fills every entry's influence list with the busses whose assignments
    read it, in declaration order; returns the entries."""
    readers: dict[str, list[str]] = {entry["id"]: [] for entry in entries}
    for entry in entries:
        if "assignment" in entry:
            for source in referenced_ids(entry["assignment"]):
                if source in readers:
                    readers[source].append(entry["id"])
    for entry in entries:
        entry["influence_list"] = readers[entry["id"]]
    return entries


def build_document(
    component_id: str,
    busses: Iterable[tuple[str, str, Expr | None]],
    ports: Mapping[str, PortRecord] | None = None,
    registers: Iterable[RegisterRecord] | None = None,
    memories: Iterable[MemoryRecord] | None = None,
    nets: Mapping[str, list[str]] | None = None,
) -> Document:
    """An IR document from (id, initial value, assignment or None) triples,
    with every influence list filled from the references in the assignments,
    and the port, net, register and memory records when given, written before the
    busses (so that a reader of the text finds them without parsing the
    busses)."""
    entries: list[BusEntry] = []
    for bus_id, value, assignment in busses:
        entry: BusEntry = {"id": bus_id, "value": value}
        if assignment is not None:
            entry["assignment"] = assignment
        entries.append(entry)
    # Members in the order they are written: the busses last.
    members: dict[str, object] = {"id": component_id}
    if ports is not None:
        members["ports"] = dict(ports)
    if nets is not None:
        members["nets"] = {name: list(bits) for name, bits in nets.items()}
    if registers is not None:
        members["registers"] = list(registers)
    if memories is not None:
        members["memories"] = list(memories)
    members["busses"] = with_influence_lists(entries)
    return {"component": cast(ComponentRecord, members)}
