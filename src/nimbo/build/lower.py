"""Writing a circuit as IR.

The IR's gates work on whole busses, and it has no way to take one bit of a
multi-bit bus or to put busses side by side. So a multi-bit net is written
either as one bus (word form), when everything that drives or reads it works
on whole words, or as 1-bit busses ``id[0]`` .. ``id[n-1]`` (bit form). Nets
combined word by word share their form: a net in bit form puts every net it
is combined with in bit form too.

Each bus's expression is then built with constants folded, identical
subexpressions found, and a subexpression used in several places given a
bus of its own when copying it would cost more than a few gates (the IR has
no shared subexpressions). Busses are declared in dependency order (those
without assignment first) and the influence lists filled, so a circuit
without feedback takes the simulator's one-pass path.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from itertools import count
from .. import ir
from ..ir import Document, Expr, GateType, PortRecord, RegisterRecord
from ..ports import Port
from .circuit import Bus, Circuit, Register
from .signals import BuildError, Const, Gate, Net, Not, Pick, Signal, Vector, gate, mux

# A subexpression read in two or more places gets a bus of its own when it
# has at least this many gates.
SHARE_SIZE = 3

_BASE: dict[str, tuple[str, bool]] = {
    "and": ("and", False),
    "nand": ("and", True),
    "or": ("or", False),
    "nor": ("or", True),
    "xor": ("xor", False),
    "xnor": ("xor", True),
}
_KIND: dict[tuple[str, bool], GateType] = {
    ("and", False): "and",
    ("and", True): "nand",
    ("or", False): "or",
    ("or", True): "nor",
    ("xor", False): "xor",
    ("xor", True): "xnor",
}


@dataclass(frozen=True)
class Compiled:
    document: Document
    ports: dict[str, Port]
    widths: dict[str, int]  # each port's width in bits


class LNode:
    """A node of the lowered expressions: "ref" (text: bus id), "const"
    (text: bits), "not" (a) or a gate (a, b). Equal nodes are one object."""

    __slots__ = ("uid", "kind", "a", "b", "text", "width", "uses", "size", "name")

    def __init__(self, uid: int, kind: str, width: int, a: LNode | None = None, b: LNode | None = None, text: str = ""):
        self.uid = uid
        self.kind = kind
        self.width = width
        self.a = a
        self.b = b
        self.text = text
        self.uses = 0  # parents that read it
        self.size = 0  # gates when copied into a parent
        self.name: str | None = None  # the bus that holds its value

    def children(self) -> tuple[LNode, ...]:
        return tuple(c for c in (self.a, self.b) if c is not None)


class _Nodes:
    """Builds LNodes with constants folded and equal nodes shared."""

    def __init__(self) -> None:
        self.table: dict[tuple[object, ...], LNode] = {}

    def _make(self, key: tuple[object, ...], kind: str, width: int, a: LNode | None = None, b: LNode | None = None, text: str = "") -> LNode:
        node = self.table.get(key)
        if node is None:
            node = LNode(len(self.table), kind, width, a, b, text)
            self.table[key] = node
        return node

    def ref(self, bus_id: str, width: int) -> LNode:
        return self._make(("ref", bus_id), "ref", width, text=bus_id)

    def const(self, bits: str) -> LNode:
        return self._make(("const", bits), "const", len(bits), text=bits)

    def not_(self, x: LNode) -> LNode:
        if x.kind == "const":
            return self.const(x.text.translate(str.maketrans("01", "10")))
        if x.kind == "not":
            assert x.a is not None
            return x.a
        if x.kind in _BASE:
            assert x.a is not None and x.b is not None
            base, inverted = _BASE[x.kind]
            return self._gate(_KIND[base, not inverted], x.a, x.b)
        return self._make(("not", x.uid), "not", x.width, x)

    def _gate(self, kind: GateType, a: LNode, b: LNode) -> LNode:
        low, high = (a, b) if a.uid <= b.uid else (b, a)
        return self._make((kind, low.uid, high.uid), kind, a.width, low, high)

    def _fold(self, base: str, a: LNode, b: LNode) -> LNode | None:
        """`a base b` when it is a constant or one of its operands; else None."""
        if a.kind == "const" and b.kind == "const":
            pairs = zip(a.text, b.text)
            if base == "and":
                return self.const("".join("1" if x == y == "1" else "0" for x, y in pairs))
            if base == "or":
                return self.const("".join("1" if "1" in (x, y) else "0" for x, y in pairs))
            return self.const("".join("1" if x != y else "0" for x, y in pairs))
        for x, other in ((a, b), (b, a)):
            if x.kind == "const" and x.text in ("0" * x.width, "1" * x.width):
                one = x.text[0] == "1"
                if base == "and":
                    return x if not one else other
                if base == "or":
                    return x if one else other
                return self.not_(other) if one else other
        if a is b:
            return self.const("0" * a.width) if base == "xor" else a
        if (a.kind == "not" and a.a is b) or (b.kind == "not" and b.a is a):
            return self.const(("0" if base == "and" else "1") * a.width)
        return None

    def gate(self, kind: GateType, a: LNode, b: LNode) -> LNode:
        base, inverted = _BASE[kind]
        if base == "xor":  # x ^ ~y is xnor(x, y)
            for _ in range(2):
                if a.kind == "not":
                    assert a.a is not None
                    a, inverted = a.a, not inverted
                if b.kind == "not":
                    assert b.a is not None
                    b, inverted = b.a, not inverted
        elif a.kind == "not" and b.kind == "not":  # De Morgan: ~x & ~y is nor(x, y)
            assert a.a is not None and b.a is not None
            a, b = a.a, b.a
            base, inverted = ("or" if base == "and" else "and"), not inverted
        folded = self._fold(base, a, b)
        if folded is not None:
            return self.not_(folded) if inverted else folded
        return self._gate(_KIND[base, inverted], a, b)


class _Sets:
    """Union-find over net positions."""

    def __init__(self) -> None:
        self.parent: list[int] = []

    def add(self) -> None:
        self.parent.append(len(self.parent))

    def find(self, i: int) -> int:
        root = i
        while self.parent[root] != root:
            root = self.parent[root]
        while self.parent[i] != root:
            self.parent[i], i = root, self.parent[i]
        return root

    def union(self, i: int, j: int) -> None:
        self.parent[self.find(i)] = self.find(j)


def _children(node: Signal) -> tuple[Signal, ...]:
    if isinstance(node, Gate):
        return (node.left, node.right)
    if isinstance(node, Not):
        return (node.operand,)
    if isinstance(node, Vector):
        return node.items
    if isinstance(node, Pick):
        return (node.source,)
    return ()


class _Compiler:
    def __init__(self, circuit: Circuit):
        self.circuit = circuit
        self.nets: list[Net] = []
        self.pos: dict[int, int] = {}  # id(net) -> index in nets
        self.sets = _Sets()
        self.split: list[bool] = []
        self.ids: list[list[str]] = []
        self.taken: dict[str, str] = {}
        self.anon = count(1)
        self.nodes = _Nodes()
        self.memo: dict[tuple[int, int], LNode] = {}
        self.registers: list[tuple[Register, Net, Net | None, Net | None]] = []
        self.aliases: dict[str, LNode] = {}
        self.q_ids: set[str] = set()

    # ------------------------------------------------------------ nets

    def add(self, net: Net) -> int:
        index = self.pos.get(id(net))
        if index is None:
            index = self.pos[id(net)] = len(self.nets)
            self.nets.append(net)
            self.sets.add()
        return index

    def as_net(self, signal: Signal | None, hint: str) -> Net | None:
        """A net for a register's input. A register's output gets a net of its
        own that copies it, so that some assignment reads it."""
        if signal is None:
            return None
        if not isinstance(signal, Net) or isinstance(signal, Register):
            net = Net(signal.width, hint)
            net.driver = signal
            signal = net
        self.add(signal)
        return signal

    def collect(self) -> None:
        for bus in self.circuit._busses.values():
            if bus.role == "feedback" and bus.driver is None:
                raise BuildError(f"feedback bus '{bus.id}' is never driven: give it one with {bus.id}.drive(signal)")
            self.add(bus)
        for register in self.circuit._registers:
            if register.next is None:
                raise BuildError(f"register '{register.id}' has no next value: set {register.id}.next")
            d, enable = register.next, register.enable
            if register.reset is not None:  # synchronous reset: lowered into d, taken whatever the enable is
                d = mux(register.reset, d, Const(register.init))
                if enable is not None:
                    enable = gate("or", enable, register.reset, "enable")
            d_net = self.as_net(d, f"{register.id}$next")
            assert d_net is not None
            self.registers.append(
                (register, d_net, self.as_net(enable, f"{register.id}$en"), self.as_net(register.async_reset, f"{register.id}$arst"))
            )
        seen: set[int] = set()
        i = 0
        while i < len(self.nets):
            net = self.nets[i]
            i += 1
            stack = [] if net.driver is None else [net.driver]
            while stack:
                node = stack.pop()
                if id(node) in seen:
                    continue
                seen.add(id(node))
                if isinstance(node, Net):
                    if node.circuit is not None and node.circuit is not self.circuit:
                        raise BuildError(f"the circuit reads bus '{node.id}', which belongs to circuit '{node.circuit.id}'")
                    self.add(node)
                else:
                    stack.extend(_children(node))

    def classify(self) -> None:
        """Which nets are written in bit form."""
        marked = [False] * len(self.nets)
        for index, net in enumerate(self.nets):
            if net.driver is None:
                continue
            stack: list[tuple[Signal, bool]] = [(net.driver, net.width > 1)]
            seen: set[tuple[int, bool]] = set()
            while stack:
                node, word = stack.pop()
                if (id(node), word) in seen:
                    continue
                seen.add((id(node), word))
                if isinstance(node, Net):
                    if word:
                        self.sets.union(index, self.pos[id(node)])
                    elif node.width > 1:
                        marked[self.pos[id(node)]] = True
                    continue
                if word and isinstance(node, (Vector, Pick)):
                    marked[index] = True
                    word = False
                stack.extend((child, word) for child in _children(node))
        for register, d_net, _, _ in self.registers:
            self.sets.union(self.pos[id(register)], self.pos[id(d_net)])
        split_sets = {self.sets.find(i) for i, m in enumerate(marked) if m}
        self.split = [self.sets.find(i) in split_sets for i in range(len(self.nets))]

    def bus_ids(self, index: int, base: str) -> list[str]:
        width = self.nets[index].width
        return [base] if width == 1 or not self.split[index] else [f"{base}[{i}]" for i in range(width)]

    def name(self) -> None:
        for index, net in enumerate(self.nets):
            if not isinstance(net, Bus):
                self.ids.append([])
                continue
            ids = self.bus_ids(index, net.id)
            for bit, bus_id in enumerate(ids):
                what = (
                    f"bus '{net.id}'"
                    if len(ids) == 1
                    else f"bit {bit} of the {net.width}-bit bus '{net.id}' (written as 1-bit busses "
                    f"{net.id}[0] .. {net.id}[{net.width - 1}] because its bits are used one by one)"
                )
                if bus_id in self.taken:
                    raise BuildError(f"two busses would be named '{bus_id}': {self.taken[bus_id]} and {what}; rename one")
                self.taken[bus_id] = what
            self.ids.append(ids)
        for index, net in enumerate(self.nets):
            if not self.ids[index]:
                self.ids[index] = self.fresh(net.id, net.width, self.split[index])

    def fresh(self, hint: str, width: int, split: bool) -> list[str]:
        """Free ids for a bus the builder adds ("$" + a number unless `hint`
        names it)."""
        bases: Iterator[str] = (
            (f"${k}" for k in self.anon) if hint == "$" else (hint if k == 1 else f"{hint}{k}" for k in count(1))
        )
        for base in bases:
            ids = [base] if width == 1 or not split else [f"{base}[{i}]" for i in range(width)]
            if not any(bus_id in self.taken for bus_id in ids):
                for bus_id in ids:
                    self.taken[bus_id] = f"bus '{bus_id}'"
                return ids
        raise AssertionError("unreachable")

    # ------------------------------------------------------------ expressions

    def word(self, node: Signal) -> LNode:
        key = (id(node), -1)
        done = self.memo.get(key)
        if done is not None:
            return done
        if isinstance(node, Const):
            result = self.nodes.const(node.bits)
        elif isinstance(node, Net):
            index = self.pos[id(node)]
            assert not self.split[index] or node.width == 1
            result = self.nodes.ref(self.ids[index][0], node.width)
        elif isinstance(node, Gate):
            result = self.nodes.gate(node.kind, self.word(node.left), self.word(node.right))
        elif isinstance(node, Not):
            result = self.nodes.not_(self.word(node.operand))
        else:
            raise AssertionError(f"{type(node).__name__} in a word-form expression")
        self.memo[key] = result
        return result

    def bit(self, node: Signal, i: int) -> LNode:
        key = (id(node), i)
        done = self.memo.get(key)
        if done is not None:
            return done
        if isinstance(node, Const):
            result = self.nodes.const(node.bits[i])
        elif isinstance(node, Net):
            index = self.pos[id(node)]
            assert self.split[index] or node.width == 1
            result = self.nodes.ref(self.ids[index][i], 1)
        elif isinstance(node, Gate):
            result = self.nodes.gate(node.kind, self.bit(node.left, i), self.bit(node.right, i))
        elif isinstance(node, Not):
            result = self.nodes.not_(self.bit(node.operand, i))
        elif isinstance(node, Vector):
            result = self.bit(node.items[i], 0)
        else:
            assert isinstance(node, Pick) and i == 0
            result = self.bit(node.source, node.index)
        self.memo[key] = result
        return result

    # ------------------------------------------------------------ the document

    def busses(self) -> list[tuple[str, str, LNode | None]]:
        """(id, initial value, expression) of every bus of the nets."""
        entries: list[tuple[str, str, LNode | None]] = []
        for index, net in enumerate(self.nets):
            ids = self.ids[index]
            if len(ids) == 1:
                root = None if net.driver is None else (self.bit(net.driver, 0) if net.width == 1 else self.word(net.driver))
                entries.append((ids[0], net.init, root))
            else:
                for i, bus_id in enumerate(ids):
                    entries.append((bus_id, net.init[i], None if net.driver is None else self.bit(net.driver, i)))
        return entries

    def share(self, entries: list[tuple[str, str, LNode | None]]) -> list[tuple[str, str, LNode | None]]:
        """Names the subexpressions that are read in several places: by the
        bus whose whole expression they are, or by a bus of their own when
        they have SHARE_SIZE gates or more. Returns the added busses."""
        order: list[LNode] = []  # every node after its operands
        seen: set[int] = set()
        for _, _, root in entries:
            if root is None or root.uid in seen:
                continue
            seen.add(root.uid)
            stack = [(root, iter(root.children()))]
            while stack:
                node, pending = stack[-1]
                for child in pending:
                    if child.uid not in seen:
                        seen.add(child.uid)
                        stack.append((child, iter(child.children())))
                        break
                else:
                    stack.pop()
                    order.append(node)
        for node in order:
            for child in node.children():
                child.uses += 1
        whole: dict[int, str] = {}
        for bus_id, _, root in entries:
            if root is not None and root.kind not in ("ref", "const"):
                whole.setdefault(root.uid, bus_id)
        added: list[tuple[str, str, LNode | None]] = []
        for node in order:
            if node.kind in ("ref", "const"):
                continue
            node.size = 1 + sum(0 if c.name is not None else c.size for c in node.children())
            if node.uses and node.uid in whole:
                node.name = whole[node.uid]
            elif node.uses >= 2 and node.size >= SHARE_SIZE:
                node.name = self.fresh("$", 1, False)[0]
                added.append((node.name, "0" * node.width, node))
        return added

    def expression(self, node: LNode, memo: dict[int, Expr], top: bool = False) -> Expr:
        if not top and node.name is not None:
            return ir.ref(node.name)
        done = memo.get(node.uid)
        if done is not None and not top:
            return done
        result: Expr
        if node.kind == "ref":
            target = self.resolve(node)
            result = ir.ref(target.text) if target.kind == "ref" else ir.const(target.text)
        elif node.kind == "const":
            result = ir.const(node.text)
        elif node.kind == "not":
            assert node.a is not None
            result = ir.gate("not", self.expression(node.a, memo))
        else:
            assert node.a is not None and node.b is not None and ir.is_gate_type(node.kind)
            result = ir.gate(node.kind, self.expression(node.a, memo), self.expression(node.b, memo))
        if not top:
            memo[node.uid] = result
        return result

    def resolve(self, node: LNode) -> LNode:
        """What a reference reads once the busses the builder added as plain
        copies (of another bus or of a constant) are looked through."""
        for _ in range(len(self.aliases) + 1):
            target = self.aliases.get(node.text) if node.kind == "ref" else None
            if target is None:
                break
            node = target
        return node

    def record_id(self, bus_id: str, width: int) -> str:
        """The bus a register record names for `bus_id`: what it copies, when
        that is a bus an assignment reads."""
        target = self.resolve(self.nodes.ref(bus_id, width))
        return target.text if target.kind == "ref" and target.text not in self.q_ids else bus_id

    def register_records(self) -> list[RegisterRecord]:
        records: list[RegisterRecord] = []
        for register, d_net, enable, async_reset in self.registers:
            q_ids, d_ids = self.ids[self.pos[id(register)]], self.ids[self.pos[id(d_net)]]
            assert len(q_ids) == len(d_ids)
            width = register.width if len(q_ids) == 1 else 1
            for i, (q, d) in enumerate(zip(q_ids, d_ids)):
                record: RegisterRecord = {"q": q, "d": self.record_id(d, width), "clock": register.clock.id, "edge": register.edge}
                if enable is not None:
                    record["enable"] = self.record_id(self.ids[self.pos[id(enable)]][0], 1)
                if async_reset is not None:
                    record["async_reset"] = self.record_id(self.ids[self.pos[id(async_reset)]][0], 1)
                    record["reset_value"] = register.init if len(q_ids) == 1 else register.init[i]
                records.append(record)
        return records

    def compile(self) -> Compiled:
        self.collect()
        self.classify()
        self.name()
        entries = self.busses()
        added = self.share(entries)
        named = {bus_id for index, net in enumerate(self.nets) if isinstance(net, Bus) for bus_id in self.ids[index]}
        self.q_ids = {bus_id for register in self.circuit._registers for bus_id in self.ids[self.pos[id(register)]]}
        self.aliases = {
            bus_id: root
            for bus_id, _, root in entries
            if bus_id not in named and root is not None and root.kind in ("ref", "const")
        }
        entries += added
        memo: dict[int, Expr] = {}
        built = {bus_id: (value, None if root is None else self.expression(root, memo, top=True)) for bus_id, value, root in entries}
        records = self.register_records()
        # The circuit's own busses, and the busses the builder added that are read.
        exprs: dict[str, tuple[str, Expr | None]] = {}
        pending = [bus_id for bus_id in built if bus_id in named]
        pending += [bus_id for record in records for bus_id in (record["d"], record.get("enable"), record.get("async_reset")) if bus_id]
        while pending:
            bus_id = pending.pop()
            if bus_id in exprs:
                continue
            exprs[bus_id] = built[bus_id]
            expr = built[bus_id][1]
            if expr is not None:
                pending += ir.referenced_ids(expr)
        exprs = {bus_id: built[bus_id] for bus_id in built if bus_id in exprs}
        driven = [bus_id for bus_id, (_, expr) in exprs.items() if expr is not None]

        def reads(bus_id: str) -> list[str]:
            expr = exprs[bus_id][1]
            return [] if expr is None else [s for s in ir.referenced_ids(expr) if exprs[s][1] is not None]

        order = [bus_id for bus_id, (_, expr) in exprs.items() if expr is None] + ir.dependency_order(driven, reads)
        ports: dict[str, Port] = {}
        widths: dict[str, int] = {}
        for name, (direction, busses) in self.circuit._ports.items():
            bits = [bus_id for bus in busses for bus_id in self.ids[self.pos[id(bus)]]]
            ports[name] = Port(name, direction, tuple(bits))
            widths[name] = sum(bus.width for bus in busses)
        port_records: dict[str, PortRecord] = {name: port.to_json() for name, port in ports.items()}
        document = ir.build_document(
            self.circuit.id,
            ((bus_id, exprs[bus_id][0], exprs[bus_id][1]) for bus_id in order),
            port_records,
            records or None,
        )
        return Compiled(document, ports, widths)


def compile_circuit(circuit: Circuit) -> Compiled:
    return _Compiler(circuit).compile()
