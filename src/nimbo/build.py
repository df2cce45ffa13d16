"""Building circuits in Python: signals, operators, named busses, ports, feedback.

A :class:`Circuit` collects busses; a :class:`Signal` is an expression over
them. Combine signals with ``&``, ``|``, ``^``, ``~`` and the gates
:func:`nand`, :func:`nor`, :func:`xnor`; give an expression a bus of its own
with :meth:`Circuit.wire` (or :meth:`Circuit.output`). ``to_ir()`` declares
the busses in dependency order and fills every influence list, so the
circuit takes the simulator's fast path; the inputs and outputs are recorded
as ports (see :mod:`nimbo.ports`)::

    from nimbo.build import Circuit

    c = Circuit("full_adder")
    a, b, cin = c.input("a"), c.input("b"), c.input("cin")
    p = c.wire("p", a ^ b)
    c.output("sum", p ^ cin)
    c.output("cout", (a & b) | (p & cin))
    ir_text = c.to_ir()

Operands must have the same width. An expression used in several places is
copied into each (the IR has no shared subexpressions), so name what is
reused, such as the carries of an adder. Feedback is declared explicitly:
:meth:`Circuit.feedback` makes a bus that can be read before
:meth:`Bus.drive` gives it its assignment.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from typing import Literal

from . import ir
from .ir import Direction, Document, Expr, GateType
from .ports import Port

SignalKind = Literal["const", "not", "ref"] | GateType


class BuildError(ValueError):
    """A circuit that cannot be built as asked (width mismatch, repeated name, ...)."""


def _check_bits(bits: str) -> str:
    if not bits or any(ch not in "01" for ch in bits):
        raise BuildError(f"'{bits}' is not a bit string of 0 and 1")
    return bits


class Signal:
    """An expression of a fixed width; combine with & | ^ ~ and the gate functions."""

    __slots__ = ("kind", "operands", "width", "bits")

    def __init__(self, kind: SignalKind, operands: tuple[Signal, ...], width: int, bits: str = ""):
        self.kind = kind
        self.operands = operands
        self.width = width
        self.bits = bits  # a constant's value

    def _binary(self, kind: GateType, other: Signal) -> Signal:
        if not isinstance(other, Signal):
            return NotImplemented
        if other.width != self.width:
            raise BuildError(f"{kind} of a {self.width}-bit and a {other.width}-bit signal")
        return Signal(kind, (self, other), self.width)

    def __and__(self, other: Signal) -> Signal:
        return self._binary("and", other)

    def __or__(self, other: Signal) -> Signal:
        return self._binary("or", other)

    def __xor__(self, other: Signal) -> Signal:
        return self._binary("xor", other)

    def __invert__(self) -> Signal:
        return Signal("not", (self,), self.width)

    def expr(self) -> Expr:
        """The IR expression of this signal."""
        kind = self.kind
        if kind == "const":
            return ir.const(self.bits)
        if kind == "not":
            return ir.gate("not", self.operands[0].expr())
        if kind == "ref":
            raise AssertionError("a reference is a Bus")
        left, right = self.operands
        return ir.gate(kind, left.expr(), right.expr())

    def busses(self) -> Iterable[Bus]:
        """The busses this expression reads."""
        stack: list[Signal] = [self]
        while stack:
            node = stack.pop()
            if isinstance(node, Bus):
                yield node
            else:
                stack.extend(node.operands)


class Bus(Signal):
    """A named bus of a circuit: an input, a wire, an output or a feedback bus."""

    __slots__ = ("id", "init", "driver", "circuit")

    def __init__(self, circuit: Circuit, bus_id: str, width: int, init: str):
        super().__init__("ref", (), width)
        self.circuit = circuit
        self.id = bus_id
        self.init = init
        self.driver: Signal | None = None

    def expr(self) -> Expr:
        return ir.ref(self.id)

    def drive(self, signal: Signal) -> Bus:
        """Gives this bus its assignment (once); returns the bus."""
        if self.driver is not None:
            raise BuildError(f"bus '{self.id}' is already driven")
        if self.id in self.circuit._inputs:
            raise BuildError(f"bus '{self.id}' is an input")
        if signal.width != self.width:
            raise BuildError(f"bus '{self.id}' has {self.width} bits, its driver {signal.width}")
        for source in signal.busses():
            if source.circuit is not self.circuit:
                raise BuildError(f"bus '{source.id}' belongs to another circuit")
        self.driver = signal
        return self

    def __repr__(self) -> str:
        return f"Bus({self.id!r}, width={self.width})"


def const(bits: str) -> Signal:
    """A constant; element 0 is the first character."""
    return Signal("const", (), len(_check_bits(bits)), bits)


def nand(a: Signal, b: Signal) -> Signal:
    return a._binary("nand", b)


def nor(a: Signal, b: Signal) -> Signal:
    return a._binary("nor", b)


def xnor(a: Signal, b: Signal) -> Signal:
    return a._binary("xnor", b)


class Circuit:
    """A circuit under construction; ``to_ir()`` gives its IR text."""

    def __init__(self, component_id: str):
        self.id = component_id
        self._busses: dict[str, Bus] = {}
        self._inputs: set[str] = set()
        self._ports: dict[str, Port] = {}

    def _new(self, bus_id: str, width: int, init: str | None) -> Bus:
        if bus_id in self._busses:
            raise BuildError(f"bus '{bus_id}' already exists")
        if width < 1:
            raise BuildError(f"bus '{bus_id}' needs at least 1 bit")
        value = "0" * width if init is None else _check_bits(init)
        if len(value) != width:
            raise BuildError(f"bus '{bus_id}' has {width} bits, its initial value {len(value)}")
        bus = Bus(self, bus_id, width, value)
        self._busses[bus_id] = bus
        return bus

    def _port(self, name: str, direction: Direction, busses: list[Bus]) -> None:
        if name in self._ports:
            raise BuildError(f"port '{name}' already exists")
        self._ports[name] = Port(name, direction, tuple(b.id for b in busses))

    def input(self, bus_id: str, width: int = 1, init: str | None = None) -> Bus:
        """An input bus of `width` bits, recorded as a port."""
        bus = self._new(bus_id, width, init)
        self._inputs.add(bus_id)
        self._port(bus_id, "input", [bus])
        return bus

    def inputs(self, name: str, count: int) -> list[Bus]:
        """`count` 1-bit input busses name[0] .. name[count-1], recorded as one
        port (element 0 of its value is name[0])."""
        bits = [self._new(f"{name}[{i}]", 1, None) for i in range(count)]
        self._inputs.update(b.id for b in bits)
        self._port(name, "input", bits)
        return bits

    def wire(self, bus_id: str, signal: Signal, init: str | None = None) -> Bus:
        """A bus driven by `signal`."""
        return self._new(bus_id, signal.width, init).drive(signal)

    def output(self, bus_id: str, signal: Signal, init: str | None = None) -> Bus:
        """A bus driven by `signal`, recorded as an output port."""
        bus = self.wire(bus_id, signal, init)
        self._port(bus_id, "output", [bus])
        return bus

    def outputs(self, name: str, signals: Sequence[Signal]) -> list[Bus]:
        """1-bit output busses name[0] .. name[n-1], recorded as one port."""
        busses = [self.wire(f"{name}[{i}]", s) for i, s in enumerate(signals)]
        self._port(name, "output", busses)
        return busses

    def feedback(self, bus_id: str, width: int = 1, init: str | None = None) -> Bus:
        """A bus that can be read before it is driven; drive it with ``.drive(signal)``."""
        return self._new(bus_id, width, init)

    def __getitem__(self, bus_id: str) -> Bus:
        return self._busses[bus_id]

    # ------------------------------------------------------------ output

    def _order(self) -> list[Bus]:
        """Inputs first, then every driven bus after the busses it reads
        (a feedback loop is entered at the bus declared first)."""
        order = ir.dependency_order(
            self._busses.values(), lambda b: reversed(list(b.driver.busses())) if b.driver else ()
        )
        inputs = [b for b in order if b.id in self._inputs]
        return inputs + [b for b in order if b.id not in self._inputs]

    def ports(self) -> dict[str, Port]:
        return dict(self._ports)

    def to_document(self) -> Document:
        return ir.build_document(
            self.id,
            ((bus.id, bus.init, bus.driver.expr() if bus.driver is not None else None) for bus in self._order()),
            {name: port.to_json() for name, port in self._ports.items()},
        )

    def to_ir(self) -> str:
        """The IR text of the circuit."""
        return json.dumps(self.to_document(), ensure_ascii=False)


# ---------------------------------------------------------------- idioms on 1-bit busses


def full_adder(a: Signal, b: Signal, carry: Signal) -> tuple[Signal, Signal]:
    """(sum, carry out) of three equal-width signals."""
    p = a ^ b
    return p ^ carry, (a & b) | (p & carry)


def ripple_add(
    circuit: Circuit, name: str, a: Sequence[Signal], b: Sequence[Signal], carry_in: Signal | None = None
) -> tuple[list[Bus], Bus]:
    """Adds two equal-length lists of 1-bit signals (element 0 least
    significant). Sum bits become busses name[i], carries name_c[i]; returns
    (sum busses, carry out)."""
    if len(a) != len(b) or not a:
        raise BuildError(f"ripple_add needs two lists of the same nonzero length, got {len(a)} and {len(b)}")
    carry: Signal = const("0") if carry_in is None else carry_in
    sums: list[Bus] = []
    for i, (x, y) in enumerate(zip(a, b)):
        s, c = full_adder(x, y, carry)
        sums.append(circuit.wire(f"{name}[{i}]", s))
        carry = circuit.wire(f"{name}_c[{i}]", c)
    assert isinstance(carry, Bus)
    return sums, carry


def equal(a: Sequence[Signal], b: Sequence[Signal]) -> Signal:
    """1 when the two lists of 1-bit signals are equal (a balanced AND of XNORs)."""
    if len(a) != len(b) or not a:
        raise BuildError(f"equal needs two lists of the same nonzero length, got {len(a)} and {len(b)}")
    terms: list[Signal] = [xnor(x, y) for x, y in zip(a, b)]
    while len(terms) > 1:
        terms = [terms[i] & terms[i + 1] for i in range(0, len(terms) - 1, 2)] + terms[len(terms) - len(terms) % 2 :]
    return terms[0]


def mux(select: Signal, when_0: Signal, when_1: Signal) -> Signal:
    """Bitwise select: when_1 where `select` is 1, when_0 where it is 0 (all one width)."""
    return (when_0 & ~select) | (when_1 & select)
