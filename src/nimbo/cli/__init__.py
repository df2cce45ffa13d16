"""The ``nimbo`` command line: run a circuit from its IR, or check an IR.

Every failure is reported as one line on standard error; the exit status is
0 on success, 1 when the input is bad, the circuit fails or an output cannot
be written, 2 for a usage error, 130 when interrupted (128 + the signal
number for SIGTERM and SIGHUP).
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import TextIO

from .. import __version__
from . import check, import_cmd, regress, run
from .errors import (
    EXIT_FAILURE,
    EXIT_INTERRUPTED,
    EXIT_USAGE,
    PROG,
    CliError,
    OutputError,
    Parser,
    flush,
    message_of,
    say,
    usage_hint,
)
from ..text import clip


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=PROG, description="Simulate gate-level circuits described as nimbo IR (JSON).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    run.register(commands)
    check.register(commands)
    import_cmd.register(commands)
    regress.register(commands)
    return parser


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived; raised so that cleanup runs."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


@contextmanager
def _signals_raise() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Terminated while the command runs, so that a
    partly written output file is removed; only in the main thread."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {signum: signal.signal(signum, _terminate) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def _tolerant(stream: TextIO) -> None:
    """Characters the stream's encoding lacks are written as escapes instead
    of failing the run."""
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        try:
            reconfigure(errors="backslashreplace")
        except (ValueError, OSError):
            pass


def _drop_stdout() -> None:
    """After standard output failed, points it at the null device so that
    the interpreter's last flush at exit does not fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def _exit_status(code: object) -> int:
    return code if isinstance(code, int) else (0 if code is None else EXIT_FAILURE)


@contextmanager
def _buffered_stdout() -> Iterator[TextIO]:
    """Standard output as a buffered text stream of its own, also set as
    sys.stdout while the command runs. An unbuffered sys.stdout
    (PYTHONUNBUFFERED, python -u) writes straight to the file and drops the
    rest of a short write without an error; a buffered writer retries and
    reports the failure."""
    saved = sys.stdout
    try:
        fd = saved.fileno()
        saved.flush()
        line_buffered = saved.isatty()
        stream: TextIO = open(
            fd, "w", buffering=1 if line_buffered else -1, encoding=saved.encoding, errors="backslashreplace",
            closefd=False,
        )
    except (AttributeError, ValueError, OSError):
        _tolerant(saved)
        yield saved
        return
    sys.stdout = stream
    try:
        yield stream
    finally:
        sys.stdout = saved
        try:
            stream.close()  # flushes what a failed command printed before failing
        except (OSError, ValueError):
            _drop_stdout()


def main(argv: list[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the command line; `out` replaces standard output (for tests)."""
    _tolerant(sys.stderr)
    if out is not None:
        return _main(argv, out, to_stdout=False)
    with _buffered_stdout() as stdout:
        return _main(argv, stdout, to_stdout=True)


def _main(argv: list[str] | None, out: TextIO, to_stdout: bool) -> int:
    command: str | None = None
    try:
        with _signals_raise():
            try:
                args, extra = build_parser().parse_known_args(argv)
            except SystemExit as exc:  # --help and --version print and stop
                flush(sys.stdout)
                return _exit_status(exc.code)
            command = args.command
            if extra:
                raise CliError(f"unrecognized arguments: {' '.join(extra)}", EXIT_USAGE)
            status: int = args.handler(args, out)
            flush(out)
            return status
    except CliError as exc:
        if isinstance(exc, OutputError) and to_stdout:
            _drop_stdout()
        text = str(exc)
        if exc.status == EXIT_USAGE and "--help" not in text:
            text += f" ({usage_hint(command)})"
        say(f"{PROG}: error: {message_of(exc, text)}")
        return exc.status
    except KeyboardInterrupt as exc:
        say(f"{PROG}: {message_of(exc, 'interrupted')}")
        return EXIT_INTERRUPTED
    except Terminated as exc:
        say(f"{PROG}: {message_of(exc, 'terminated by ' + str(exc))}")
        return 128 + exc.signum
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        say(f"{PROG}: error: {message_of(exc, where + (exc.strerror or str(exc)))}")
        return EXIT_FAILURE
    except MemoryError as exc:
        say(f"{PROG}: error: {message_of(exc, 'out of memory')}")
        return EXIT_FAILURE
    except Exception as exc:  # a fault of nimbo itself: still one line
        say(f"{PROG}: error: internal error: {type(exc).__name__}: {clip(message_of(exc))}")
        return EXIT_FAILURE
    except BaseException as exc:
        if isinstance(exc, SystemExit):
            raise
        # nimbo.core.PanicException: a fault inside the native core.
        say(f"{PROG}: error: internal error in the native core: {clip(message_of(exc))}")
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
