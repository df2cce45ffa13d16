"""`nimbo run`: render a circuit, apply inputs and print its busses or ports.

The circuit is rendered once, natively, through nimbo.Simulator; the
vectors file is read in blocks of whole lines that the simulator reads and
applies itself (nimbo.stepping), and each block's rows are formatted at
once, by the simulator when no VCD or picture needs them as values.

Steps: step 0 is the state after --set; each vector line, and each of the
--cycles, is one step (Simulator.step): for a design with registers one
cycle of every clock, otherwise one update.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Iterable, Iterator, Mapping, Sequence
from contextlib import AbstractContextManager, ExitStack
from itertools import count
from typing import TYPE_CHECKING, Never, TextIO

from ..nets import nets_from_text
from ..ports import Port, plural, ports_from_text
from ..stepping import X_INITIAL_MODES, BlockFault, Blocks, Column, Names, Row, StepError, Stepper, XInitial, shown_names
from ..text import clip, show_id, show_name, show_value
from .errors import EXIT_OK, EXIT_USAGE, CliError, Parser, flush, output_error, warn
from .files import OutputFile, OutputFileError, VectorBlocks, progress_wanted, read_text, refuse_inputs, simulator

if TYPE_CHECKING:
    from tqdm import tqdm

# How the simulator writes rows itself: (first step, step width, fragments
# around the step number and the columns).
Layout = tuple[int, int, list[str]]
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

    def columns(self) -> list[Column]:
        """The forms of the columns for the simulator's text rows, one shown name each."""
        return [(1, None, 0) if pad is None else (1, self.radix, pad) for pad in self._pads]

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


def parse_assignment(text: str, option: str = "--set") -> tuple[str, str]:
    bus_id, sep, value = text.rpartition("=")
    if not sep or not bus_id:
        raise CliError(f"{option} expects ID=VALUE, got {show_value(text)}", EXIT_USAGE)
    return bus_id, value


def recorded_nets(path: str, text: str) -> dict[str, tuple[str, ...]]:
    """The named vectors an import records (`component.nets`)."""
    try:
        return nets_from_text(text)
    except (ValueError, RecursionError) as exc:  # NetError is a ValueError
        raise CliError(f"{path}: {clip(str(exc))}") from None


def x_initial(args: argparse.Namespace) -> XInitial:
    """--x-initial and --seed."""
    if args.seed is not None and args.x_initial != "random":
        raise CliError("--seed goes with --x-initial random", EXIT_USAGE)
    if args.seed is not None and not 0 <= args.seed < 1 << 64:
        raise CliError(f"--seed must be 0 to 2**64 - 1, not {args.seed}", EXIT_USAGE)
    return XInitial(args.x_initial, args.seed)



# ---------------------------------------------------------------- command


