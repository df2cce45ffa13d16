"""`nimbo regress`: run many vector sets on a Dask cluster and summarise."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import TextIO

from ..regression.pieces import DIGEST_BLOCK, SetFault
from ..regression.coordinator import (
    DASK_HINT,
    DEFAULT_CHUNK,
    KEEPS,
    ClusterError,
    DaskMissing,
    Regression,
    RenderError,
    SetResult,
    UnknownName,
    connect,
    default_workers,
    import_distributed,
    _regress,
    prepare,
    read_reference,
)
from .run import add_name_options, add_start_options, x_initial
from .common import (
    EXIT_FAILURE,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    CliError,
    OutputFile,
    Parser,
    clip,
    output_error,
    progress_wanted,
    read_text,
    refuse_inputs,
    say,
    show_name,
    warn,
)


def _sets(arguments: list[str]) -> list[Path]:
    """The set files: each argument, or the *.jsonl files of a directory."""
    paths: list[Path] = []
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            found = sorted(path.glob("*.jsonl"))
            if not found:
                raise CliError(f"{argument}: no .jsonl files in this directory")
            paths.extend(found)
        else:
            paths.append(path)
    return paths


def _count(number: float) -> str:
    return f"{number:,.0f}"


def _fault_parts(fault: SetFault) -> list[str]:
    parts = [f"vector {fault.index}"] if fault.line is None and fault.index is not None else []
    if fault.bus is not None and fault.expected is None:
        parts.append(f"{fault.kind} {show_name(fault.bus)}")
    return [*parts, clip(fault.reason)]


def fault_text(name: str, fault: SetFault) -> str:
    """A failed set's fault as one line, "NAME:LINE: bus ID: REASON", with
    the vector's index where there is no line."""
    return ": ".join([name if fault.line is None else f"{name}:{fault.line}", *_fault_parts(fault)])


def summary(regression: Regression) -> list[str]:
    """A table of the sets and a closing line of totals."""
    rows = [("set", "result", "check", "vectors", "detail")]
    for result in regression.results:
        fault = result.fault
        detail = ""
        if fault is not None:
            detail = ": ".join(([f"line {fault.line}"] if fault.line is not None else []) + _fault_parts(fault))
        check = "+".join(
            (["expect"] if result.compared else []) + (["reference"] if result.reference else [])
        ) or "run only"
        rows.append((result.name, "passed" if result.passed else "FAILED", check, _count(result.vectors), detail))
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    lines = [
        f"{name:<{widths[0]}}  {status:<{widths[1]}}  {check:<{widths[2]}}  {vectors:>{widths[3]}}  {detail}".rstrip()
        for name, status, check, vectors, detail in rows
    ]
    failed = sum(not result.passed for result in regression.results)
    checked = regression.checked
    seconds = regression.seconds
    rate = regression.vectors / seconds if seconds > 0 else 0.0
    count = len(regression.results)
    lines.append(
        f"{count} set{'s' if count != 1 else ''}: {count - failed} passed ({checked} checked, "
        f"{count - failed - checked} run only), {failed} failed; "
        f"{_count(regression.vectors)} vectors in {seconds:.1f} s ({_count(rate)} vectors/s) "
        f"on {regression.workers} worker{'s' if regression.workers != 1 else ''}"
    )
    return lines


class _Writer:
    """Writes each set's record as it arrives and reports its faults."""

    def __init__(self, stream: TextIO, path: str | None):
        self.stream = stream
        self.path = path
        self.warned: set[str] = set()

    def __call__(self, result: SetResult) -> None:
        try:
            self.stream.write(json.dumps(result.record()) + "\n")
            if self.path is None:
                self.stream.flush()
        except OSError as exc:
            if self.path is None:
                raise output_error(exc) from None
            raise CliError(f"{self.path}: {exc.strerror or exc}") from None
        result.values = None  # written; the summary needs only the counts
        if result.fault is not None:
            say(f"{PROG}: error: {fault_text(result.name, result.fault)}")


