"""The circuit under construction: its named busses, registers and ports."""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Literal

from ..ir import Direction, Document, Edge
from ..ports import Port
from .signals import (
    BuildError,
    Gate,
    Net,
    Not,
    Operand,
    Pick,
    Signal,
    Vector,
    check_bits,
    coerce,
    int_bits,
)

if TYPE_CHECKING:
    from .lower import Compiled

Role = Literal["input", "wire", "feedback", "register"]
EDGES: tuple[Edge, ...] = ("posedge", "negedge")


def _leaf_busses(signal: Signal) -> Iterator[Bus]:
    """The named busses an expression reads directly (not through other nets)."""
    seen: set[int] = set()
    stack = [signal]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        if isinstance(node, Bus):
            yield node
        elif isinstance(node, Gate):
            stack += (node.left, node.right)
        elif isinstance(node, Not):
            stack.append(node.operand)
        elif isinstance(node, Vector):
            stack.extend(node.items)
        elif isinstance(node, Pick):
            stack.append(node.source)


def _plural(count: int) -> str:
    return f"{count} bit" if count == 1 else f"{count} bits"


class Bus(Net):
    """A named bus of a circuit: an input, a wire, an output, a feedback bus or
    a register."""

    __slots__ = ("role",)

    def __init__(self, circuit: Circuit, bus_id: str, width: int, init: str, role: Role):
        super().__init__(width, bus_id, init, circuit)
        self.role: Role = role

    def _own(self, signal: Signal, what: str) -> None:
        for source in _leaf_busses(signal):
            if source.circuit is not self.circuit:
                raise BuildError(f"{what} reads bus '{source.id}', which belongs to another circuit")

    def drive(self, signal: Operand) -> Bus:
        """Gives this bus its assignment (once); returns the bus."""
        if self.driver is not None:
            raise BuildError(f"bus '{self.id}' is already driven")
        if self.role == "input":
            raise BuildError(f"bus '{self.id}' is an input")
        if self.role == "register":
            raise BuildError(f"bus '{self.id}' is a register: set {self.id}.next instead")
        value = coerce(signal, self.width, f"driving bus '{self.id}'")
        if value.width != self.width:
            raise BuildError(f"bus '{self.id}' has {self.width} bits, its driver {value.width}")
        self._own(value, f"bus '{self.id}'")
        self.driver = value
        assert self.circuit is not None
        self.circuit._changed()
        return self

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.id!r}, width={self.width})"


class Register(Bus):
    """A register: reading it gives its output Q; ``reg.next = value`` sets
    what it takes at each active clock edge."""

    __slots__ = ("clock", "edge", "enable", "reset", "async_reset", "_next")

    def __init__(
        self,
        circuit: Circuit,
        bus_id: str,
        width: int,
        init: str,
        clock: Bus,
        edge: Edge,
        enable: Signal | None,
        reset: Signal | None,
        async_reset: Signal | None,
    ):
        super().__init__(circuit, bus_id, width, init, "register")
        self.clock = clock
        self.edge: Edge = edge
        self.enable = enable
        self.reset = reset
        self.async_reset = async_reset
        self._next: Signal | None = None

    @property
    def next(self) -> Signal | None:
        """The value the register takes at its clock edge (None until set)."""
        return self._next

    @next.setter
    def next(self, value: Operand) -> None:
        if self._next is not None:
            raise BuildError(f"{self.id}.next is already set")
        signal = coerce(value, self.width, f"{self.id}.next")
        if signal.width != self.width:
            raise BuildError(f"{self.id}.next: the register has {_plural(self.width)}, the value {signal.width}")
        self._own(signal, f"{self.id}.next")
        self._next = signal
        assert self.circuit is not None
        self.circuit._changed()