class _Vcd:
    """The --vcd file: a recorder writing into an OutputFile."""

    def __init__(
        self, path: str, scope: str, bus_ids: Sequence[str], first: Row, clocks: tuple[list[int], list[str]],
        inputs: Sequence[int],
    ):
        from ..waves.vcd import VcdRecorder

        self.path = path
        self.file = OutputFile(path)
        try:
            self.recorder: VcdRecorder = VcdRecorder(self.file.stream, scope, bus_ids, first, *clocks, inputs)
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
    pokes = dict(parse_assignment(item, "--poke") for item in args.poke)
    start = x_initial(args)
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
            sim = simulator(args.ir, text, start)
            ports = recorded_ports(args.ir, text, sim.bus_ids)
            nets = recorded_nets(args.ir, text)
            del text
            names = Names(sim.bus_ids, ports, args.allow_unknown, warn, nets)
            try:
                stepper = Stepper(sim, shown_names(sim.bus_ids, names, args.show, args.busses), names)
                stepper.start(settings, pokes=pokes)
            except StepError as exc:
                raise CliError(str(exc)) from None
            first = stepper.row()
            clocks = stepper.clock_columns()
            inputs = stepper.input_columns() if args.vcd or args.wave else []
            if args.vcd:
                vcd = _Vcd(args.vcd, sim.id, stepper.shown, first, clocks, inputs)
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
                _draw_wave(args.wave, stepper.shown, wave, sim.id, values, clocks, inputs)
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
    path: str, shown: Sequence[str], rows: list[Row], title: str, values: ValueText, clocks: tuple[list[int], list[str]],
    inputs: Sequence[int],
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
        input_names = {shown[i] for i in inputs}
        picture = encode(wave_svg(order, steps, title, values.value, clock_names, input_names), suffix)
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
    columns = values.columns()
    with _progress(*progress) as bar:
        for source in sources:
            for block, first_line in source:
                text, rows, error = "", [], None
                try:
                    layout = steps.layout(step + 1) if direct else None
                    if layout is not None:
                        text = stepper.run_block_text(block, first_line, (*layout, columns), source.where)
                    else:
                        rows = stepper.run_block(block, first_line, source.where)
                except BlockFault as fault:
                    text, rows, error = fault.text, fault.rows, CliError(str(fault.error))
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
values: a value in --set, --poke or a vector line is
  - a bit string: digits 0 and 1 only, element 0 (bit 0, the least significant) first,
    exactly as many as the bus or port has bits ("0101" for a 4-bit port is ten);
  - or a number, most significant digit first: 10, -3, 0x52e6, 0b1010, 0o17, or a Verilog
    literal 16'h52e6, 'd10, 8'b0000_0101 (underscores may separate digits). A number must
    fit the width; a negative one is two's complement. In a vector line a JSON number is
    decimal: {"a": 10}.
  Only 0s and 1s of exactly the width are a bit string: for a 16-bit port "10" is ten,
  for an 8-bit one "1" is one; for a 2-bit one "10" is bits (one), said once on stderr.
  Values are shown as numbers in --radix (hex 0x52e6, bin 0b0101, dec 21222), a 1-bit value
  as 0 or 1; the VCD holds bits, most significant first.

writes: --set and vector lines write inputs only; a name that is an output, driven by
  logic or a register's state is an error. --poke NAME=VALUE sets a register's state
  (a port, net or bus that holds only registers' q's) in step 0.

steps: step 0 is the state after --poke and --set (one update, no clock edge; asynchronous
  resets apply). Each vector line, then each of --cycles N, is one step: for a design with
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
        help="input value (port or bus) applied before any vector, in step 0 (repeatable)",
    )
    parser.add_argument(
        "--poke", metavar="ID=VALUE", action="append", default=[],
        help="register state (a port, net or bus of registers' q's) set in step 0 (repeatable)",
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
        help="print and record only these ports, nets or busses, in this order (repeatable)",
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
    add_start_options(parser)
    parser.set_defaults(handler=command_run)


def add_start_options(parser: argparse.ArgumentParser) -> None:
    """--x-initial and --seed, which nimbo run and nimbo regress share."""
    parser.add_argument(
        "--x-initial", choices=X_INITIAL_MODES, default="zero",
        help="what registers without an initial value start as: all 0, all 1, or random bits (default: zero)",
    )
    parser.add_argument(
        "--seed", metavar="N", type=int,
        help="the seed of --x-initial random, 0 to 2**64 - 1 (default: 0); the same seed gives the same bits",
    )


def add_name_options(parser: argparse.ArgumentParser, radix: str, busses: str) -> None:
    """--radix, --busses and --allow-unknown, which nimbo run and nimbo
    regress share; `radix` and `busses` are their help texts."""
    parser.add_argument("--radix", choices=RADIXES, default="hex", help=radix)
    parser.add_argument("--busses", action="store_true", help=busses)
    parser.add_argument(
        "--allow-unknown", action="store_true",
        help="warn about names that are neither a bus nor a port, and go on without them (default: an error)",
    )
