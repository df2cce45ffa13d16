"""Finding IR that the renderer accepts but that does not mean what it says.

The renderer is lenient: a bus missing from an influence list leaves its
reader stale, a reference to a missing bus reads as one 0 bit, an unusable
initial value becomes one 0 bit, and a driven bus takes the width of its
assignment on the first update. :func:`lint` reports each such case as a
:class:`Finding` that names the busses, plus feedback loops as information.

Widths are those the engine gives the busses in the first update (see
:func:`engine_widths`), not derived here again.

Registers (the component's "registers" records) drive their q and read their
d, clock, enable and asynchronous reset; the report counts them per clock
and edge. Memories (the "memories" records) drive their read ports' data and
read every other bus their ports name; the report lists them. Whether the
records are valid is the simulator's to say. Named vectors (the "nets"
record an import writes, see :mod:`nimbo.nets`) are read as ports are: a
bus they name counts as read, and one that does not exist is a finding.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from .ir import circuit_from_document, referenced_ids
from .nets import nets_from_document
from .ports import plural, ports_from_document

if TYPE_CHECKING:
    from .core import Component

WARNING_KINDS = ("missing-influence", "missing-bus", "bad-value", "width", "unused", "clock-as-data")
ERROR_KINDS = ("register", "memory")  # records the simulator refuses
REGISTER_FIELDS = ("d", "clock", "enable", "async_reset")  # the busses a register reads
# The one-bit busses a memory port reads, and its bit lists (a read port's data it drives).
PORT_FIELDS = ("clock", "enable", "async_reset", "sync_reset")
PORT_LISTS = ("address", "data", "enable")


@dataclass(frozen=True)
class Finding:
    kind: str  # one of WARNING_KINDS or ERROR_KINDS, or "feedback" (information)
    busses: tuple[str, ...]
    message: str

    @property
    def is_warning(self) -> bool:
        return self.kind in WARNING_KINDS

    @property
    def is_error(self) -> bool:
        return self.kind in ERROR_KINDS

    def to_json(self) -> dict[str, object]:
        return {"kind": self.kind, "busses": list(self.busses), "message": self.message}


@dataclass(frozen=True)
class ClockDomain:
    """The registers of one clock and edge."""

    clock: str
    edge: str
    registers: int
    bits: int  # the widths of their q's, summed
    enables: int  # how many have an enable
    async_resets: int  # how many have an asynchronous reset

    def to_json(self) -> dict[str, object]:
        return {
            "clock": self.clock, "edge": self.edge, "registers": self.registers, "bits": self.bits,
            "enables": self.enables, "async_resets": self.async_resets,
        }


@dataclass(frozen=True)
class MemorySummary:
    """A memory's size and ports."""

    name: str
    words: int
    width: int
    asynchronous_reads: int
    synchronous_reads: int
    writes: int

    def to_json(self) -> dict[str, object]:
        return {
            "name": self.name, "words": self.words, "width": self.width,
            "read_ports": {"asynchronous": self.asynchronous_reads, "synchronous": self.synchronous_reads},
            "write_ports": self.writes,
        }  # fmt: skip


@dataclass
class Report:
    component: str
    busses: int
    driven: int
    gates: int
    widest: tuple[str, int] | None  # (bus id, width after the first update)
    findings: list[Finding] = field(default_factory=list)
    domains: list[ClockDomain] = field(default_factory=list)
    memories: list[MemorySummary] = field(default_factory=list)
    nets: int = 0  # named vectors

    @property
    def warnings(self) -> list[Finding]:
        return [f for f in self.findings if f.is_warning]

    @property
    def errors(self) -> list[Finding]:
        return [f for f in self.findings if f.is_error]

    @property
    def registers(self) -> int:
        return sum(domain.registers for domain in self.domains)

    def to_json(self) -> dict[str, object]:
        return {
            "component": self.component,
            "busses": self.busses,
            "driven_busses": self.driven,
            "gates": self.gates,
            "widest_bus": None if self.widest is None else {"id": self.widest[0], "width": self.widest[1]},
            "registers": {
                "count": self.registers,
                "bits": sum(domain.bits for domain in self.domains),
                "domains": [domain.to_json() for domain in self.domains],
            },
            "memories": [memory.to_json() for memory in self.memories],
            "nets": self.nets,
            "errors": [f.to_json() for f in self.errors],
            "warnings": [f.to_json() for f in self.warnings],
            "notes": [f.to_json() for f in self.findings if not f.is_warning and not f.is_error],
        }