def command_regress(args: argparse.Namespace, out: TextIO) -> int:
    if args.scheduler is not None and args.workers is not None:
        raise CliError("--workers sets the size of the local cluster; it cannot go with --scheduler", EXIT_USAGE)
    if args.workers is not None and args.workers < 1:
        raise CliError(f"--workers must be at least 1, not {args.workers}", EXIT_USAGE)
    if args.chunk < 0 or args.chunk % DIGEST_BLOCK:
        raise CliError(f"--chunk must be 0 or a multiple of {DIGEST_BLOCK}, not {args.chunk}", EXIT_USAGE)
    try:
        import_distributed()
    except DaskMissing:
        raise CliError(f"nimbo regress needs Dask: {DASK_HINT}") from None

    start = x_initial(args)
    ir = read_text(args.ir)
    sets = _sets(args.sets)
    if args.vcd_dir is not None:
        try:
            Path(args.vcd_dir).mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise CliError(f"{args.vcd_dir}: {exc.strerror or exc}") from None
    reference = None
    if args.reference is not None:
        try:
            reference = read_reference(args.reference)
        except OSError as exc:
            raise CliError(f"{args.reference}: {exc.strerror or exc}") from None
        except ValueError as exc:
            raise CliError(clip(str(exc))) from None
    output = None
    if args.out is not None and args.out != "-":
        refuse_inputs(args.out, [args.ir, *map(str, sets)] + ([args.reference] if args.reference else []), "--out")
        output = OutputFile(args.out)  # appears when the run ends, failed sets or not
    results_stream = out if output is None else output.stream
    summary_stream = sys.stderr if output is None else out

    where = f"the scheduler at {args.scheduler}" if args.scheduler else "the local cluster"
    # Names are checked before the cluster starts.
    try:
        prepared = prepare(
            ir, [(str(path), path) for path in sets], args.show, args.busses, args.allow_unknown, warn, start
        )
    except UnknownName as exc:
        raise CliError(clip(str(exc), 400)) from None
    except (ValueError, RenderError) as exc:
        raise CliError(f"{args.ir}: {clip(str(exc), 1000)}") from None
    try:
        with connect(args.scheduler, args.workers, quiet=True, warn=warn) as client:
            regression = _regress(
                prepared,
                args.keep,
                args.chunk,
                args.vcd_dir,
                client,
                None,
                None,
                _Writer(results_stream, None if output is None else args.out),
                progress_wanted(results_stream),
                args.radix,
                reference,
            )
        if output is not None:
            output.commit()
    except CliError:
        raise
    except ClusterError as exc:
        raise CliError(clip(str(exc))) from None
    except OSError as exc:
        if exc.filename is not None:  # a file of ours (a VCD): reported with its name
            raise
        raise CliError(f"{where}: {clip(str(exc))}") from None
    except Exception as exc:  # what Dask raises (connection, workers lost): one line
        detail = str(exc) if isinstance(exc, (OSError, ValueError)) else f"{type(exc).__name__}: {exc}"
        raise CliError(f"{where}: {clip(detail)}") from None
    finally:
        if output is not None:
            output.discard()

    try:
        for line in summary(regression):
            print(line, file=summary_stream)
    except OSError as exc:
        raise output_error(exc) from None
    return EXIT_OK if regression.passed else EXIT_FAILURE


def register(commands: argparse._SubParsersAction[Parser]) -> None:
    parser = commands.add_parser(
        "regress",
        help="run many vector sets, each from the initial state, on a Dask cluster",
        description="Run each vector set (a JSON Lines file) from the circuit's initial state, in parallel "
        "on a local Dask cluster or on an existing one (--scheduler), and write one JSON record per set. "
        'A vector line may carry the values its step must give: {"a": 5, "expect": {"y": 11, "c": "x"}}.',
    )
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.add_argument("sets", metavar="SET", nargs="+", help="a JSON Lines file of vectors, or a directory of them")
    parser.add_argument(
        "--show",
        metavar="ID[,ID...]",
        action="append",
        default=[],
        help="ports or busses to report, in this order (repeatable; default: the ports, else every bus)",
    )
    add_name_options(
        parser,
        radix="how multi-bit values are recorded: numbers in hex, bin or dec (default: hex)",
        busses="report every bus even when the IR records ports (shown by default)",
    )
    add_start_options(parser)
    parser.add_argument(
        "--reference", metavar="FILE",
        help="records of an earlier run (its --out) to compare each set with; a set that differs fails",
    )
    parser.add_argument(
        "--keep",
        choices=KEEPS,
        default="all",
        help="what to report per set: the values after every vector, after the last one, or a digest (default: all)",
    )
    parser.add_argument("--out", metavar="FILE", help="write the records there (default: standard output)")
    parser.add_argument("--vcd-dir", metavar="DIR", help="also write one Value Change Dump per set there")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler")
    parser.add_argument(
        "--workers", metavar="N", type=int, help=f"processes of the local cluster (default: {default_workers()})"
    )
    parser.add_argument(
        "--chunk",
        metavar="N",
        type=int,
        default=DEFAULT_CHUNK,
        help=f"split sets of circuits that run as one pass into chunks of N vectors, a multiple of {DIGEST_BLOCK}; "
        f"0: never (default: {DEFAULT_CHUNK})",
    )
    parser.set_defaults(handler=command_regress)
