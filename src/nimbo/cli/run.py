"""`nimbo run`: render a circuit, apply inputs and print its busses or ports.

The circuit is rendered once, natively, through nimbo.Simulator; the
vectors file is read in blocks of whole lines that the simulator parses and
applies itself, and each block's rows are formatted at once.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import AbstractContextManager, ExitStack
from itertools import count
from operator import itemgetter
from typing import TYPE_CHECKING, Never, TextIO

from ..ports import Port, PortError, expand_inputs, ports_from_text
from .common import (
    EXIT_OK,
    CliError,
    OutputFile,
    OutputFileError,
    Parser,
    VectorBlocks,
    clip,
    flush,
    is_bit_string,
    line_of,
    output_error,
    parse_assignment,
    parse_vector,
    progress_wanted,
    read_text,
    refuse_inputs,
    show_id,
    show_name,
    show_value,
    simulator,
    warn,
)

if TYPE_CHECKING:
    from tqdm import tqdm

    from .. import Simulator, VectorError

Row = tuple[str, ...]
# How the simulator writes rows itself: (first step, step width, fragments
# around the step number and the values).
Layout = tuple[int, int, list[str]]

# ---------------------------------------------------------------- output


def format_table(values: Mapping[str, str]) -> Iterator[str]:
    names = [show_id(bus_id) for bus_id in values]
    width = max([len("bus")] + [len(name) for name in names])
    yield f"{'bus':<{width}}  value"
    for name, bits in zip(names, values.values()):
        yield f"{name:<{width}}  {bits}"


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
        pads = [" " * (2 + w - len(value)) for w, value in zip(widths, first)][:-1]
        self._pads = pads
        self._columns = len(widths)
        self._separator = pads[0] if pads and all(pad == pads[0] for pad in pads) else None
        self._format = f"%{self.STEP_WIDTH}d" + "".join(f"  %s{pad[2:]}" for pad in pads) + "  %s" * bool(widths)
        self._strip = any(not value for value in first)

    def layout(self, first_step: int) -> Layout | None:
        """The same rows as the simulator writes them; None when lines need stripping."""
        if self._strip:
            return None
        between = [pad[2:] + "  " for pad in self._pads]
        return first_step, self.STEP_WIDTH, ["", "  " if self._columns else "", *between, "\n"]

    def rows(self, first_step: int, rows: Sequence[Row]) -> str:
        if self._separator is not None:
            join = self._separator.join
            lines = [f"{step:{self.STEP_WIDTH}d}  {join(row)}" for step, row in zip(count(first_step), rows)]
        else:
            form = self._format
            lines = [form % ((step,) + row) for step, row in zip(count(first_step), rows)]
        if self._strip:
            lines = [line.rstrip() for line in lines]
        return "\n".join(lines) + "\n"


class JsonSteps:
    """One JSON object per step: {"step": k, "values": {id: bits, ...}}."""

    def __init__(self, bus_ids: Sequence[str]):
        # Bit strings need no escaping; the ids are encoded once.
        keys = [json.dumps(bus_id) for bus_id in bus_ids]
        self._format = '{"step": %d, "values": {' + ", ".join(f'{key.replace("%", "%%")}: "%s"' for key in keys) + "}}"
        if keys:
            self._fragments = ['{"step": ', ', "values": {' + keys[0] + ': "']
            self._fragments += ['", ' + key + ': "' for key in keys[1:]] + ['"}}\n']
        else:
            self._fragments = ['{"step": ', ', "values": {}}\n']

    def layout(self, first_step: int) -> Layout:
        return first_step, 0, self._fragments

    def rows(self, first_step: int, rows: Sequence[Row]) -> str:
        form = self._format
        return "".join([form % ((step,) + row) + "\n" for step, row in zip(count(first_step), rows)])


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


def _progress(total: int | None, show: bool) -> AbstractContextManager[_NoProgress | tqdm[Never]]:
    """A bar counting bytes of the vectors file, drawn once the run has
    taken a second."""
    if not show:
        return _NoProgress()
    from tqdm import tqdm

    return tqdm(
        total=total, unit="B", unit_scale=True, unit_divisor=1024, desc="vectors",
        file=sys.stderr, delay=1.0, leave=False,
    )


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


def shown_names(sim: Simulator, ports: Mapping[str, Port], requested: Sequence[str]) -> tuple[str, ...]:
    """What the run shows: the ports of an IR that records them, else every
    bus; with --show, the ports or busses it names, in the order given. Each
    option is a name, or names separated by commas."""
    if not requested:
        return tuple(ports) if ports else sim.bus_ids
    known = set(sim.bus_ids)
    chosen: dict[str, None] = {}
    for item in requested:
        for name in [item] if item in known or item in ports else item.split(","):
            if name not in known and name not in ports:
                raise CliError(f"--show: no {'port or ' if ports else ''}bus named {show_name(name)}")
            chosen[name] = None
    return tuple(chosen)


def diagnose(bus_id: str, bits: str, width: int | None, where: str) -> CliError | None:
    """The error for a value the bus cannot take, naming both; None when
    Python sees nothing wrong with it."""
    if not is_bit_string(bits):
        return CliError(f"{where}: bus {show_name(bus_id)}: {show_value(bits)} is not a bit string (0 and 1 only)")
    if width is not None and len(bits) != width:
        return CliError(f"{where}: bus {show_name(bus_id)} has {width} bits, the value {show_value(bits)} has {len(bits)}")
    return None


def rejected(inputs: Mapping[str, str], widths: Mapping[str, int], where: str, reason: str) -> CliError:
    """The error for inputs the simulator refused: the bus and its value
    when Python can tell which, else the simulator's reason, cut short."""
    for bus_id, bits in inputs.items():
        error = diagnose(bus_id, bits, widths.get(bus_id), where)
        if error:
            return error
    return CliError(f"{where}: {clip(reason)}")