def register_records(doc: object) -> list[dict[str, str]]:
    """The register records of an IR document with their string fields; other
    entries and fields are left out (the simulator refuses them)."""
    component = doc.get("component") if isinstance(doc, dict) else None
    raw = component.get("registers") if isinstance(component, dict) else None
    if not isinstance(raw, list):
        return []
    records = []
    for entry in raw:
        if isinstance(entry, dict) and isinstance(entry.get("q"), str):
            records.append({key: value for key, value in entry.items() if isinstance(value, str)})
    return records


def memory_records(doc: object) -> list[dict[str, object]]:
    """The memory records of an IR document that are objects; the simulator
    judges the rest."""
    component = doc.get("component") if isinstance(doc, dict) else None
    raw = component.get("memories") if isinstance(component, dict) else None
    return [entry for entry in raw if isinstance(entry, dict)] if isinstance(raw, list) else []


def _ports(memory: dict[str, object], key: str) -> list[dict[str, object]]:
    ports = memory.get(key)
    return [port for port in ports if isinstance(port, dict)] if isinstance(ports, list) else []


def _port_busses(port: dict[str, object]) -> list[tuple[str, str]]:
    """(field, bus id) of every bus a memory port names."""
    found = [(key, value) for key in PORT_FIELDS if isinstance(value := port.get(key), str)]
    for key in PORT_LISTS:
        ids = port.get(key)
        if isinstance(ids, list):
            found += [(key, bus_id) for bus_id in ids if isinstance(bus_id, str)]
    return found


def _memory_summary(memory: dict[str, object]) -> MemorySummary:
    reads = _ports(memory, "read_ports")
    synchronous = sum("clock" in port for port in reads)
    words, width, name = memory.get("words"), memory.get("width"), memory.get("name")
    return MemorySummary(
        name if isinstance(name, str) else "", words if isinstance(words, int) else 0,
        width if isinstance(width, int) else 0, len(reads) - synchronous, synchronous,
        len(_ports(memory, "write_ports")),
    )


def _domains(registers: list[dict[str, str]], widths: dict[str, int]) -> list[ClockDomain]:
    """The registers counted per clock and edge, in the order they first appear."""
    groups: dict[tuple[str, str], list[dict[str, str]]] = {}
    for record in registers:
        groups.setdefault((record.get("clock", ""), record.get("edge", "posedge")), []).append(record)
    return [
        ClockDomain(
            clock, edge, len(members), sum(widths.get(r["q"], 0) for r in members),
            sum("enable" in r for r in members), sum("async_reset" in r for r in members),
        )
        for (clock, edge), members in groups.items()
    ]


def _value_problem(raw: object) -> str | None:
    """Why an initial value is not a usable bit string, or None."""
    if raw is None:
        return None  # absent: one 0 bit, as documented
    if isinstance(raw, str):
        bad = next((ch for ch in raw if ch not in "01"), None)
        return None if bad is None else f"the text has the character {bad!r}; the bus starts as one 0 bit"
    if isinstance(raw, list):
        if all(isinstance(item, bool) for item in raw):
            return None
        return "the array holds items other than true and false, which read as 0"
    return f"a JSON {type(raw).__name__.replace('dict', 'object').replace('int', 'number')} is not a bit string; the bus starts as one 0 bit"


