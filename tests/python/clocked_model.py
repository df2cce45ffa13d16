"""The plain model of a design with registers and memories, driven through
nimbo.core.

Every fast path of the simulator must give what this gives; it follows
docs/ir.md ("Registers: one step is one clock cycle", "Memories: a step with
memories") literally. One step is one cycle of every clock:

1. settle with the step's inputs and every clock at 0
   (``update_signals(inputs | {clock: "0"})``), then the asynchronous parts;
2. the rising edge: read what each posedge register takes (its reset value
   while its asynchronous reset is 1, else its D when it has no enable or the
   enable is 1; otherwise nothing), what each posedge synchronous read port
   takes and what each posedge write port writes; write the memories (the
   write ports in their order); then write every clock 1 and all those Qs
   and read data in one update, then the asynchronous parts;
3. the falling edge: the same for negedge registers and ports, writing
   every clock 0.

A design without registers and memories steps by one plain update.

The asynchronous parts: while some register or synchronous read port has
its asynchronous reset at 1 and its Q or data differs from its reset value,
or some asynchronous read port's data differs from the word at its address,
write all such Qs and data in one update; give up after one round per
register and read port and one more ("Asynchronous resets did not settle",
or "Asynchronous resets or memory reads did not settle" when there are
asynchronous read ports). The initial state is that of :func:`settle` on a
freshly rendered component with the memories at their initial contents.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any

from nimbo.core import Component, Renderer
from nimbo.ir import initial_words


@dataclass(frozen=True)
class Register:
    q: str
    d: str
    clock: str
    edge: str = "posedge"
    enable: str | None = None
    async_reset: str | None = None
    reset_value: str | None = None  # None: all 0 of q's width
    uninitialised: bool = False  # started at q's value: the model is x_initial "zero"


def registers_of(ir_text: str) -> list[Register]:
    records: list[dict[str, Any]] = json.loads(ir_text)["component"].get("registers", [])
    return [Register(**record) for record in records]


@dataclass(frozen=True)
class ReadPort:
    address: list[str]
    data: list[str]
    clock: str | None = None  # None: asynchronous
    edge: str = "posedge"
    enable: str | None = None
    async_reset: str | None = None
    async_reset_value: str | None = None  # None: all 0
    sync_reset: str | None = None
    sync_reset_value: str | None = None
    enable_over_reset: bool = False
    transparent: list[int] = field(default_factory=list)


@dataclass(frozen=True)
class WritePort:
    clock: str
    address: list[str]
    data: list[str]
    edge: str = "posedge"
    enable: list[str] | None = None  # None: every bit written


@dataclass
class Memory:
    name: str
    words: int
    width: int
    offset: int
    contents: list[int]  # word 0 first
    read_ports: list[ReadPort]
    write_ports: list[WritePort]

    def word(self, address: int) -> int:
        """The word at `address`; 0 outside the memory."""
        index = address - self.offset
        return self.contents[index] if 0 <= index < self.words else 0


def memories_of(ir_text: str) -> list[Memory]:
    records: list[dict[str, Any]] = json.loads(ir_text)["component"].get("memories", [])
    return [
        Memory(
            record["name"], record["words"], record["width"], record.get("offset", 0), initial_words(record),
            [ReadPort(**port) for port in record.get("read_ports", [])],
            [WritePort(**port) for port in record.get("write_ports", [])],
        )
        for record in records
    ]


def list_bits(values: dict[str, str], ids: list[str]) -> str:
    """The bits of a bit list, element 0 first: one bus gives all its bits,
    several one bit each."""
    return "".join(values[bus_id] for bus_id in ids)


def number(bits: str) -> int:
    return int(bits[::-1], 2) if bits else 0


def word_bits(word: int, width: int) -> str:
    return format(word, f"0{width}b")[::-1]


def put(writes: dict[str, str], ids: list[str], bits: str) -> None:
    """Writes `bits` (element 0 first) into the busses of a bit list."""
    if len(ids) == 1:
        writes[ids[0]] = bits
    else:
        writes.update(zip(ids, bits))


class ClockedModel:
    def __init__(self, ir_text: str) -> None:
        self.component: Component = Renderer(ir_text).component
        self.registers = registers_of(ir_text)
        self.memories = memories_of(ir_text)
        clocks = {r.clock for r in self.registers}
        for memory in self.memories:
            clocks.update(p.clock for p in memory.read_ports if p.clock is not None)
            clocks.update(p.clock for p in memory.write_ports)
        self.clocks = sorted(clocks)
        self.settle({})

    def values(self) -> dict[str, str]:
        return self.component.get_values()

    def reset_value(self, register: Register, values: dict[str, str]) -> str:
        if register.reset_value is not None:
            return register.reset_value
        return "0" * len(values[register.q])

    def asynchronous_parts(self) -> None:
        ports = [(m, p) for m in self.memories for p in m.read_ports]
        for _ in range(len(self.registers) + len(ports) + 1):
            values = self.values()
            forced: dict[str, str] = {}
            for r in self.registers:
                if r.async_reset is not None and values[r.async_reset] == "1":
                    value = self.reset_value(r, values)
                    if values[r.q] != value:
                        forced[r.q] = value
            for memory, port in ports:
                if port.clock is None:
                    value = word_bits(memory.word(number(list_bits(values, port.address))), memory.width)
                elif port.async_reset is not None and values[port.async_reset] == "1":
                    value = port.async_reset_value or "0" * memory.width
                else:
                    continue
                if list_bits(values, port.data) != value:
                    put(forced, port.data, value)
            if not forced:
                return
            self.component.update_signals(forced)
        if any(port.clock is None for _, port in ports):
            raise RuntimeError("Asynchronous resets or memory reads did not settle")
        raise RuntimeError("Asynchronous resets did not settle")

    def settle(self, inputs: dict[str, str]) -> None:
        self.component.update_signals({**inputs, **{c: "0" for c in self.clocks}})
        self.asynchronous_parts()

    def read_takes(self, memory: Memory, port: ReadPort, values: dict[str, str]) -> str | None:
        """What a synchronous read port takes at its edge, or None."""
        enabled = port.enable is None or values[port.enable] == "1"
        if port.async_reset is not None and values[port.async_reset] == "1":
            return port.async_reset_value or "0" * memory.width
        if port.sync_reset is not None and values[port.sync_reset] == "1" and (enabled or not port.enable_over_reset):
            return port.sync_reset_value or "0" * memory.width
        if not enabled:
            return None
        address = number(list_bits(values, port.address))
        word = memory.word(address)
        for index in sorted(port.transparent):
            writer = memory.write_ports[index]
            if number(list_bits(values, writer.address)) == address:
                mask = self.write_mask(memory, writer, values)
                word = (word & ~mask) | (number(list_bits(values, writer.data)) & mask)
        return word_bits(word, memory.width)

    @staticmethod
    def write_mask(memory: Memory, writer: WritePort, values: dict[str, str]) -> int:
        if writer.enable is None:
            return (1 << memory.width) - 1
        return number(list_bits(values, writer.enable))

    def edge(self, edge: str, level: str) -> None:
        values = self.values()
        captured: dict[str, str] = {}
        for r in self.registers:
            if r.edge != edge:
                continue
            if r.async_reset is not None and values[r.async_reset] == "1":
                captured[r.q] = self.reset_value(r, values)
            elif r.enable is None or values[r.enable] == "1":
                captured[r.q] = values[r.d]
        writes = []  # (memory, address, mask, data), read before anything is written
        for memory in self.memories:
            for port in memory.read_ports:
                if port.clock is not None and port.edge == edge:
                    taken = self.read_takes(memory, port, values)
                    if taken is not None:
                        put(captured, port.data, taken)
            for writer in memory.write_ports:
                if writer.edge == edge:
                    writes.append((memory, number(list_bits(values, writer.address)),
                                   self.write_mask(memory, writer, values), number(list_bits(values, writer.data))))
        for memory, address, mask, data in writes:
            index = address - memory.offset
            if 0 <= index < memory.words:
                memory.contents[index] = (memory.contents[index] & ~mask) | (data & mask)
        self.component.update_signals({**{c: level for c in self.clocks}, **captured})
        self.asynchronous_parts()

    def step(self, inputs: dict[str, str]) -> dict[str, str]:
        if not self.registers and not self.memories:  # one update per step
            self.component.update_signals(inputs)
            return self.values()
        self.settle(inputs)
        self.edge("posedge", "1")
        self.edge("negedge", "0")
        return self.values()


def random_clocked_circuit(
    rng,
    registers=6,
    logic=14,
    feedback=False,
    drop_influence=0,
    widths=(1, 3, 64, 65),
    reset_chains=False,
    clocks_as_data=False,
):
    """A random design with registers; returns (ir, {input id: width}).

    Busses come in width classes (a gate's result has the smaller width of its
    operands, so logic stays within a class): inputs, register q's and driven
    busses, each register's d a driven bus of its q's class. One or two
    clocks, both edges, enables and asynchronous resets (from inputs or from
    logic), initial values at random. Without `feedback`, logic reads only
    lower ranks; with it, any bus, so the worklist runs between registers.
    With `reset_chains`, asynchronous resets are mostly other registers' q's
    (one register resetting the next); with `clocks_as_data`, registers take
    clocks as their d, enable or asynchronous reset, and no gate reads them."""
    from nimbo.ir import gate, ref  # noqa: PLC0415 (tests import this module before nimbo is needed)

    classes = rng.sample(widths, k=min(len(widths), rng.randrange(1, 4)))
    if 1 not in classes:
        classes.append(1)  # enables and resets
    clocks = ["clk"] if rng.randrange(3) else ["clk", "clk2"]
    entries: dict[str, dict[str, Any]] = {}
    width_of: dict[str, int] = {}
    ranked: list[str] = []  # everything logic may read, in rank order
    readers: dict[str, list[str]] = {}

    def bits(count: int) -> str:
        return "".join(rng.choice("01") for _ in range(count))

    def declare(bus_id: str, width: int, assignment: Any = None) -> None:
        entry: dict[str, Any] = {"id": bus_id, "value": bits(width)}
        if assignment is not None:
            entry["assignment"] = assignment
        entries[bus_id] = entry
        width_of[bus_id] = width
        readers.setdefault(bus_id, [])

    for clock in clocks:
        declare(clock, 1)
        entries[clock]["value"] = "0"
    inputs = {}
    for i in range(rng.randrange(2, 5)):
        w = rng.choice(classes)
        declare(f"in{i}", w)
        inputs[f"in{i}"] = w
        ranked.append(f"in{i}")
    qs = []
    for i in range(registers):
        w = rng.choice(classes)
        declare(f"q{i}", w)
        qs.append(f"q{i}")
        ranked.append(f"q{i}")
    if "in_en" not in entries:
        declare("in_en", 1)
        inputs["in_en"] = 1
        ranked.append("in_en")

    def tree(owner: str, w: int, limit: int, depth: int) -> Any:
        pool = [b for b in ranked[:limit] if width_of[b] == w]
        if depth == 0 or not pool or rng.randrange(3) == 0:
            if not pool:
                return {"type": "const", "args": {"value": bits(w)}}
            source = rng.choice(pool)
            readers[source].append(owner)
            return ref(source)
        if rng.randrange(5) == 0:
            return gate("not", tree(owner, w, limit, depth - 1))
        kind = rng.choice(("and", "or", "xor", "nand", "nor", "xnor"))
        return gate(kind, tree(owner, w, limit, depth - 1), tree(owner, w, limit, depth - 1))

    logic_names = [f"g{i}" for i in range(logic)]
    for name in logic_names:
        ranked.append(name)
        width_of[name] = rng.choice(classes)
        readers[name] = []
    for name in logic_names:
        w = width_of[name]
        limit = len(ranked) if feedback else ranked.index(name)
        declare(name, w, tree(name, w, limit, rng.randrange(1, 4)))
    registers_out = []
    for q in qs:
        w = width_of[q]
        candidates = [b for b in ranked if width_of[b] == w and b.startswith("g")]
        d = rng.choice(candidates) if candidates else q
        record: dict[str, Any] = {"q": q, "d": d, "clock": rng.choice(clocks)}
        if rng.randrange(3) == 0:
            record["edge"] = "negedge"
        elif rng.randrange(2):
            record["edge"] = "posedge"
        one_bit = [b for b in ranked if width_of[b] == 1 and b != q]
        if clocks_as_data:
            one_bit += clocks
            if w == 1 and rng.randrange(3) == 0:
                record["d"] = rng.choice(clocks)
        if rng.randrange(3) == 0 and one_bit:
            record["enable"] = rng.choice(one_bit)
        if reset_chains:
            resets = [b for b in one_bit if b.startswith("q")] or one_bit
        elif clocks_as_data:
            resets = one_bit
        else:
            resets = [b for b in one_bit if b.startswith("in")] or one_bit
        if rng.randrange(2 if reset_chains or clocks_as_data else 3) == 0 and resets:
            record["async_reset"] = rng.choice(resets)
            if rng.randrange(2):
                record["reset_value"] = bits(w)
        registers_out.append(record)
    order = list(entries)
    rng.shuffle(order)
    busses = []
    for bus_id in order:
        entry = dict(entries[bus_id])
        influence = [r for r in dict.fromkeys(readers[bus_id]) if not drop_influence or rng.randrange(drop_influence)]
        if influence:
            entry["influence_list"] = influence
        busses.append(entry)
    document = {"component": {"id": "clocked", "registers": registers_out, "busses": busses}}
    return json.dumps(document), inputs
