"""`nimbo check`: render a circuit, print its size and what looks wrong in its IR."""

from __future__ import annotations

import argparse
import json
from typing import TextIO

from ..lint import Report, engine_widths, lint
from ..ports import plural
from .common import EXIT_FAILURE, EXIT_OK, CliError, loading_native, read_text, render_errors


def print_report(report: Report, out: TextIO) -> None:
    print(f"component:     {report.component}", file=out)
    print(f"busses:        {report.busses}", file=out)
    print(f"driven busses: {report.driven}", file=out)
    print(f"gates:         {report.gates}", file=out)
    if report.widest is None:
        print("widest bus:    none", file=out)
    else:
        print(f"widest bus:    {report.widest[0]} ({plural(report.widest[1], 'bit')})", file=out)
    for finding in report.findings:
        print(f"{'warning' if finding.is_warning else 'note'}: {finding.message}", file=out)


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
    if args.format == "json":
        print(json.dumps(report.to_json(), ensure_ascii=False), file=out)
    else:
        print_report(report, out)
    return EXIT_FAILURE if args.strict and report.warnings else EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    parser = commands.add_parser(
        "check",
        help="render a circuit, print its size and warn about IR the renderer accepts but that misleads",
        description=(
            "Render the IR and print its size, then one line per finding: a reader missing from an influence "
            "list, a reference to a missing bus, an unusable initial value, a declared width that the "
            "assignment changes, a bus never read and never driven (ports count as used); feedback loops are "
            "noted. Widths are those after the first update."
        ),
    )
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    parser.add_argument("--format", choices=("text", "json"), default="text", help="output format (default: text)")
    parser.set_defaults(handler=command_check)