class Circuit:
    """A circuit under construction; ``to_ir()`` gives its IR text."""

    def __init__(self, component_id: str):
        self.id = component_id
        self._busses: dict[str, Bus] = {}
        self._ports: dict[str, tuple[Direction, list[Bus]]] = {}
        self._registers: list[Register] = []
        self._version = 0
        self._compiled: tuple[int, Compiled] | None = None

    def _changed(self) -> None:
        self._version += 1

    def _init(self, bus_id: str, width: int, init: int | str | None) -> str:
        if init is None:
            return "0" * width
        if isinstance(init, str):
            value = check_bits(init)
        elif isinstance(init, int):
            value = int_bits(init, width, f"initial value of bus '{bus_id}'")
        else:
            raise BuildError(f"bus '{bus_id}': an initial value is an int or a bit string")
        if len(value) != width:
            raise BuildError(f"bus '{bus_id}' has {width} bits, its initial value {len(value)}")
        return value

    def _new(self, bus_id: str, width: int, init: int | str | None, role: Role) -> Bus:
        if not isinstance(bus_id, str) or not bus_id:
            raise BuildError(f"a bus name is a nonempty str, not {bus_id!r}")
        if bus_id in self._busses:
            raise BuildError(f"bus '{bus_id}' already exists")
        if not isinstance(width, int) or width < 1:
            raise BuildError(f"bus '{bus_id}' needs at least 1 bit")
        bus = Bus(self, bus_id, width, self._init(bus_id, width, init), role)
        self._add(bus)
        return bus

    def _add(self, bus: Bus) -> None:
        self._busses[bus.id] = bus
        self._changed()

    def _port(self, name: str, direction: Direction, busses: list[Bus]) -> None:
        if name in self._ports:
            raise BuildError(f"port '{name}' already exists")
        self._ports[name] = (direction, busses)
        self._changed()

    def input(self, bus_id: str, width: int = 1, init: int | str | None = None) -> Bus:
        """An input bus of `width` bits, recorded as a port."""
        if bus_id in self._ports and bus_id not in self._busses:
            raise BuildError(f"port '{bus_id}' already exists")
        bus = self._new(bus_id, width, init, "input")
        self._port(bus_id, "input", [bus])
        return bus

    def inputs(self, name: str, count: int) -> list[Bus]:
        """`count` 1-bit input busses name[0] .. name[count-1], recorded as one
        port (element 0 of its value is name[0])."""
        if name in self._ports:
            raise BuildError(f"port '{name}' already exists")
        bits = [self._new(f"{name}[{i}]", 1, None, "input") for i in range(count)]
        self._port(name, "input", bits)
        return bits

    def wire(self, bus_id: str, signal: Operand, init: int | str | None = None) -> Bus:
        """A bus driven by `signal`."""
        if not isinstance(signal, Signal):
            raise BuildError(f"bus '{bus_id}': a wire needs a signal (const(value, width) makes one)")
        return self._new(bus_id, signal.width, init, "wire").drive(signal)

    def output(self, bus_id: str, signal: Operand, init: int | str | None = None) -> Bus:
        """A bus driven by `signal`, recorded as an output port."""
        if bus_id in self._ports and bus_id not in self._busses:
            raise BuildError(f"port '{bus_id}' already exists")
        bus = self.wire(bus_id, signal, init)
        self._port(bus_id, "output", [bus])
        return bus

    def outputs(self, name: str, signals: Sequence[Signal]) -> list[Bus]:
        """Output busses name[0] .. name[n-1], recorded as one port."""
        if name in self._ports:
            raise BuildError(f"port '{name}' already exists")
        busses = [self.wire(f"{name}[{i}]", s) for i, s in enumerate(signals)]
        self._port(name, "output", busses)
        return busses

    def feedback(self, bus_id: str, width: int = 1, init: int | str | None = None) -> Bus:
        """A bus that can be read before it is driven; drive it with ``.drive(signal)``."""
        return self._new(bus_id, width, init, "feedback")

    def register(
        self,
        name: str,
        width: int = 1,
        *,
        clock: str | Bus = "clk",
        d: Operand | None = None,
        edge: Edge = "posedge",
        enable: Signal | None = None,
        reset: Signal | None = None,
        async_reset: Signal | None = None,
        init: int | str = 0,
    ) -> Register:
        """A register of `width` bits named `name`; read it as a signal (its
        Q) and set ``reg.next`` (or `d`) to what it takes at each `edge` of
        `clock`. `clock` is a 1-bit input; given by name, the input is made
        when the circuit has none. `enable` (active high): the register keeps
        its value while it is 0. `reset` (synchronous, active high): the
        register takes `init` at the edge, whatever `enable` is.
        `async_reset` (active high): the register holds `init` while it is 1.
        `init` is also the value it starts with."""
        if not isinstance(name, str) or not name:
            raise BuildError(f"a bus name is a nonempty str, not {name!r}")
        if name in self._busses:
            raise BuildError(f"bus '{name}' already exists")
        if not isinstance(width, int) or width < 1:
            raise BuildError(f"register '{name}' needs at least 1 bit")
        if edge not in EDGES:
            raise BuildError(f"register '{name}': edge is 'posedge' or 'negedge', not {edge!r}")
        if isinstance(clock, str) and clock == name:
            raise BuildError(f"register '{name}' cannot be its own clock")
        value = self._init(name, width, init)
        controls = [self._control(name, what, signal) for what, signal in (("enable", enable), ("reset", reset), ("async_reset", async_reset))]
        clock_bus = self._clock(name, clock)
        register = Register(self, name, width, value, clock_bus, edge, *controls)
        self._add(register)
        self._registers.append(register)
        if d is not None:
            register.next = d
        return register

    def _clock(self, name: str, clock: str | Bus) -> Bus:
        if isinstance(clock, str):
            existing = self._busses.get(clock)
            if existing is None:
                return self.input(clock)
            clock = existing
        if not isinstance(clock, Bus) or clock.circuit is not self or clock.role != "input" or clock.width != 1:
            raise BuildError(
                f"register '{name}': the clock must be a 1-bit input of this circuit "
                "(logic cannot drive a clock; to gate a register, give it enable=)"
            )
        return clock

    def _control(self, name: str, what: str, signal: Signal | None) -> Signal | None:
        if signal is None:
            return None
        if not isinstance(signal, Signal) or signal.width != 1:
            got = f"{_plural(signal.width)}" if isinstance(signal, Signal) else type(signal).__name__
            raise BuildError(f"register '{name}': {what} must be a 1-bit signal, got {got}")
        for source in _leaf_busses(signal):
            if source.circuit is not self:
                raise BuildError(f"register '{name}': {what} reads bus '{source.id}', which belongs to another circuit")
        return signal

    def __getitem__(self, bus_id: str) -> Bus:
        return self._busses[bus_id]

    # ------------------------------------------------------------ output

    def compiled(self) -> Compiled:
        """The circuit as IR (cached until the circuit changes)."""
        from .lower import compile_circuit

        if self._compiled is None or self._compiled[0] != self._version:
            self._compiled = (self._version, compile_circuit(self))
        return self._compiled[1]

    def ports(self) -> dict[str, Port]:
        """The ports as the IR records them (a multi-bit bus may be written as
        1-bit busses; see ``nimbo.build``)."""
        return dict(self.compiled().ports)

    def to_document(self) -> Document:
        copy: Document = json.loads(json.dumps(self.compiled().document))  # one the caller may change
        return copy

    def to_ir(self) -> str:
        """The IR text of the circuit."""
        return json.dumps(self.compiled().document, ensure_ascii=False)

    def bus_inputs(self, values: Mapping[str, int | str]) -> dict[str, str]:
        """Bus inputs for ``update_signals`` from input port values: ints
        (negative ones in two's complement) or bit strings, element 0 first."""
        compiled = self.compiled()
        out: dict[str, str] = {}
        for name, value in values.items():
            port = compiled.ports.get(name)
            if port is None or port.direction != "input":
                raise BuildError(f"circuit '{self.id}' has no input port '{name}'")
            width = compiled.widths[name]
            if isinstance(value, str):
                bits = check_bits(value)
                if len(bits) != width:
                    raise BuildError(f"port '{name}' has {_plural(width)}, the value {len(bits)}")
            elif isinstance(value, int):
                bits = int_bits(value, width, f"port '{name}'")
            else:
                raise BuildError(f"port '{name}': a value is an int or a bit string, not {type(value).__name__}")
            out.update(port.split(bits))
        return out

    def port_numbers(self, values: Mapping[str, str]) -> dict[str, int]:
        """Every port's value as an unsigned int, from bus values (as
        ``get_values`` gives them)."""
        return {name: int(port.join(values)[::-1], 2) for name, port in self.compiled().ports.items()}