class Stepper:
    """Writes inputs to the simulator and reads the shown busses back.

    Blocks of vector lines go to the simulator as they are, which reads a
    shown port as its bits side by side. A block in which a line names a port
    (whose value is split over the busses of its bits) is parsed here."""

    def __init__(self, sim: Simulator, shown: tuple[str, ...], ports: Mapping[str, Port], path: str | None):
        self.sim = sim
        self.shown = shown
        self.ports = dict(ports)
        self._known = set(sim.bus_ids)
        self._warned: set[str] = set()
        self._path = path
        self._joined = any(name in self.ports for name in shown)
        # A block whose lines name no port (other than one that is also a bus)
        # is read and run by the simulator; the others are read here.
        self._port_names = [name for name in self.ports if name not in self._known]
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

    def widths(self) -> dict[str, int]:
        return dict(zip(self.sim.bus_ids, self.sim.widths()))

    def unknown(self, where: str, name: str) -> None:
        if name not in self._warned:
            self._warned.add(name)
            warn(f"{where}: no {'port or ' if self.ports else ''}bus named {show_name(name)}; ignored")

    def _inputs(self, given: dict[str, str], where: str) -> dict[str, str]:
        """The bus inputs for `given`; unknown names warned about and left out."""
        known, ports = self._known, self.ports
        if any(name not in known and name not in ports for name in given):
            for name in given:
                if name not in known and name not in ports:
                    self.unknown(where, name)
            given = {name: bits for name, bits in given.items() if name in known or name in ports}
        if not ports:
            return given
        try:
            return expand_inputs(ports, given, known)
        except PortError as exc:
            raise CliError(f"{where}: {exc}") from None

    def _row(self, values: Mapping[str, str]) -> Row:
        """The shown values from the values of the read busses, in their order."""
        return self._join([tuple(values.values())])[0]

    def update(self, given: dict[str, str], where: str) -> None:
        inputs = self._inputs(given, where)
        try:
            self.sim.update(inputs)
        except (RuntimeError, UnicodeError) as exc:
            raise rejected(inputs, self.widths(), where, str(exc)) from None

    def row(self) -> Row:
        return self._row(self.sim.values(self._ids))

    def run_block(self, block: bytes, first_line: int, names_ports: bool = False) -> list[Row]:
        """The shown values after each vector of the block. A faulty vector
        raises BlockFault with the rows of the good vectors before it. With
        `names_ports` (the simulator found a line naming a port) the block is
        parsed here at once."""
        from .. import VectorError

        if names_ports:
            return self._run_parsed(block, first_line)
        try:
            result = self.sim.run_jsonl(block, self._ids, first_line, threads=2, deferred_ids=self._port_names)
        except VectorError as exc:
            good = exc.results if isinstance(exc.results, list) else []
            raise BlockFault(self._join(good), self._fault(exc, block, first_line)) from None
        if result is None:  # a line names a port
            return self._run_parsed(block, first_line)
        rows, unknown = result
        for line, bus_id in unknown:
            self.unknown(f"{self._path}:{line}", bus_id)
        return self._join(rows)

    def _join(self, rows: list[Row]) -> list[Row]:
        """Rows of the read busses as rows of the shown ports and busses."""
        if not self._joined:
            return rows
        pickers = self._pickers
        return [tuple(pick(row) for pick in pickers) for row in rows]

    def run_block_text(self, block: bytes, first_line: int, layout: Layout) -> tuple[str, int] | None:
        """The rows after each vector of the block, as text in `layout`, and their
        number; None, having run nothing, when a line names a port. A faulty
        vector raises BlockFault with the text of the good rows."""
        from .. import VectorError

        if self._bit_counts is not None:  # a shown port: its bits with nothing between them
            first_step, step_width, fragments = layout
            expanded = list(fragments[:2])
            for count, fragment in zip(self._bit_counts, fragments[2:]):
                expanded += [""] * (count - 1) + [fragment]
            layout = (first_step, step_width, expanded)
        try:
            result = self.sim.run_jsonl(
                block, self._text_ids, first_line, layout=layout, threads=2, deferred_ids=self._port_names
            )
        except VectorError as exc:
            good = exc.results if isinstance(exc.results, str) else ""
            raise BlockFault(good, self._fault(exc, block, first_line)) from None
        if result is None:
            return None
        text, unknown = result
        for line, bus_id in unknown:
            self.unknown(f"{self._path}:{line}", bus_id)
        return text, text.count("\n")

    def _run_parsed(self, block: bytes, first_line: int) -> list[Row]:
        from .. import VectorError

        vectors: list[dict[str, str]] = []
        lines: list[int] = []
        fault = None
        for number, raw in enumerate(block.split(b"\n"), first_line):
            where = f"{self._path}:{number}"
            try:
                given = parse_vector(raw, where)
                if given is not None:
                    vectors.append(self._inputs(given, where))
                    lines.append(number)
            except CliError as exc:
                fault = exc
                break
        try:
            rows = [self._row(values) for values in self.sim.run(vectors, self._ids)]
        except VectorError as exc:
            good = exc.results if isinstance(exc.results, list) else []
            where = f"{self._path}:{lines[exc.index]}"
            bits = vectors[exc.index].get(exc.bus) if exc.bus is not None else None
            error = diagnose(exc.bus, bits, self.widths().get(exc.bus), where) if exc.bus and bits is not None else None
            reason = f"bus {show_name(exc.bus)}: {clip(exc.reason)}" if exc.bus else clip(exc.reason)
            raise BlockFault([self._row(v) for v in good], error or CliError(f"{where}: {reason}")) from None
        if fault:
            raise BlockFault(rows, fault)
        return rows

    def _fault(self, exc: VectorError, block: bytes, first_line: int) -> CliError:
        where = f"{self._path}:{exc.line}"
        if exc.bus is None or exc.line is None:
            return CliError(f"{where}: {clip(exc.reason)}")
        try:
            bits = json.loads(line_of(block, first_line, exc.line)).get(exc.bus)
        except (ValueError, AttributeError, RecursionError):
            bits = None
        error = diagnose(exc.bus, bits, self.widths().get(exc.bus), where) if isinstance(bits, str) else None
        return error or CliError(f"{where}: bus {show_name(exc.bus)}: {clip(exc.reason)}")


