"""`nimbo check`: render a circuit, print its size and what looks wrong in its IR."""

from __future__ import annotations

import argparse
import json
import re
from typing import TextIO

from ..lint import ClockDomain, Finding, MemorySummary, Report, engine_widths, lint
from ..ports import plural
from .errors import EXIT_FAILURE, EXIT_OK, CliError
from .files import loading_native, read_text, render_errors

# How the simulator words a register or memory record it refuses.
_RECORD_ERROR = re.compile(r"Failed to render circuit: '?(registers|memories)")


def _domain_line(domain: ClockDomain) -> str:
    parts = [f"{domain.registers} ({plural(domain.bits, 'bit')})"]
    if domain.enables:
        parts.append(f"{domain.enables} with an enable")
    if domain.async_resets:
        parts.append(f"{domain.async_resets} with an asynchronous reset")
    return f"  {domain.clock} {domain.edge}: " + ", ".join(parts)


def _memory_line(memory: MemorySummary) -> str:
    parts = [f"{plural(memory.words, 'word')} of {plural(memory.width, 'bit')}"]
    if memory.asynchronous_reads:
        parts.append(plural(memory.asynchronous_reads, "asynchronous read port"))
    if memory.synchronous_reads:
        parts.append(plural(memory.synchronous_reads, "synchronous read port"))
    parts.append(plural(memory.writes, "write port"))
    return f"  {memory.name}: " + ", ".join(parts)


def print_report(report: Report, out: TextIO) -> None:
    print(f"component:     {report.component}", file=out)
    print(f"busses:        {report.busses}", file=out)
    print(f"driven busses: {report.driven}", file=out)
    print(f"gates:         {report.gates}", file=out)
    if report.widest is None:
        print("widest bus:    none", file=out)
    else:
        print(f"widest bus:    {report.widest[0]} ({plural(report.widest[1], 'bit')})", file=out)
    if report.domains:
        bits = sum(domain.bits for domain in report.domains)
        print(
            f"registers:     {report.registers} ({plural(bits, 'bit')}) in "
            f"{plural(len(report.domains), 'clock domain')}",
            file=out,
        )
        for domain in report.domains:
            print(_domain_line(domain), file=out)
    if report.memories:
        print(f"memories:      {len(report.memories)}", file=out)
        for memory in report.memories:
            print(_memory_line(memory), file=out)
    if report.nets:
        print(f"nets:          {report.nets}", file=out)
    for finding in report.findings:
        kind = "error" if finding.is_error else "warning" if finding.is_warning else "note"
        print(f"{kind}: {finding.message}", file=out)


def record_finding(text: str) -> Finding | None:
    """The simulator's reason for refusing the register or memory records of
    an IR that renders (an error); None when it takes them. Only the records are judged here:
    an IR whose initial state does not settle is nimbo run's to report."""
    if '"registers"' not in text and '"memories"' not in text:
        return None
    with loading_native():
        from .. import Simulator
    try:
        Simulator(text)
    except RuntimeError as exc:
        found = _RECORD_ERROR.match(str(exc))
        if found:
            return Finding("register" if found.group(1) == "registers" else "memory", (), str(exc))
    return None


def command_check(args: argparse.Namespace, out: TextIO) -> int:
    text = read_text(args.ir)
    with loading_native():
        from ..core import Renderer
    with render_errors(args.ir):
        widths = engine_widths(Renderer(text).component)
    try:
        report = lint(json.loads(text), widths)
    except (ValueError, RecursionError) as exc:
        raise CliError(f"{args.ir}: {exc}") from None
    refused = record_finding(text)
    if refused is not None:
        report.findings.insert(0, refused)
    if args.format == "json":
        print(json.dumps(report.to_json(), ensure_ascii=False), file=out)
    else:
        print_report(report, out)
    if report.errors or (args.strict and report.warnings):
        return EXIT_FAILURE
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    parser = commands.add_parser(
        "check",
        help="render a circuit, print its size and warn about IR the renderer accepts but that misleads",
        description=(
            "Render the IR and print its size, its registers (per clock and edge), its memories and how many named "
            "vectors (nets) it records, then one line per finding: register and memory records the simulator refuses "
            "(errors: exit status 1), a reader missing from an influence list, a reference to a missing bus, an "
            "unusable initial value, a declared width that the assignment changes, a bus never read and never driven "
            "(ports count as used; registers read their d, clock, enable and reset and drive their q; memories drive "
            "their read data and read their ports' other busses; the named vectors of an import (nets) count as read, "
            "as ports do), a register or memory read that nothing reads, a clock taken as data; feedback loops are "
            "noted. Widths are those after the first update."
        ),
    )
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    parser.add_argument("--format", choices=("text", "json"), default="text", help="output format (default: text)")
    parser.set_defaults(handler=command_check)
