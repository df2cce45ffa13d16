"""The ``nimbo`` command line: run a circuit from its IR, or check an IR.

Every failure is reported as one line on standard error; the exit status is
0 on success, 1 when the input is bad or the circuit fails, 2 for a usage
error.
"""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from .. import __version__
from . import check, import_cmd, run
from .common import EXIT_FAILURE, PROG, CliError, Parser, one_line


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=PROG, description="Simulate gate-level circuits described as nimbo IR (JSON).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    run.register(commands)
    check.register(commands)
    import_cmd.register(commands)
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