def _picker(indices: list[int]) -> Callable[[Row], str]:
    """Reads one shown value from a row of read busses: a bus's own text, or
    the texts of a port's bits side by side."""
    if len(indices) == 1:
        return itemgetter(indices[0])
    pick = itemgetter(*indices)
    return lambda row: "".join(pick(row))


class BlockFault(Exception):
    def __init__(self, rows: object, error: CliError):
        super().__init__(str(error))
        self.rows: list[Row] = rows if isinstance(rows, list) else []
        self.text = rows if isinstance(rows, str) else ""
        self.error = error


# ---------------------------------------------------------------- command


class _Vcd:
    """The --vcd file: a recorder writing into an OutputFile."""

    def __init__(self, path: str, scope: str, bus_ids: Sequence[str], first: Row):
        from ..vcd import VcdRecorder

        self.path = path
        self.file = OutputFile(path)
        try:
            self.recorder: VcdRecorder = VcdRecorder(self.file.stream, scope, bus_ids, first)
        except BaseException:
            self.file.discard()
            raise
        for bus_id in self.recorder.skipped:
            warn(f"{path}: bus {show_name(bus_id)} has no bits and is left out")

    def record(self, first_step: int, rows: Sequence[Row]) -> None:
        from ..vcd import WidthChangeError

        try:
            self.recorder.record_rows(first_step, rows)
        except WidthChangeError as exc:
            raise CliError(
                f"{self.path}: bus {show_name(exc.bus_id)} changed from {exc.declared} to {exc.width} bits"
                f" at step {exc.step}; a VCD variable keeps one width"
            ) from None
        except OSError as exc:
            raise CliError(f"{self.path}: {exc.strerror or exc}") from None

    def finish(self, last_step: int) -> None:
        try:
            self.recorder.close(last_step)
        except OSError as exc:
            raise CliError(f"{self.path}: {exc.strerror or exc}") from None
        self.file.commit()