def _cycle_from(start: str, reads: dict[str, list[str]], members: set[str]) -> list[str]:
    """One cycle through `start` inside the strongly connected set `members`."""
    parent: dict[str, str] = {}
    frontier = [start]
    seen = {start}
    while frontier:
        nxt: list[str] = []
        for node in frontier:
            for source in reads.get(node, ()):
                if source == start:
                    path = [node]
                    while path[-1] != start:
                        path.append(parent[path[-1]])
                    return path[::-1] + [start]  # start <- ... reversed into read order
                if source in members and source not in seen:
                    seen.add(source)
                    parent[source] = node
                    nxt.append(source)
        frontier = nxt
    return [start, start]


def _strong_components(nodes: Iterable[str], reads: dict[str, list[str]]) -> list[list[str]]:
    """Tarjan's algorithm without recursion; components of 2+ nodes or with a self-loop."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    result: list[list[str]] = []
    counter = 0
    for root in nodes:
        if root in index:
            continue
        work = [(root, iter(reads.get(root, ())))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, it = work[-1]
            child = next(it, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(reads.get(child, ()))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1 or node in reads.get(node, ()):
                    result.append(component[::-1])
    return result


def engine_widths(component: Component) -> dict[str, int]:
    """The width of each bus after the component's first update, as the
    engine computes it. A circuit that does not settle keeps the widths it
    had when the update stopped."""
    try:
        component.update_signals({})
    except RuntimeError:  # "Circuit did not settle"
        pass
    return {bus_id: len(value) for bus_id, value in component.get_values().items()}


def lint(doc: object, widths: Mapping[str, int] | None = None) -> Report:
    """Checks an IR document that the renderer has accepted. `widths`: the
    engine's widths after the first update (engine_widths); by default the
    document is rendered to get them."""
    if widths is None:
        from .core import Renderer

        widths = engine_widths(Renderer(json.dumps(doc)).component)
    # The renderer's view: first declaration keeps its place, the last value and
    # the last non-null assignment win, influence lists are merged.
    circuit = circuit_from_document(doc)
    busses = circuit.busses
    assignment = circuit.assignments()
    influence = {b.id: set(b.influence) for b in busses.values()}
    findings: list[Finding] = []

    # Port records as nimbo run reads them: a malformed one raises PortError.
    observed: set[str] = set()  # the busses of ports and nets, which count as read
    for port in ports_from_document(doc).values():
        observed.update(port.bits)
        for bit in port.bits:
            if bit not in busses:
                findings.append(
                    Finding("missing-bus", (bit,), f"port '{port.name}' names the bus '{bit}', which the circuit lacks")
                )
    # Named vectors as Design reads them: a malformed record raises NetError.
    nets = nets_from_document(doc)
    for name, bits in nets.items():
        observed.update(bits)
        for bit in bits:
            if bit not in busses:
                findings.append(
                    Finding("missing-bus", (bit,), f"net '{name}' names the bus '{bit}', which the circuit lacks")
                )

    for bus in busses.values():
        problem = _value_problem(bus.raw_value)
        if problem is not None:
            findings.append(Finding("bad-value", (bus.id,), f"bus '{bus.id}': initial value is unusable: {problem}"))
    declared = {b.id: b.width for b in busses.values()}
    widths = {bus_id: widths.get(bus_id, width) for bus_id, width in declared.items()}
    for bus_id in assignment:
        if widths[bus_id] != declared[bus_id]:
            findings.append(
                Finding(
                    "width",
                    (bus_id,),
                    f"bus '{bus_id}' is declared with {plural(declared[bus_id], 'bit')} but its assignment "
                    f"gives {plural(widths[bus_id], 'bit')}; it has {plural(widths[bus_id], 'bit')} after the first update",
                )
            )

    reads: dict[str, list[str]] = {}
    read_somewhere: set[str] = set()
    registers = register_records(doc)
    register_qs = {record["q"] for record in registers}
    clocks = {record["clock"] for record in registers if "clock" in record}
    memories = memory_records(doc)
    for memory in memories:
        for entry in _ports(memory, "read_ports") + _ports(memory, "write_ports"):
            clocks.update(bus_id for key, bus_id in _port_busses(entry) if key == "clock")
    for index, record in enumerate(registers):
        read_somewhere.update(record[key] for key in REGISTER_FIELDS if key in record)
        for key in ("d", "enable", "async_reset"):
            if record.get(key) in clocks:
                findings.append(
                    Finding(
                        "clock-as-data",
                        (record["q"], record[key]),
                        f"registers[{index}] (q '{record['q']}') takes the clock '{record[key]}' as its {key}: "
                        "it sees the level the clock has at each edge (0 before the rising one, 1 before the falling one)",
                    )
                )
    read_data: set[str] = set()
    for index, memory in enumerate(memories):
        place = f"memories[{index}] (name '{memory.get('name')}')"
        for kind in ("read_ports", "write_ports"):
            for number, entry in enumerate(_ports(memory, kind)):
                for key, bus_id in _port_busses(entry):
                    if kind == "read_ports" and key == "data":
                        read_data.add(bus_id)
                        continue
                    read_somewhere.add(bus_id)
                    if key != "clock" and bus_id in clocks:
                        findings.append(
                            Finding(
                                "clock-as-data",
                                (bus_id,),
                                f"{place} {kind}[{number}] takes the clock '{bus_id}' as its {key}: it sees the "
                                "level the clock has at each edge (0 before the rising one, 1 before the falling one)",
                            )
                        )
    for bus_id, expr in assignment.items():
        sources = sorted(referenced_ids(expr))
        reads[bus_id] = [s for s in sources if s in busses]
        for source in sources:
            if source not in busses:
                findings.append(
                    Finding("missing-bus", (bus_id, source), f"bus '{bus_id}' reads '{source}', which does not exist (it reads as one 0 bit)")
                )
            else:
                read_somewhere.add(source)
                if bus_id not in influence[source]:
                    findings.append(
                        Finding(
                            "missing-influence",
                            (bus_id, source),
                            f"bus '{bus_id}' reads '{source}' but is missing from the influence list of '{source}' "
                            f"(it keeps a stale value when '{source}' changes)",
                        )
                    )

    order = list(busses)
    for bus_id in order:
        if bus_id in read_somewhere or bus_id in observed:
            continue
        if bus_id in register_qs:
            findings.append(Finding("unused", (bus_id,), f"bus '{bus_id}' is the q of a register, but nothing reads it"))
        elif bus_id in read_data:
            findings.append(
                Finding("unused", (bus_id,), f"bus '{bus_id}' is the data of a memory read port, but nothing reads it")
            )
        elif bus_id not in assignment:
            findings.append(Finding("unused", (bus_id,), f"bus '{bus_id}' is never read and never driven"))

    loops = _strong_components([b for b in order if b in assignment], reads)
    if loops:
        members = set(loops[0])
        cycle = _cycle_from(loops[0][0], reads, members)
        in_loops = sum(len(c) for c in loops)
        findings.append(
            Finding(
                "feedback",
                tuple(cycle[:-1]),
                f"feedback: {plural(len(loops), 'loop')} over {plural(in_loops, 'bus', 'busses')}, "
                f"e.g. {' -> '.join(cycle)} (each reads the next)",
            )
        )

    widest = max(order, key=lambda b: widths[b], default=None)
    return Report(
        component=circuit.id,
        busses=len(order),
        driven=len(assignment),
        gates=circuit.gate_count(),
        widest=None if widest is None else (widest, widths[widest]),
        findings=findings,
        domains=_domains(registers, widths),
        memories=[_memory_summary(memory) for memory in memories],
        nets=len(nets),
    )
