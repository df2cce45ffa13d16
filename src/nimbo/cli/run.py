"""`nimbo run`: render a circuit, apply inputs and print every bus."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Iterator, TextIO

from ..ir import Circuit
from ..ports import PortError, PortView, ports_from_text
from ..vcd import VcdRecorder, WidthChangeError
from ..wave import WaveUnavailable, write_wave
from .common import EXIT_OK, CliError, load, parse_assignment, read_text, read_vectors, warn

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


def _apply(component, inputs: dict[str, str], where: str, view: PortView) -> dict[str, str]:
    try:
        return view.values(component.update_and_get(view.inputs(inputs)))
    except (RuntimeError, PortError) as exc:
        raise CliError(f"{where}: {exc}") from None


def _known(inputs: dict[str, str], circuit: Circuit, where: str, warned: set[str], view: PortView) -> dict[str, str]:
    for bus_id in inputs:
        if bus_id not in circuit.busses and bus_id not in view.ports and bus_id not in warned:
            warned.add(bus_id)
            warn(f"{where}: no bus named '{bus_id}'; ignored")
    return inputs


def _progress(total: int):
    from tqdm import tqdm

    # Shown only on a terminal, and only once the run has taken a second.
    return tqdm(total=total, unit="step", file=sys.stderr, delay=1.0, disable=None, leave=False)


def draw_wave(path: str, order: list[str], steps: list[dict[str, str]], title: str) -> None:
    try:
        write_wave(path, order, steps, title)
    except WaveUnavailable as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror}") from None


def command_run(args: argparse.Namespace, out: TextIO) -> int:
    settings = dict(parse_assignment(item) for item in args.set)
    steps = read_vectors(args.vectors) if args.vectors else None
    loaded = load(args.ir)
    circuit, component = loaded.circuit, loaded.component
    try:
        ports = {} if args.busses else ports_from_text(read_text(args.ir))
    except (ValueError, PortError) as exc:
        raise CliError(f"{args.ir}: {exc}") from None
    view = PortView(ports, circuit.busses)  # an IR with ports shows its ports
    order = view.order
    warned: set[str] = set()

    values = _apply(
        component, _known(settings, circuit, "--set", warned, view), "--set" if settings else "initial state", view
    )
    shown: list[dict[str, str]] | None = [values] if args.wave else None

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
                    values = _apply(component, _known(inputs, circuit, where, warned, view), where, view)
                    emit(index, values)
                    if shown is not None:
                        shown.append(values)
                    if recorder:
                        recorder.record(index, values)
                    bar.update()
            last = len(steps)
        if recorder:
            recorder.close(last)
        if shown is not None:
            draw_wave(args.wave, order, shown, circuit.id)
    except WidthChangeError as exc:
        raise CliError(f"{args.vcd}: {exc}") from None
    finally:
        if vcd_stream:
            vcd_stream.close()
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("run", help="render a circuit, apply inputs and print every bus")
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.add_argument(
        "--set", metavar="ID=BITS", action="append", default=[], help="input value applied before any vector (repeatable)"
    )
    parser.add_argument("--vectors", metavar="FILE", help="JSON Lines file: one object of bus id to bit string per step")
    parser.add_argument("--vcd", metavar="OUT.vcd", help="also write the run as a Value Change Dump")
    parser.add_argument("--wave", metavar="OUT.svg", help="also draw the shown busses over the steps as an SVG waveform")
    parser.add_argument("--format", choices=("table", "json"), default="table", help="output format (default: table)")
    parser.add_argument(
        "--busses", action="store_true", help="show every bus even when the IR records ports (which are shown by default)"
    )
    parser.set_defaults(handler=command_run)