def command_run(args: argparse.Namespace, out: TextIO) -> int:
    settings = dict(parse_assignment(item) for item in args.set)
    inputs = [args.ir] + ([args.vectors] if args.vectors else [])
    for option, path in (("--vcd", args.vcd), ("--wave", args.wave)):
        if path:
            refuse_inputs(path, inputs, option)
    vcd: _Vcd | None = None
    try:
        with ExitStack() as stack:
            vectors = stack.enter_context(VectorBlocks(args.vectors)) if args.vectors else None
            text = read_text(args.ir)
            sim = simulator(args.ir, text)
            ports = {} if args.busses else recorded_ports(args.ir, text, sim.bus_ids)
            del text
            stepper = Stepper(sim, shown_names(sim, ports, args.show), ports, args.vectors)
            stepper.update(settings, "--set" if settings else "initial state")
            first = stepper.row()
            if args.vcd:
                vcd = _Vcd(args.vcd, sim.id, stepper.shown, first)
            output = Output(out)
            wave: list[Row] | None = [first] if args.wave else None
            if vectors is None:
                _print_state(output, dict(zip(stepper.shown, first)), args.format)
                last = 0
            else:
                last = _run_vectors(stepper, first, vectors, args.format, vcd, wave, output, progress_wanted(out))
            output.flush()
            if wave is not None:
                _draw_wave(args.wave, stepper.shown, wave, sim.id)
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


def _draw_wave(path: str, shown: Sequence[str], rows: list[Row], title: str) -> None:
    """Writes the picture as every output file is written: an existing file
    is replaced only by a whole new picture."""
    from ..wave import WaveUnavailable, wave_svg

    try:
        picture = wave_svg(shown, [dict(zip(shown, row)) for row in rows], title)
    except WaveUnavailable as exc:
        raise CliError(str(exc)) from None
    with OutputFile(path) as file:
        try:
            file.stream.write(picture)
        except OSError as exc:
            raise CliError(f"{path}: {exc.strerror or exc}") from None


def _print_state(output: Output, values: dict[str, str], form: str) -> None:
    if form == "json":
        output.line(json.dumps(values))
    else:
        output.write("".join(line + "\n" for line in format_table(values)))


def _run_vectors(
    stepper: Stepper, first: Row, vectors: VectorBlocks, form: str, vcd: _Vcd | None, wave: list[Row] | None,
    output: Output, show_progress: bool,
) -> int:
    """Prints step 0 and the steps of every vector; returns the last step."""
    if form == "table":
        table = StepTable(stepper.shown, first)
        output.line(table.header)
        steps: StepTable | JsonSteps = table
    else:
        steps = JsonSteps(stepper.shown)
    output.write(steps.rows(0, [first]))
    step = 0
    # Without a VCD or a picture, the simulator writes the rows itself.
    direct = vcd is None and wave is None
    with _progress(vectors.size, show_progress) as bar:
        for block, first_line in vectors:
            layout = steps.layout(step + 1) if direct else None
            names_ports = False
            if layout is not None:
                try:
                    written = stepper.run_block_text(block, first_line, layout)
                except BlockFault as exc:
                    output.write(exc.text)
                    raise exc.error from None
                if written is not None:
                    text, done = written
                    output.write(text)
                    vectors.next_line = stepper.sim.next_line
                    step += done
                    bar.update(len(block))
                    continue
                names_ports = True
            fault = None
            try:
                rows = stepper.run_block(block, first_line, names_ports)
            except BlockFault as exc:
                rows, fault = exc.rows, exc.error
            vectors.next_line = stepper.sim.next_line  # the simulator counted the block's lines
            if rows:
                output.write(steps.rows(step + 1, rows))
                if vcd:
                    vcd.record(step + 1, rows)
                if wave is not None:
                    wave.extend(rows)
                step += len(rows)
            if fault:
                raise fault
            bar.update(len(block))
    return step


def register(commands: argparse._SubParsersAction[Parser]) -> None:
    parser = commands.add_parser("run", help="render a circuit, apply inputs and print its busses or ports")
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.add_argument(
        "--set", metavar="ID=BITS", action="append", default=[], help="input value applied before any vector (repeatable)"
    )
    parser.add_argument("--vectors", metavar="FILE", help="JSON Lines file: one object of bus id to bit string per step")
    parser.add_argument(
        "--show", metavar="ID[,ID...]", action="append", default=[],
        help="print and record only these busses or ports, in this order (repeatable)",
    )
    parser.add_argument("--vcd", metavar="OUT.vcd", help="also write the run as a Value Change Dump")
    parser.add_argument("--wave", metavar="OUT.svg", help="also draw the shown busses over the steps as an SVG waveform")
    parser.add_argument("--format", choices=("table", "json"), default="table", help="output format (default: table)")
    parser.add_argument(
        "--busses", action="store_true", help="show every bus even when the IR records ports (which are shown by default)"
    )
    parser.set_defaults(handler=command_run)
