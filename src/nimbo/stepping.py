"""Stepping a simulator through settings and blocks of vector lines: what
``nimbo run`` and regressions share.

The simulator reads every line itself (Simulator.run_jsonl with ports):
names are ports, then the nets an import records, then busses (nimbo.nets),
values bit strings or numbers (see "Values" in docs/cli.md). Lines and
settings write only inputs: a name that is an output, logic or a
register's state is refused (nimbo.writes words it); state is set only by
pokes. What the simulator refuses it says as data (VectorError's kind, bus,
value and detail), and the messages here are worded from that: no line is
read twice.

Steps: step 0 is the state after the pokes and settings (one update, no
clock edge, then the asynchronous resets); each vector line is one step
(Simulator.step): for a design with registers one cycle of every clock,
otherwise one update.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple, Protocol

from .names import did_you_mean
from .ports import Port
from .text import clip, show_name, show_value
from .writes import not_an_input, not_state

if TYPE_CHECKING:
    from ._engine import Simulator, VectorError

Row = tuple[str, ...]
# How the simulator writes rows itself (Simulator.run_jsonl's layout): the
# first step, the step width, the fragments around the step number and the
# columns, and the columns' forms: (names, radix or None, pad) each.
Column = tuple[int, str | None, int]
TextLayout = tuple[int, int, list[str], list[Column]]
Warn = Callable[[str], None]
# Characters of a failed step's message shown: enough for the busses a
# circuit that did not settle kept changing, and their loop.
RUN_SHOWN = 1000


def _quiet(message: str) -> None:
    pass


class XInitial(NamedTuple):
    """What registers (and memories) without an initial value start as:
    mode 'zero', 'ones' or 'random' (bits drawn from `seed`; docs/ir.md has
    the rule). The keywords of Simulator() and Design."""

    mode: str = "zero"
    seed: int | None = None

    def simulator(self, ir: str) -> Simulator:
        from ._engine import Simulator

        return Simulator(ir, x_initial=self.mode, seed=self.seed)


X_INITIAL_MODES = ("zero", "ones", "random")


class StepError(Exception):
    """A setting or a vector that was refused or failed: `reason` at
    `place` (a line's number when `line` is not None)."""

    def __init__(self, place: str, reason: str, line: int | None = None):
        super().__init__(f"{place}: {reason}")
        self.place = place
        self.reason = reason
        self.line = line


class UnknownName(StepError):
    """A name that is neither a bus nor a port."""

    def __init__(self, place: str, reason: str, name: str, line: int | None = None):
        super().__init__(place, reason, line)
        self.name = name


class NetWritten(StepError):
    """A write to a net: a net is read, never written (a line or a setting
    writes the ports and busses of inputs)."""


class Blocks(Protocol):
    """Where steps come from: blocks of JSON Lines and their first line numbers."""

    next_line: int | None

    def __iter__(self) -> Iterator[tuple[bytes, int]]: ...

    def where(self, line: int) -> str: ...


class Names:
    """The names inputs and shown values may use: ports, then nets (the
    named vectors an import records), then busses; a name that is more than
    one is the first. A name that is none raises UnknownName, suggesting the
    closest names, or with `allow_unknown` is reported to `warn` once and
    left out."""

    def __init__(
        self,
        bus_ids: Sequence[str],
        ports: Mapping[str, Port],
        allow_unknown: bool,
        warn: Warn = _quiet,
        nets: Mapping[str, Sequence[str]] | None = None,
    ):
        self.bus_ids = bus_ids
        self.known = set(bus_ids)
        self.ports = dict(ports)
        self.nets = {name: tuple(bits) for name, bits in (nets or {}).items() if name not in self.ports}
        self.allow_unknown = allow_unknown
        self.warn = warn
        self._warned: set[str] = set()

    def __contains__(self, name: object) -> bool:
        return name in self.ports or name in self.nets or name in self.known

    def bits(self, name: str) -> tuple[str, ...]:
        """The busses of a name, least significant first."""
        port = self.ports.get(name)
        if port is not None:
            return port.bits
        return self.nets.get(name) or (name,)

    def kind(self, name: str) -> str:
        """What a name is in messages: 'port', 'net' or 'bus' (a port or net
        of the one bus of its name is that bus)."""
        if self.bits(name) == (name,):
            return "bus"
        return "port" if name in self.ports else "net" if name in self.nets else "bus"

    def unknown(self, place: str, name: str, line: int | None = None) -> None:
        """Reports `name`, which names nothing at `place`: raises, or warns once."""
        kind = ", ".join(k for k, there in (("port", self.ports), ("net", self.nets)) if there)
        kind = f"{kind} or bus" if kind else "bus"
        if self.allow_unknown:
            if name not in self._warned:
                self._warned.add(name)
                self.warn(f"{place}: no {kind} named {show_name(name)}; ignored")
            return
        hint = did_you_mean(name, list(dict.fromkeys([*self.ports, *self.nets, *self.bus_ids])), show_name)
        reason = f"no {kind} named {show_name(name)}{hint}; --allow-unknown skips names that are not there"
        raise UnknownName(place, reason, name, line)


def shown_names(bus_ids: Sequence[str], names: Names, requested: Sequence[str], busses: bool) -> tuple[str, ...]:
    """What a run shows: the ports of an IR that records them (every bus
    with `busses`), else every bus; with `requested`, the ports, nets or
    busses it names, in the order given, each item a name or names separated by commas."""
    if not requested:
        return tuple(names.ports) if names.ports and not busses else tuple(bus_ids)
    chosen: dict[str, None] = {}
    for item in requested:
        for name in [item] if item in names else item.split(","):
            if name in names:
                chosen[name] = None
            else:
                names.unknown("--show", name)
    return tuple(chosen)


class BlockFault(Exception):
    """A faulty vector: its error, and the rows (or the text of the rows) of
    the good vectors before it."""

    def __init__(self, error: StepError, rows: list[Row] | None = None, text: str = ""):
        super().__init__(str(error))
        self.error = error
        self.rows: list[Row] = rows or []
        self.text = text


def _shown_number(digits: str) -> str:
    """A JSON integer as a message shows it: as written, cut as values are."""
    return digits if len(digits) <= 40 else f"{digits[:40]}... ({len(digits)} digits)"


_INPUT_ROLE = 1  # Testbench.bus_roles: a bus without assignment that is no q


class Stepper:
    """Writes settings and blocks of vector lines to the simulator and reads
    the shown names back, a port as its busses' texts side by side.

    `line_keys` are the keys a line may hold besides names (a regression's
    "expect"), which a refusal of a name close to one of them suggests.
    With `note_bit_strings`, a value read as a bit string where a decimal
    number fits as well is warned about once per name (nimbo run; a
    regression's sets are files written for the simulator, not typed)."""

    def __init__(
        self,
        sim: Simulator,
        shown: tuple[str, ...],
        names: Names,
        threads: int = 2,
        line_keys: Sequence[str] = (),
        note_bit_strings: bool = True,
    ):
        self.note_bit_strings = note_bit_strings
        self.sim = sim
        self.shown = shown
        self.names = names
        self.threads = threads  # for the simulator's reader of a large block
        self.line_keys = tuple(line_keys)
        self.next_line = 1  # the line after the last block run
        # The names the simulator's reader takes besides bus ids, looked up
        # before them: the ports, then the nets shown (only those: the
        # reader resolves every name it is given on each call, and a design
        # may name thousands of nets). A line that writes a net names
        # nothing there, and is refused here (_stop_at_unknown).
        self.port_bits: dict[str, Sequence[str]] = {name: port.bits for name, port in names.ports.items()}
        for name in shown:
            if name in names.nets:
                self.port_bits.setdefault(name, names.nets[name])
        # Of those, the ones a line may write (with bus ids that are inputs).
        self.input_ports = frozenset(name for name, port in names.ports.items() if port.direction != "output")
        # The busses of each shown name (None: each is a bus, shown once),
        # and the busses row() reads (None: every bus).
        self._groups: list[tuple[str, ...]] | None = None
        self._read: list[str] | None = None
        if all(names.bits(name) == (name,) for name in shown) and len(set(shown)) == len(shown):
            if shown != tuple(sim.bus_ids):
                self._read = list(shown)
        else:
            self._groups = [names.bits(name) for name in shown]
            self._read = list(dict.fromkeys(bit for group in self._groups for bit in group))
        self._noted: set[str] = set()
        self._widths: dict[str, int] | None = None

    def clock_columns(self) -> tuple[list[int], list[str]]:
        """The shown columns that are clocks, and the clocks no column shows."""
        clocks = frozenset(self.sim.clocks)
        columns, covered = [], set()
        for index, bits in enumerate(self._groups or [(name,) for name in self.shown]):
            if len(bits) == 1 and bits[0] in clocks:
                columns.append(index)
                covered.add(bits[0])
        return columns, [clock for clock in self.sim.clocks if clock not in covered]

    def input_columns(self) -> list[int]:
        """The shown columns a step writes: those whose busses are all inputs
        (no assignment, no register's q, no clock)."""
        from ._engine import Testbench

        roles = dict(zip(self.sim.bus_ids, Testbench(self.sim).bus_roles()))
        clocks = frozenset(self.sim.clocks)
        groups = self._groups or [(name,) for name in self.shown]
        return [
            index for index, bits in enumerate(groups)
            if bits and all(roles.get(bit) == _INPUT_ROLE and bit not in clocks for bit in bits)
        ]  # fmt: skip

    def row(self) -> Row:
        """The shown values now."""
        values = self.sim.values(self._read)
        if self._groups is None:
            return tuple(values.values())
        return tuple("".join([values[bit] for bit in bits]) for bits in self._groups)

    # ------------------------------------------------------------ steps

    def start(
        self,
        settings: Mapping[str, str],
        place: str = "--set",
        pokes: Mapping[str, str] | None = None,
        poke_place: str = "--poke",
    ) -> None:
        """Step 0: the pokes (registers' state) and the settings (inputs) in
        one update without a clock edge, which applies the asynchronous
        resets. A failure of the update is step 0's, not an option's."""
        from ._engine import VectorError

        state = self._poked(pokes or {}, poke_place)
        given: dict[str, str | int] = {}
        for name, value in settings.items():
            if name in self.names.nets and name not in self.port_bits:
                raise self._net_written(place, name)
            if name in self.names:
                given[name] = value
            else:
                self.names.unknown(place, name)
        if not given and not state:
            return  # the simulator starts settled
        try:
            inputs = self.sim.read_inputs(given, ports=self.port_bits, input_ports=self.input_ports)
        except VectorError as exc:
            raise self.fault(exc, place) from None
        self._note_bit_strings(lambda line: place)
        try:
            self.sim.update({**state, **inputs})
        except (RuntimeError, UnicodeError) as exc:
            raise StepError("step 0", clip(str(exc), RUN_SHOWN)) from None

    def _poked(self, pokes: Mapping[str, str], place: str) -> dict[str, str]:
        """The bus values that set the registers' state `pokes` names; a name
        that holds a bus that is no register's q is refused."""
        from ._engine import VectorError

        given: dict[str, str | int] = {}
        for name, value in pokes.items():
            if name not in self.names:
                self.names.unknown(place, name)
                continue
            for bit in self.names.bits(name):
                role = self._role(bit)
                if role != "state":
                    raise StepError(place, not_state(self.names.kind(name), name, role))
            given[name] = value
        if not given:
            return {}
        nets = {name: self.names.nets[name] for name in given if name in self.names.nets}
        try:
            return self.sim.read_inputs(given, ports={**nets, **self.port_bits})
        except VectorError as exc:
            raise self.fault(exc, place) from None

    def line_writes(self, name: str, value: object) -> dict[str, str] | None:
        """The bus inputs a vector line's member writes, as the simulator
        reads it; None when the line would be refused there."""
        from ._engine import VectorError

        if not isinstance(value, (str, int)) or isinstance(value, bool) or name not in self.names:
            return None
        try:
            return self.sim.read_inputs({name: value}, ports=self.port_bits, input_ports=self.input_ports)
        except (VectorError, ValueError, TypeError):
            return None

    def _net_written(self, place: str, name: str, line: int | None = None) -> NetWritten:
        """The error of a write to the net `name`: what its first bus that is
        no input is (an output, when every bus is one)."""
        roles = (self._role(bit) for bit in self.names.nets[name])
        role = next((role for role in roles if role != "input"), "output")
        return NetWritten(place, not_an_input("net", name, role), line)

    def _role(self, bus_id: str) -> str:
        """What a bus is to a write: 'input', 'output', 'logic' or 'state'
        (the simulator's word for it)."""
        from ._engine import VectorError

        if self._widths is None:
            self._widths = dict(zip(self.sim.bus_ids, self.sim.widths()))
        try:
            self.sim.read_inputs({bus_id: "0" * self._widths[bus_id]}, ports={}, input_ports=())
        except VectorError as exc:
            if exc.kind == "input" and exc.detail is not None:
                return exc.detail
        return "input"  # a clock among them: refused by the step in its own words

    def run_block(self, block: bytes, first_line: int, where: Callable[[int], str]) -> list[Row]:
        """The shown values after each vector of the block. A faulty vector
        raises BlockFault with the rows of the good vectors before it;
        `where` names a line in messages."""
        from ._engine import VectorError

        try:
            rows, unknown = self.sim.run_jsonl(
                block, self.shown, first_line, threads=self.threads, ports=self.port_bits,
                input_ports=self.input_ports,
            )
        except VectorError as exc:
            self.next_line = first_line + block.count(b"\n")
            good = exc.results if isinstance(exc.results, list) else []
            error = self._refused(exc, where)
            if isinstance(error, (UnknownName, NetWritten)):
                good = good[: _vectors_before(block, first_line, error.line)]
            raise BlockFault(error, rows=good) from None
        # The simulator counted the lines it read (a last line without its
        # newline counts as well; no block follows it).
        self.next_line = self.sim.next_line
        self._note_bit_strings(where)
        stop = self._stop_at_unknown(unknown, where)
        if stop is not None:
            raise BlockFault(stop, rows=rows[: _vectors_before(block, first_line, stop.line)])
        return rows

    def run_block_text(self, block: bytes, first_line: int, layout: TextLayout, where: Callable[[int], str]) -> str:
        """The rows after each vector of the block as text in `layout`. A
        faulty vector raises BlockFault with the text of the good vectors."""
        from ._engine import VectorError

        self.next_line = first_line + block.count(b"\n")
        try:
            text, unknown = self.sim.run_jsonl(
                block, self.shown, first_line, layout=layout, threads=self.threads, ports=self.port_bits,
                input_ports=self.input_ports,
            )
        except VectorError as exc:
            good = exc.results if isinstance(exc.results, str) else ""
            error = self._refused(exc, where)
            if isinstance(error, (UnknownName, NetWritten)):
                good = _first_lines(good, _vectors_before(block, first_line, error.line))
            raise BlockFault(error, text=good) from None
        self._note_bit_strings(where)
        stop = self._stop_at_unknown(unknown, where)
        if stop is not None:
            raise BlockFault(stop, text=_first_lines(text, _vectors_before(block, first_line, stop.line)))
        return text

    # ------------------------------------------------------------ faults

    def _refused(self, exc: VectorError, where: Callable[[int], str]) -> StepError:
        """The error of a block the simulator refused at a vector: a name
        that names nothing on a line before it, else the vector's fault."""
        line = exc.line if exc.line is not None else 0  # run_jsonl names every vector's line
        before = [(number, name) for number, name in exc.unknown if number < line]
        self._note_bit_strings(where, before=line + 1)
        return self._stop_at_unknown(before, where) or self.fault(exc, where(line), line)

    def _stop_at_unknown(
        self, unknown: list[tuple[int, str]], where: Callable[[int], str]
    ) -> UnknownName | NetWritten | None:
        """The error of the first line that names nothing (or a net, which the
        simulator was not given); None when there is none or such names are
        only warned about."""
        for line, name in unknown:
            if name in self.names.nets:
                return self._net_written(where(line), name, line)
            try:
                self.names.unknown(where(line), name, line)
            except UnknownName as exc:
                return exc
        return None

    def fault(self, exc: VectorError, place: str, line: int | None = None) -> StepError:
        """The error for a vector the simulator refused or failed, worded
        from what it says of it."""
        name = exc.bus
        if exc.kind == "json":
            reason = clip(exc.reason)
        elif exc.kind == "object":
            reason = "expected an object of bus or port name to value"
        elif exc.kind == "type" and name is not None:
            hint = did_you_mean(name, self.line_keys) if name not in self.names else ""
            reason = f"the value of {show_name(name)} must be a string or a whole number{hint}"
        elif exc.kind == "value" and name is not None and exc.detail is not None:
            value = str(exc.value)
            shown = _shown_number(value) if exc.number else show_value(value)
            reason = f"{self._kind(name, exc.port)} {show_name(name)}: {shown} {clip(exc.detail)}"
        elif exc.kind == "input" and name is not None and exc.detail is not None:
            reason = not_an_input(self._kind(name, exc.port), name, exc.detail)
        elif name is None or exc.reason.startswith(f"bus '{name}'"):
            reason = clip(exc.reason, RUN_SHOWN)
        else:
            reason = f"bus {show_name(name)}: {clip(exc.reason)}"
        return StepError(place, reason, line)

    def _kind(self, name: str, port: bool) -> str:
        return self.names.kind(name) if port else "bus"

    def _note_bit_strings(self, where: Callable[[int], str], before: int | None = None) -> None:
        """Warns once per name about a value read as a bit string where a
        number may have been meant (Simulator.bit_strings)."""
        from ._engine import format_value

        if not self.note_bit_strings:
            return
        for line, name, value in self.sim.bit_strings:
            if name in self._noted or (before is not None and line >= before):
                continue
            self._noted.add(name)
            number = f": {format_value(value, 'hex')}" if len(value) <= 64 else ""
            kind = self.names.kind(name)
            self.names.warn(
                f"{where(line)}: {kind} {show_name(name)}: {show_value(value)} is read as a bit string, "
                f"element 0 (the least significant bit) first{number}; for the binary number write 0b{clip(value, 64)}"
            )


def _vectors_before(block: bytes, first_line: int, line: int | None) -> int:
    """The vectors (lines that are not blank, as the simulator's reader
    sees them) of the block before line number `line` (all of them for None)."""
    lines = block.split(b"\n")
    return sum(1 for raw in (lines if line is None else lines[: line - first_line]) if raw.strip(b" \t\r"))


def _first_lines(text: str, lines: int) -> str:
    end = 0
    for _ in range(lines):
        end = text.index("\n", end) + 1
    return text[:end]
