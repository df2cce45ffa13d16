"""`nimbo run`: render a circuit, apply inputs and print its busses or ports.

The circuit is rendered once, natively, through nimbo.Simulator; the
vectors file is read in blocks of whole lines that the simulator parses and
applies itself, and each block's rows are formatted at once. A block in
which a line names a port, or writes a value as a number, is read here.

Steps: step 0 is the state after --set; each vector line, and each of the
--cycles, is one step (Simulator.step): for a design with registers one
cycle of every clock, otherwise one update.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import AbstractContextManager, ExitStack
from itertools import count
from operator import itemgetter
from typing import TYPE_CHECKING, Never, Protocol, TextIO

from ..resets import AsyncResets
from ..names import did_you_mean
from ..ports import Port, plural, ports_from_text
from .errors import EXIT_OK, EXIT_USAGE, CliError, Parser, flush, output_error, warn
from .files import (
    OutputFile,
    OutputFileError,
    VectorBlocks,
    line_of,
    lines_from,
    parse_vector,
    progress_wanted,
    read_text,
    refuse_inputs,
    simulator,
)
from .text import clip, is_bit_string, show_id, show_name, show_value

if TYPE_CHECKING:
    from tqdm import tqdm

    from .. import Simulator, VectorError

Row = tuple[str, ...]
# How the simulator writes rows itself: (first step, step width, fragments
# around the step number and the columns), and with the forms of the
# columns: (busses, radix or None for bits as they are, pad) each.
Layout = tuple[int, int, list[str]]
Column = tuple[int, str | None, int]
TextLayout = tuple[int, int, list[str], list[Column]]
RADIXES = ("hex", "bin", "dec")

# ---------------------------------------------------------------- output


def format_table(values: Mapping[str, str]) -> Iterator[str]:
    names = [show_id(bus_id) for bus_id in values]
    width = max([len("bus")] + [len(name) for name in names])
    yield f"{'bus':<{width}}  value"
    for name, bits in zip(names, values.values()):
        yield f"{name:<{width}}  {bits}"


class RowLayout:
    """How a printed row is laid out: fragments[0], the step number
    right-aligned to step_width characters, fragments[1], then each column
    followed by the next fragment. The one description of a row: the
    simulator's row writer takes it as it is (Simulator.run_jsonl's layout),
    and rows() writes the rows read here from it."""

    def __init__(self, step_width: int, fragments: list[str]):
        self.step_width = step_width
        self.fragments = fragments
        escaped = [fragment.replace("%", "%%") for fragment in fragments]
        self._head = escaped[0] + (f"%{step_width}d" if step_width else "%d") + escaped[1]
        self._format = self._head + "".join("%s" + fragment for fragment in escaped[2:])
        # Columns all separated alike are joined instead of formatted one by one.
        middle = fragments[2:-1]
        self._separator = middle[0] if middle and all(f == middle[0] for f in middle) else None

    def layout(self, first_step: int) -> Layout:
        return first_step, self.step_width, self.fragments

    def rows(self, first_step: int, rows: Sequence[Row]) -> str:
        if self._separator is not None:
            head, join, tail = self._head, self._separator.join, self.fragments[-1]
            return "".join([head % step + join(row) + tail for step, row in zip(count(first_step), rows)])
        form = self._format
        return "".join([form % ((step,) + row) for step, row in zip(count(first_step), rows)])


class StepTable:
    """One row per step, one column per bus, columns as wide as the first
    step needs."""

    STEP_WIDTH = 6

    def __init__(self, bus_ids: Sequence[str], first: Row):
        names = [show_id(bus_id) for bus_id in bus_ids]
        widths = [max(len(name), len(value)) for name, value in zip(names, first)]
        cells = [f"{'step':>{self.STEP_WIDTH}}"] + [f"{name:<{w}}" for name, w in zip(names, widths)]
        self.header = "  ".join(cells).rstrip()
        # A bus keeps its width from step 0 on, so each column's padding is
        # fixed: the rows are the values joined by fixed separators, with
        # nothing after the last column.
        between = [" " * (w - len(value)) + "  " for w, value in zip(widths, first)][:-1]
        self._rows = RowLayout(self.STEP_WIDTH, ["", "  ", *between, "\n"] if widths else ["", "\n"])
        self._strip = any(not value for value in first)

    def layout(self, first_step: int) -> Layout | None:
        """The same rows as the simulator writes them; None when lines need stripping."""
        return None if self._strip else self._rows.layout(first_step)

    def rows(self, first_step: int, rows: Sequence[Row]) -> str:
        text = self._rows.rows(first_step, rows)
        if self._strip:
            return "".join(line.rstrip() + "\n" for line in text.splitlines())
        return text


class JsonSteps:
    """One JSON object per step: {"step": k, "values": {id: bits, ...}}."""

    def __init__(self, bus_ids: Sequence[str]):
        # Bit strings need no escaping; the ids are encoded once.
        keys = [json.dumps(bus_id) for bus_id in bus_ids]
        if keys:
            fragments = ['{"step": ', ', "values": {' + keys[0] + ': "']
            fragments += ['", ' + key + ': "' for key in keys[1:]] + ['"}}\n']
        else:
            fragments = ['{"step": ', ', "values": {}}\n']
        self._rows = RowLayout(0, fragments)

    def layout(self, first_step: int) -> Layout:
        return self._rows.layout(first_step)

    def rows(self, first_step: int, rows: Sequence[Row]) -> str:
        return self._rows.rows(first_step, rows)


class Output:
    """Standard output; a failure to write becomes one error line."""

    def __init__(self, stream: TextIO):
        self.stream = stream

    def write(self, text: str) -> None:
        try:
            self.stream.write(text)
        except OSError as exc:
            raise output_error(exc) from None

    def line(self, text: str) -> None:
        self.write(text + "\n")

    def flush(self) -> None:
        flush(self.stream)


class _NoProgress:
    def __enter__(self) -> _NoProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def update(self, n: int) -> None:
        pass


class ValueText:
    """How values are shown: a value of one bit (or none) as it is, a wider
    one as a number in the radix chosen (nimbo._engine.format_value: 0x52e6,
    0b0101, 21222). With `pad`, decimal numbers are right-aligned to the
    digits of the largest number of their width, so that a table column keeps
    its width."""

    def __init__(self, radix: str, first: Row, pad: bool):
        from .._engine import format_value

        self._format = format_value
        self.radix = radix
        # Per column: None for values shown as they are, else the width a
        # number is padded to (0: not padded).
        self._pads: list[int | None] = [
            None if len(v) <= 1 else _digits(len(v)) if pad and radix == "dec" else 0 for v in first
        ]

    def columns(self, bit_counts: Sequence[int]) -> list[Column]:
        """The forms of the columns for the simulator's text rows, each
        column joining `bit_counts[i]` shown busses."""
        return [(count, None, 0) if pad is None else (count, self.radix, pad) for count, pad in zip(bit_counts, self._pads)]

    @property
    def plain(self) -> bool:
        """True when every value is shown as it is (no column holds a number)."""
        return all(pad is None for pad in self._pads)

    def value(self, bits: str) -> str:
        return bits if len(bits) <= 1 else self._format(bits, self.radix)

    def rows(self, rows: Iterable[Row]) -> list[Row]:
        pads, form, radix = self._pads, self._format, self.radix
        if self.plain:
            return list(rows)
        if all(pad == 0 for pad in pads):
            return [tuple([form(cell, radix) for cell in row]) for row in rows]
        return [
            tuple([cell if pad is None else form(cell, radix).rjust(pad) for pad, cell in zip(pads, row)])
            for row in rows
        ]


def _digits(width: int) -> int:
    """The decimal digits of 2**width - 1 (never a power of ten)."""
    return int(width * math.log10(2)) + 1


def _progress(total: int | None, show: bool) -> AbstractContextManager[_NoProgress | tqdm[Never]]:
    """A bar counting vectors (lines of the vectors file, then cycles),
    drawn once the run has taken a second."""
    if not show:
        return _NoProgress()
    from tqdm import tqdm

    return tqdm(total=total, unit=" vectors", desc="vectors", file=sys.stderr, delay=1.0, leave=False)


# ---------------------------------------------------------------- inputs


def recorded_ports(path: str, text: str, bus_ids: Sequence[str]) -> dict[str, Port]:
    """The ports the IR records beside its busses (`component.ports`; a
    "ports" key anywhere else is not the circuit's), each naming busses the
    circuit has."""
    try:
        ports = ports_from_text(text)
    except (ValueError, RecursionError) as exc:  # PortError is a ValueError
        raise CliError(f"{path}: {clip(str(exc))}") from None
    known = set(bus_ids)
    for port in ports.values():
        for bit in port.bits:
            if bit not in known:
                raise CliError(f"{path}: port {show_name(port.name)} names the bus {show_name(bit)}, which the circuit lacks")
    return ports


class Names:
    """The names inputs and --show may use: busses, and ports. A name that is
    neither is an error that suggests the closest names, or with
    --allow-unknown a warning (once per name) after which it is left out."""

    def __init__(self, bus_ids: Sequence[str], ports: Mapping[str, Port], allow_unknown: bool):
        self.bus_ids = bus_ids
        self.known = set(bus_ids)
        self.ports = ports
        self.allow_unknown = allow_unknown
        self._warned: set[str] = set()

    def __contains__(self, name: object) -> bool:
        return name in self.known or name in self.ports

    def unknown(self, where: str, name: str) -> None:
        """Reports `name`, which names nothing: raises, or warns once."""
        kind = "port or bus" if self.ports else "bus"
        if self.allow_unknown:
            if name not in self._warned:
                self._warned.add(name)
                warn(f"{where}: no {kind} named {show_name(name)}; ignored")
            return
        hint = did_you_mean(name, list(dict.fromkeys([*self.ports, *self.bus_ids])), show_name)
        raise CliError(
            f"{where}: no {kind} named {show_name(name)}{hint}; --allow-unknown skips names that are not there"
        )


def shown_names(sim: Simulator, names: Names, requested: Sequence[str], busses: bool) -> tuple[str, ...]:
    """What the run shows: the ports of an IR that records them (every bus
    with `busses`), else every bus; with --show, the ports or busses it
    names, in the order given. Each option is a name, or names separated by
    commas."""
    if not requested:
        return tuple(names.ports) if names.ports and not busses else sim.bus_ids
    chosen: dict[str, None] = {}
    for item in requested:
        for name in [item] if item in names else item.split(","):
            if name in names:
                chosen[name] = None
            else:
                names.unknown("--show", name)
    return tuple(chosen)


def parse_assignment(text: str) -> tuple[str, str]:
    bus_id, sep, value = text.rpartition("=")
    if not sep or not bus_id:
        raise CliError(f"--set expects ID=VALUE, got {show_value(text)}", EXIT_USAGE)
    return bus_id, value


class Stepper:
    """Writes inputs to the simulator and reads the shown busses back.

    Blocks of vector lines go to the simulator as they are, which reads the
    ports and numbers they write as `_inputs` does, and a shown port as its
    bits side by side. From a line that writes an integer too long for the
    simulator's reader on, the rest of the file is read here
    (`python_only`). Errors are worded here, by reading the faulty line as
    `_inputs` reads it."""

    def __init__(self, sim: Simulator, shown: tuple[str, ...], names: Names):
        self.sim = sim
        self.shown = shown
        self.names = names
        self.ports = dict(names.ports)
        self.clocks = frozenset(sim.clocks)
        self.python_only = False
        from .._engine import parse_value

        self._parse = parse_value
        self.next_line = 1  # the line after the last block run
        self._widths: dict[str, int] | None = None
        self._joined = any(name in self.ports for name in shown)
        # The ports the simulator's reader takes (a name that is also a bus's is the bus).
        self._port_bits: dict[str, Sequence[str]] = {
            name: port.bits for name, port in self.ports.items() if name not in names.known
        }
        # The busses read: each shown bus, and the bits of each shown port.
        self._ids: list[str] | None = None if shown == sim.bus_ids else list(shown)
        self._text_ids = self._ids  # the same with every bit where the simulator writes it
        self._bit_counts: list[int] | None = None
        self._pickers: list[Callable[[Row], str]] = []
        if self._joined:
            groups = [self.ports[name].bits if name in self.ports else (name,) for name in shown]
            self._ids = list(dict.fromkeys(bit for group in groups for bit in group))
            self._text_ids = [bit for group in groups for bit in group]
            self._bit_counts = [len(group) for group in groups]
            index = {bit: i for i, bit in enumerate(self._ids)}
            self._pickers = [_picker([index[bit] for bit in group]) for group in groups]

    @property
    def bit_counts(self) -> list[int]:
        """The busses the simulator reads for each shown column."""
        return self._bit_counts if self._bit_counts is not None else [1] * len(self.shown)

    threads = 2  # for the simulator's reader of a large block

    @property
    def port_bits(self) -> dict[str, Sequence[str]]:
        """The ports lines may name, as the simulator's reader takes them."""
        return self._port_bits

    @property
    def read_ids(self) -> list[str] | None:
        """The busses read for the shown values (None: every bus)."""
        return self._ids

    def join_rows(self, rows: list[Row]) -> list[Row]:
        """Rows of the read busses as rows of the shown values."""
        return self._join(rows)

    def widths(self) -> dict[str, int]:
        if self._widths is None:
            self._widths = dict(zip(self.sim.bus_ids, self.sim.widths()))
        return self._widths

    def clock_columns(self) -> tuple[list[int], list[str]]:
        """The shown columns that are clocks, and the clocks no column shows."""
        columns, covered = [], set()
        for index, name in enumerate(self.shown):
            bits = self.ports[name].bits if name in self.ports else (name,)
            if len(bits) == 1 and bits[0] in self.clocks:
                columns.append(index)
                covered.add(bits[0])
        return columns, [clock for clock in self.sim.clocks if clock not in covered]

    # ------------------------------------------------------------ values

    def _inputs(self, given: Mapping[str, str | int], where: str) -> dict[str, str]:
        """The bus inputs that write `given`, whose names are busses or ports
        and whose values are bit strings or numbers (the one place that reads
        values here; every value is checked before any is written)."""
        known, ports, widths, clocks = self.names.known, self.ports, self.widths(), self.clocks
        inputs: dict[str, str] = {}
        for name, value in given.items():
            if name in known:
                width = widths[name]
                if not (isinstance(value, str) and len(value) == width and is_bit_string(value)):
                    value = self._value("bus", name, value, width, where)
                if clocks and name in clocks:
                    raise _clock_error(where, name)
                inputs[name] = value
            elif name in ports:
                bits = ports[name].bits
                width = len(bits) if len(bits) > 1 else widths[bits[0]]
                if not (isinstance(value, str) and len(value) == width and is_bit_string(value)):
                    value = self._value("port", name, value, width, where)
                if clocks and not clocks.isdisjoint(bits):
                    raise _clock_error(where, next(bit for bit in bits if bit in clocks))
                if len(bits) == 1:  # a port of one bus takes the whole value
                    inputs[bits[0]] = value
                else:
                    inputs.update(zip(bits, value))
            else:
                self.names.unknown(where, name)
        return inputs

    def _value(self, kind: str, name: str, value: str | int, width: int, where: str) -> str:
        """The bit string of `value` for the bus or port `name` of `width` bits."""
        if isinstance(value, str) and is_bit_string(value):
            if len(value) == width:
                return value
            hint = ""
            if 1 < len(value) < min(width, 20):
                hint = f" (digits 0 and 1 alone are a bit string; write 'd{value} for the number)"
            raise CliError(
                f"{where}: {kind} {show_name(name)} has {plural(width, 'bit')}, "
                f"the value {show_value(value)} has {plural(len(value), 'bit')}{hint}"
            )
        # A JSON number is decimal: written with its sign, never a bit string.
        text = value if isinstance(value, str) else f"{value:+d}"
        try:
            return self._parse(text, width)
        except ValueError as exc:
            # The reason quotes the value whole; it is shown as a message shows values.
            reason = str(exc).replace(f'"{text}"', show_value(text) if isinstance(value, str) else str(value), 1)
            raise CliError(f"{where}: {kind} {show_name(name)}: {clip(reason)}") from None

    # ------------------------------------------------------------ steps

    def start(self, settings: Mapping[str, str], resets: AsyncResets) -> None:
        """Step 0: the --set inputs in one plain update (no clock edge), then
        the asynchronous resets."""
        inputs = self._inputs(settings, "--set")
        if not inputs:
            return  # the simulator starts settled
        try:
            self.sim.update(inputs)
            resets.settle(self.sim)
        except (RuntimeError, UnicodeError) as exc:
            raise CliError(f"--set: {clip(str(exc))}") from None

    def _row(self, values: Mapping[str, str]) -> Row:
        """The shown values from the values of the read busses, in their order."""
        return self._join([tuple(values.values())])[0]

    def row(self) -> Row:
        return self._row(self.sim.values(self._ids))

    def _join(self, rows: list[Row]) -> list[Row]:
        """Rows of the read busses as rows of the shown ports and busses."""
        if not self._joined:
            return rows
        pickers = self._pickers
        return [tuple(pick(row) for pick in pickers) for row in rows]

    def run_block(self, block: bytes, first_line: int, where: Callable[[int], str]) -> list[Row]:
        """The shown values after each vector of the block. A faulty vector
        raises BlockFault with the rows of the good vectors before it;
        `where` names a line in messages."""
        from .. import VectorError

        if self.python_only:
            self.next_line = first_line + block.count(b"\n")
            return self._run_parsed(block, first_line, where)
        try:
            raw_rows, unknown = self.sim.run_jsonl(
                block, self._ids, first_line, threads=self.threads, ports=self._port_bits
            )
        except VectorError as exc:
            self.next_line = first_line + block.count(b"\n")
            good = self._join(exc.results if isinstance(exc.results, list) else [])
            if (early := self._unknown_before(exc, block, first_line, where)) is not None:
                raise BlockFault(early[1], rows=good[: _vectors_before(block, first_line, early[0])]) from None
            rest = self._rest_here(exc, block, first_line)
            if rest is None:
                raise BlockFault(self._fault(exc, block, first_line, where), rows=good) from None
            try:
                return good + self._run_parsed(*rest, where)
            except BlockFault as fault:
                fault.rows = good + fault.rows
                raise
        # The simulator counted the lines it read (a last line without its
        # newline counts as well; no block follows it).
        self.next_line = self.sim.next_line
        rows = self._join(raw_rows)
        stop = self._stop_at_unknown(unknown, where)
        if stop is not None:
            raise BlockFault(stop[1], rows=rows[: _vectors_before(block, first_line, stop[0])])
        return rows

    def run_block_text(
        self, block: bytes, first_line: int, layout: TextLayout, where: Callable[[int], str]
    ) -> tuple[str, list[Row]]:
        """The rows after each vector of the block as text in `layout`, then
        the rows of vectors read here (whose text the caller makes), from a
        line on that only this reader takes. A faulty vector raises
        BlockFault with the text and rows of the good vectors."""
        from .. import VectorError

        self.next_line = first_line + block.count(b"\n")
        if self.python_only:
            return "", self._run_parsed(block, first_line, where)
        try:
            text, unknown = self.sim.run_jsonl(
                block, self._text_ids, first_line, layout=layout, threads=2, ports=self._port_bits
            )
        except VectorError as exc:
            good = exc.results if isinstance(exc.results, str) else ""
            if (early := self._unknown_before(exc, block, first_line, where)) is not None:
                text = _first_lines(good, _vectors_before(block, first_line, early[0]))
                raise BlockFault(early[1], text=text) from None
            rest = self._rest_here(exc, block, first_line)
            if rest is None:
                raise BlockFault(self._fault(exc, block, first_line, where), text=good) from None
            try:
                return good, self._run_parsed(*rest, where)
            except BlockFault as fault:
                fault.text = good
                raise
        stop = self._stop_at_unknown(unknown, where)
        if stop is not None:
            raise BlockFault(stop[1], text=_first_lines(text, _vectors_before(block, first_line, stop[0])))
        return text, []

    def _stop_at_unknown(
        self, unknown: list[tuple[int, str]], where: Callable[[int], str]
    ) -> tuple[int, CliError] | None:
        """The first line that names nothing and its error; None when there
        is none or unknown names are only warned about."""
        for line, name in unknown:
            try:
                self.names.unknown(where(line), name)
            except CliError as exc:
                return line, exc
        return None

    def _rest_here(self, exc: VectorError, block: bytes, first_line: int) -> tuple[bytes, int] | None:
        """The rest of the block from the faulty line, when that line is for
        Python to read: it writes an integer, which the simulator's reader
        refuses beyond 64 bits. Every later block is then read here as well."""
        if exc.bus is None or exc.line is None:
            return None
        try:
            value = json.loads(line_of(block, first_line, exc.line)).get(exc.bus)
        except json.JSONDecodeError:
            return None
        except ValueError:  # a number of more digits than Python converts: the message is Python's
            value = 0
        except (AttributeError, RecursionError):
            return None
        if isinstance(value, bool) or not isinstance(value, int):
            return None
        self.python_only = True
        return lines_from(block, first_line, exc.line), exc.line

    def _run_parsed(self, block: bytes, first_line: int, where: Callable[[int], str]) -> list[Row]:
        from .. import VectorError

        vectors: list[dict[str, str]] = []
        lines: list[int] = []
        fault = None
        for number, raw in enumerate(block.split(b"\n"), first_line):
            place = where(number)
            try:
                given = parse_vector(raw, place)
                if given is not None:
                    vectors.append(self._inputs(given, place))
                    lines.append(number)
            except CliError as exc:
                fault = exc
                break
        try:
            rows = [self._row(values) for values in self.sim.run(vectors, self._ids)]
        except VectorError as exc:
            good = exc.results if isinstance(exc.results, list) else []
            place = where(lines[exc.index])
            reason = f"bus {show_name(exc.bus)}: {clip(exc.reason)}" if exc.bus else clip(exc.reason)
            raise BlockFault(CliError(f"{place}: {reason}"), rows=[self._row(v) for v in good]) from None
        if fault:
            raise BlockFault(fault, rows=rows)
        return rows

    def _unknown_before(
        self, exc: VectorError, block: bytes, first_line: int, where: Callable[[int], str]
    ) -> tuple[int, CliError] | None:
        """The names that name nothing in the lines before the one the
        simulator refused, which its error leaves unreported: warned about,
        or the first line with one and its error."""
        if exc.line is None:
            return None
        for number, raw in enumerate(block.split(b"\n")[: exc.line - first_line], first_line):
            if b'"' not in raw:
                continue
            try:
                given = json.loads(raw)
            except (ValueError, RecursionError):
                continue
            for name in given if isinstance(given, dict) else ():
                if name not in self.names:
                    try:
                        self.names.unknown(where(number), name)
                    except CliError as error:
                        return number, error
        return None

    def _fault(self, exc: VectorError, block: bytes, first_line: int, where: Callable[[int], str]) -> CliError:
        """The error for a vector the simulator refused, as reading its line
        here gives it, else the simulator's reason."""
        place = where(exc.line if exc.line is not None else first_line)
        if exc.line is not None:
            try:
                given = parse_vector(line_of(block, first_line, exc.line), place)
                if given is not None:
                    self._inputs(given, place)
            except CliError as error:
                return error
        if exc.bus is None:
            return CliError(f"{place}: {clip(exc.reason)}")
        return CliError(f"{place}: bus {show_name(exc.bus)}: {clip(exc.reason)}")


def _clock_error(where: str, clock: str) -> CliError:
    return CliError(
        f"{where}: bus {show_name(clock)} is a clock: every step is one cycle of it, so inputs do not write it"
        " (--cycles N runs cycles without new inputs)"
    )


def _vectors_before(block: bytes, first_line: int, line: int) -> int:
    """The vectors (lines that are not blank) of the block before line number `line`."""
    return sum(1 for raw in block.split(b"\n")[: line - first_line] if raw.strip())


def _first_lines(text: str, lines: int) -> str:
    end = 0
    for _ in range(lines):
        end = text.index("\n", end) + 1
    return text[:end]


def _picker(indices: list[int]) -> Callable[[Row], str]:
    """Reads one shown value from a row of read busses: a bus's own text, or
    the texts of a port's bits side by side."""
    if len(indices) == 1:
        return itemgetter(indices[0])
    pick = itemgetter(*indices)
    return lambda row: "".join(pick(row))


class BlockFault(Exception):
    """A faulty vector: its error, and the rows (or the text of the rows) of
    the good vectors before it."""

    def __init__(self, error: CliError, rows: list[Row] | None = None, text: str = ""):
        super().__init__(str(error))
        self.error = error
        self.rows: list[Row] = rows or []
        self.text = text


# ---------------------------------------------------------------- command


class _Vcd:
    """The --vcd file: a recorder writing into an OutputFile."""

    def __init__(
        self, path: str, scope: str, bus_ids: Sequence[str], first: Row, clocks: tuple[list[int], list[str]]
    ):
        from ..waves.vcd import VcdRecorder

        self.path = path
        self.file = OutputFile(path)
        try:
            self.recorder: VcdRecorder = VcdRecorder(self.file.stream, scope, bus_ids, first, *clocks)
        except BaseException:
            self.file.discard()
            raise
        for bus_id in self.recorder.skipped:
            warn(f"{path}: bus {show_name(bus_id)} has no bits and is left out")

    def record(self, first_step: int, rows: Sequence[Row]) -> None:
        from ..waves.vcd import WidthChangeError

        try:
            self.recorder.record_rows(first_step, rows)
        except WidthChangeError as exc:
            raise CliError(
                f"{self.path}: bus {show_name(exc.bus_id)} changed from {plural(exc.declared, 'bit')} to"
                f" {plural(exc.width, 'bit')} at step {exc.step}; a VCD variable keeps one width"
            ) from None
        except OSError as exc:
            raise CliError(f"{self.path}: {exc.strerror or exc}") from None

    def finish(self, last_step: int) -> None:
        try:
            self.recorder.close(last_step)
        except OSError as exc:
            raise CliError(f"{self.path}: {exc.strerror or exc}") from None
        self.file.commit()


class Blocks(Protocol):
    """Where steps come from: blocks of JSON Lines and their first line numbers."""

    next_line: int | None

    def __iter__(self) -> Iterator[tuple[bytes, int]]: ...

    def where(self, line: int) -> str: ...


class Cycles:
    """--cycles N: N steps that write nothing, as blocks of empty vectors."""

    BLOCK = 1 << 16

    def __init__(self, count: int):
        self.count = count
        self.next_line: int | None = None

    def where(self, line: int) -> str:
        return f"--cycles, cycle {line}"

    def __iter__(self) -> Iterator[tuple[bytes, int]]:
        done = 0
        while done < self.count:
            size = min(self.BLOCK, self.count - done)
            yield b"{}\n" * size, done + 1
            done += size


def command_run(args: argparse.Namespace, out: TextIO) -> int:
    settings = dict(parse_assignment(item) for item in args.set)
    if args.cycles is not None and args.cycles < 0:
        raise CliError(f"--cycles must be 0 or more, not {args.cycles}", EXIT_USAGE)
    reading_stdin = args.vectors == VectorBlocks.STDIN
    inputs = [args.ir] + ([args.vectors] if args.vectors and not reading_stdin else [])
    for option, path in (("--vcd", args.vcd), ("--wave", args.wave)):
        if path:
            refuse_inputs(path, inputs, option)
    vcd: _Vcd | None = None
    try:
        with ExitStack() as stack:
            vectors = stack.enter_context(VectorBlocks(args.vectors)) if args.vectors else None
            text = read_text(args.ir)
            sim = simulator(args.ir, text)
            ports = recorded_ports(args.ir, text, sim.bus_ids)
            resets = AsyncResets.from_text(text) if sim.clocks and settings else AsyncResets()
            del text
            names = Names(sim.bus_ids, ports, args.allow_unknown)
            stepper = Stepper(sim, shown_names(sim, names, args.show, args.busses), names)
            stepper.start(settings, resets)
            first = stepper.row()
            clocks = stepper.clock_columns()
            if args.vcd:
                vcd = _Vcd(args.vcd, sim.id, stepper.shown, first, clocks)
            output = Output(out)
            wave: list[Row] | None = [first] if args.wave else None
            stepping = vectors is not None or args.cycles is not None
            values = ValueText(args.radix, first, pad=stepping and args.format == "table")
            sources: list[Blocks] = [vectors] if vectors is not None else []
            if args.cycles:
                sources.append(Cycles(args.cycles))
            if not stepping:
                _print_state(output, dict(zip(stepper.shown, values.rows([first])[0])), args.format)
                last = 0
            else:
                total = None if vectors is None else vectors.count_lines() if progress_wanted(out) else None
                if total is not None or vectors is None:
                    total = (total or 0) + (args.cycles or 0)
                last = _run_steps(
                    stepper, first, sources, args.format, values, vcd, wave, output, (total, progress_wanted(out))
                )
            output.flush()
            if wave is not None:
                _draw_wave(args.wave, stepper.shown, wave, sim.id, values, clocks)
            if vcd:
                vcd.finish(last)
    except BaseException as exc:
        # The VCD file appears only when the whole run succeeded.
        if args.vcd and not (vcd is None and isinstance(exc, OutputFileError)):
            if vcd:
                vcd.file.discard()
            incomplete = vcd is not None and vcd.file.written_directly
            exc.add_note(f"{args.vcd} {'is incomplete' if incomplete else 'was not written'}")
        raise
    return EXIT_OK


def _draw_wave(
    path: str, shown: Sequence[str], rows: list[Row], title: str, values: ValueText, clocks: tuple[list[int], list[str]]
) -> None:
    from ..waves.formats import encode, picture_format
    from ..waves.svg import WaveUnavailable, wave_svg

    columns, extra = clocks
    order = [*extra, *shown]
    lead = ("0",) * len(extra)
    steps = [dict(zip(order, lead + row)) for row in rows]
    clock_names = {*extra, *(shown[i] for i in columns)}
    try:
        suffix = picture_format(path)  # the format its extension names
        picture = encode(wave_svg(order, steps, title, label=values.value, clocks=clock_names), suffix)
    except WaveUnavailable as exc:
        raise CliError(str(exc)) from None
    # Written as every output file is: an existing picture is replaced only by a whole new one.
    with OutputFile(path) as file:
        try:
            file.stream.flush()
            file.stream.buffer.write(picture)
        except OSError as exc:
            raise CliError(f"{path}: {exc.strerror or exc}") from None


def _print_state(output: Output, values: dict[str, str], form: str) -> None:
    if form == "json":
        output.line(json.dumps(values))
    else:
        output.write("".join(line + "\n" for line in format_table(values)))


def _run_steps(
    stepper: Stepper, first: Row, sources: Sequence[Blocks], form: str, values: ValueText, vcd: _Vcd | None,
    wave: list[Row] | None, output: Output, progress: tuple[int | None, bool],
) -> int:
    """Prints step 0 and the steps of every vector, then of every cycle;
    returns the last step."""
    shown_first = values.rows([first])[0]
    if form == "table":
        table = StepTable(stepper.shown, shown_first)
        output.line(table.header)
        steps: StepTable | JsonSteps = table
    else:
        steps = JsonSteps(stepper.shown)
    output.write(steps.rows(0, [shown_first]))
    step = 0
    # Without a VCD or a picture, the simulator writes the rows itself, numbers included.
    direct = vcd is None and wave is None
    columns = values.columns(stepper.bit_counts)
    with _progress(*progress) as bar:
        for source in sources:
            stepper.python_only = False
            for block, first_line in source:
                text, error = "", None
                try:
                    layout = steps.layout(step + 1) if direct else None
                    if layout is not None:
                        text, rows = stepper.run_block_text(block, first_line, (*layout, columns), source.where)
                    else:
                        rows = stepper.run_block(block, first_line, source.where)
                except BlockFault as fault:
                    text, rows, error = fault.text, fault.rows, fault.error
                output.write(text)
                step += text.count("\n")
                if rows:
                    output.write(steps.rows(step + 1, values.rows(rows)))
                    if vcd:
                        vcd.record(step + 1, rows)
                    if wave is not None:
                        wave.extend(rows)
                    step += len(rows)
                if error:
                    raise error
                source.next_line = stepper.next_line
                bar.update(stepper.next_line - first_line + (not block.endswith(b"\n")))
    return step


VALUES_HELP = """\
values: a value in --set or in a vector line is
  - a bit string: digits 0 and 1 only, element 0 (bit 0, the least significant) first,
    exactly as many as the bus or port has bits ("0101" for a 4-bit port is ten);
  - or a number, most significant digit first: 10, -3, 0x52e6, 0b1010, 0o17, or a Verilog
    literal 16'h52e6, 'd10, 8'b0000_0101 (underscores may separate digits). A number must
    fit the width; a negative one is two's complement. In a vector line a JSON number is
    decimal: {"a": 10}.
  Digits 0 and 1 alone are always a bit string: for a 16-bit port "10" is refused, 'd10 is ten.
  Values are shown as numbers in --radix (hex 0x52e6, bin 0b0101, dec 21222), a 1-bit value
  as 0 or 1; the VCD holds bits, most significant first.

steps: step 0 is the state after --set (one update, no clock edge; asynchronous resets
  apply). Each vector line, then each of --cycles N, is one step: for a design with
  registers one cycle of every clock (inputs written, clocks rise, then fall; values read
  after), otherwise one update. The VCD of a design with registers has step k at time 2k,
  each clock rising at 2k and falling at 2k+1.
"""


def register(commands: argparse._SubParsersAction[Parser]) -> None:
    parser = commands.add_parser(
        "run", help="render a circuit, apply inputs and print its busses or ports",
        description="Render a circuit, apply inputs step by step and print its ports or busses after\neach step.",
        epilog=VALUES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.add_argument(
        "--set", metavar="ID=VALUE", action="append", default=[],
        help="input value (bus or port) applied before any vector, in step 0 (repeatable)",
    )
    parser.add_argument(
        "--vectors", metavar="FILE",
        help="JSON Lines file, - for standard input: one object of bus or port name to value per step",
    )
    parser.add_argument(
        "--cycles", metavar="N", type=int, help="run N more steps that write no inputs (after the vectors, if any)"
    )
    parser.add_argument(
        "--show", metavar="ID[,ID...]", action="append", default=[],
        help="print and record only these busses or ports, in this order (repeatable)",
    )
    parser.add_argument("--vcd", metavar="OUT.vcd", help="also write the run as a Value Change Dump")
    parser.add_argument("--wave", metavar="OUT.svg", help="also draw the shown busses over the steps as a waveform "
                        "picture, SVG or PNG by the extension")
    parser.add_argument("--format", choices=("table", "json"), default="table", help="output format (default: table)")
    add_name_options(
        parser,
        radix="how multi-bit values are shown in the table, the JSON and the picture (default: hex)",
        busses="show every bus even when the IR records ports (which are shown by default); inputs may name either",
    )
    parser.set_defaults(handler=command_run)


def add_name_options(parser: argparse.ArgumentParser, radix: str, busses: str) -> None:
    """--radix, --busses and --allow-unknown, which nimbo run and nimbo
    regress share; `radix` and `busses` are their help texts."""
    parser.add_argument("--radix", choices=RADIXES, default="hex", help=radix)
    parser.add_argument("--busses", action="store_true", help=busses)
    parser.add_argument(
        "--allow-unknown", action="store_true",
        help="warn about names that are neither a bus nor a port, and go on without them (default: an error)",
    )
