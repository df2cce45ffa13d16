"""The ``nimbo`` command line: run a circuit from its IR, or check an IR.

Every failure is reported as one line on standard error; the exit status is
0 on success, 1 when the input is bad or the circuit fails, 2 for a usage
error.
"""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass
from typing import Iterator, NoReturn, TextIO

from .ir import Circuit, IRFormatError, circuit_from_text
from .vcd import VcdRecorder, WidthChangeError

EXIT_OK, EXIT_FAILURE, EXIT_USAGE = 0, 1, 2
PROG = "nimbo"


class CliError(Exception):
    """A failure to report as one line; `status` is the exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE):
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{PROG} --help')", EXIT_USAGE)


def one_line(text: str) -> str:
    return " ".join(str(text).split("\n"))


def warn(message: str) -> None:
    print(f"{PROG}: warning: {one_line(message)}", file=sys.stderr)


# ---------------------------------------------------------------- loading


def read_text(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    except FileNotFoundError:
        raise CliError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{path}: is a directory") from None
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror}") from None


def _core():
    try:
        from . import core
    except ImportError as exc:
        raise CliError(f"the native module nimbo.core cannot be loaded: {exc}") from None
    return core


@dataclass
class Loaded:
    circuit: Circuit
    component: object


def load(path: str) -> Loaded:
    """Renders the IR in `path`; render errors are reported as the renderer words them."""
    text = read_text(path)
    core = _core()
    try:
        component = core.Renderer(text).component
    except RuntimeError as exc:
        raise CliError(f"{path}: {exc}") from None
    try:
        circuit = circuit_from_text(text)
    except (ValueError, IRFormatError, RecursionError) as exc:
        raise CliError(f"{path}: {exc}") from None
    return Loaded(circuit, component)


def parse_assignment(text: str) -> tuple[str, str]:
    bus_id, sep, bits = text.rpartition("=")
    if not sep or not bus_id:
        raise CliError(f"--set expects ID=BITS, got '{text}'", EXIT_USAGE)
    return bus_id, bits


def read_vectors(path: str) -> list[tuple[int, dict[str, str]]]:
    """The steps of a JSON Lines file, each with its line number; blank lines are skipped."""
    steps = []
    for number, line in enumerate(read_text(path).splitlines(), start=1):
        if not line.strip():
            continue
        try:
            step = json.loads(line)
        except json.JSONDecodeError as exc:
            raise CliError(f"{path}:{number}: invalid JSON: {exc.msg} (column {exc.colno})") from None
        if not isinstance(step, dict):
            raise CliError(f"{path}:{number}: expected an object of bus id to bit string")
        for bus_id, bits in step.items():
            if not isinstance(bits, str):
                raise CliError(f"{path}:{number}: the value of '{bus_id}' must be a bit string in quotes")
        steps.append((number, step))
    return steps


# ---------------------------------------------------------------- output


def format_table(order: list[str], values: dict[str, str]) -> Iterator[str]:
    width = max([len("bus")] + [len(bus_id) for bus_id in order])
    yield f"{'bus':<{width}}  value"
    for bus_id in order:
        yield f"{bus_id:<{width}}  {values[bus_id]}"


class StepTable:
    """One row per step, one column per bus, columns as wide as needed."""

    def __init__(self, order: list[str], first: dict[str, str]):
        self.order = order
        self.widths = [max(len(b), len(first[b])) for b in order]
        self.step_width = max(len("step"), 6)

    def header(self) -> str:
        cells = [f"{'step':>{self.step_width}}"] + [f"{b:<{w}}" for b, w in zip(self.order, self.widths)]
        return "  ".join(cells).rstrip()

    def row(self, step: int, values: dict[str, str]) -> str:
        cells = [f"{step:>{self.step_width}}"] + [
            f"{values[b]:<{w}}" for b, w in zip(self.order, self.widths)
        ]
        return "  ".join(cells).rstrip()


def ordered(order: list[str], values: dict[str, str]) -> dict[str, str]:
    return {bus_id: values[bus_id] for bus_id in order}


# ---------------------------------------------------------------- commands


def _apply(component, inputs: dict[str, str], where: str) -> dict[str, str]:
    try:
        return component.update_and_get(inputs)
    except RuntimeError as exc:
        raise CliError(f"{where}: {exc}") from None


def _known(inputs: dict[str, str], circuit: Circuit, where: str, warned: set[str]) -> dict[str, str]:
    for bus_id in inputs:
        if bus_id not in circuit.busses and bus_id not in warned:
            warned.add(bus_id)
            warn(f"{where}: no bus named '{bus_id}'; ignored")
    return inputs


def _progress(total: int):
    from tqdm import tqdm

    # Shown only on a terminal, and only once the run has taken a second.
    return tqdm(total=total, unit="step", file=sys.stderr, delay=1.0, disable=None, leave=False)


def command_run(args: argparse.Namespace, out: TextIO) -> int:
    settings = dict(parse_assignment(item) for item in args.set)
    steps = read_vectors(args.vectors) if args.vectors else None
    loaded = load(args.ir)
    circuit, component = loaded.circuit, loaded.component
    order = list(circuit.busses)
    warned: set[str] = set()

    values = _apply(component, _known(settings, circuit, "--set", warned), "--set" if settings else "initial state")

    recorder = vcd_stream = None
    if args.vcd:
        try:
            vcd_stream = open(args.vcd, "w", encoding="utf-8")
        except OSError as exc:
            raise CliError(f"{args.vcd}: {exc.strerror}") from None
        recorder = VcdRecorder(vcd_stream, circuit.id, order)
    try:
        if recorder:
            recorder.record(0, values)
            for bus_id in recorder.skipped:
                warn(f"{args.vcd}: bus '{bus_id}' has no bits and is left out")
        if steps is None:
            if args.format == "json":
                print(json.dumps(ordered(order, values)), file=out)
            else:
                for line in format_table(order, values):
                    print(line, file=out)
            last = 0
        else:
            table = StepTable(order, values) if args.format == "table" else None
            emit = (
                (lambda k, v: print(table.row(k, v), file=out))
                if table
                else (lambda k, v: print(json.dumps({"step": k, "values": ordered(order, v)}), file=out))
            )
            if table:
                print(table.header(), file=out)
            emit(0, values)
            with _progress(len(steps)) as bar:
                for index, (number, inputs) in enumerate(steps, start=1):
                    where = f"{args.vectors}:{number}"
                    values = _apply(component, _known(inputs, circuit, where, warned), where)
                    emit(index, values)
                    if recorder:
                        recorder.record(index, values)
                    bar.update()
            last = len(steps)
        if recorder:
            recorder.close(last)
    except WidthChangeError as exc:
        raise CliError(f"{args.vcd}: {exc}") from None
    finally:
        if vcd_stream:
            vcd_stream.close()
    return EXIT_OK


def command_check(args: argparse.Namespace, out: TextIO) -> int:
    loaded = load(args.ir)
    circuit = loaded.circuit
    widest = circuit.widest_bus()
    print(f"component:     {circuit.id}", file=out)
    print(f"busses:        {len(circuit.busses)}", file=out)
    print(f"driven busses: {len(circuit.driven)}", file=out)
    print(f"gates:         {circuit.gate_count()}", file=out)
    if widest is None:
        print("widest bus:    none", file=out)
    else:
        print(f"widest bus:    {widest.id} ({widest.width} bits)", file=out)
    return EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Simulate gate-level circuits described as nimbo IR (JSON).")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    run = commands.add_parser("run", help="render a circuit, apply inputs and print every bus")
    run.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    run.add_argument(
        "--set", metavar="ID=BITS", action="append", default=[], help="input value applied before any vector (repeatable)"
    )
    run.add_argument("--vectors", metavar="FILE", help="JSON Lines file: one object of bus id to bit string per step")
    run.add_argument("--vcd", metavar="OUT.vcd", help="also write the run as a Value Change Dump")
    run.add_argument("--format", choices=("table", "json"), default="table", help="output format (default: table)")
    run.set_defaults(handler=command_run)

    check = commands.add_parser("check", help="render a circuit only and print its size")
    check.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    check.set_defaults(handler=command_check)
    return parser


def main(argv: list[str] | None = None, out: TextIO | None = None) -> int:
    out = sys.stdout if out is None else out
    try:
        args = build_parser().parse_args(argv)
        return args.handler(args, out)
    except CliError as exc:
        print(f"{PROG}: error: {one_line(exc)}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        sys.stderr.close()  # the reader went away; nothing more to say
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
