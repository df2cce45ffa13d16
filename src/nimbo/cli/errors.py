"""Errors and warnings of the command line: each failure one line on
standard error with an exit status, usage errors included."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, NoReturn, TextIO

from ..text import one_line

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
PROG = "nimbo"


class CliError(Exception):
    """A failure to report as one line; `status` is the exit status. Notes
    added with `add_note` are appended to the line, separated by '; '."""

    def __init__(self, message: str, status: int = EXIT_FAILURE):
        super().__init__(message)
        self.status = status


class OutputError(CliError):
    """Writing to standard output failed."""


def output_error(exc: OSError) -> OutputError:
    if isinstance(exc, BrokenPipeError):
        return OutputError("standard output was closed before the run ended")
    return OutputError(f"standard output: {exc.strerror or exc}")


def flush(stream: TextIO) -> None:
    try:
        stream.flush()
    except OSError as exc:
        raise output_error(exc) from None


def usage_hint(command: str | None) -> str:
    """Where a usage error sends the user: the help of the command."""
    return f"see '{PROG} {command} --help'" if command else f"see '{PROG} --help'"


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} ({usage_hint(self.prog.partition(' ')[2] or None)})", EXIT_USAGE)

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse drops write errors; help and version text that cannot be
        # written to standard output is a failure.
        if not message:
            return
        stream = file or sys.stderr
        try:
            stream.write(message)
        except OSError as exc:
            if stream is sys.stderr:
                return
            raise output_error(exc) from None


def message_of(exc: BaseException, text: str | None = None) -> str:
    """The exception's text (or `text`) followed by its notes, on one line."""
    parts = [str(exc) if text is None else text, *getattr(exc, "__notes__", [])]
    return one_line("; ".join(part for part in parts if part))


def say(line: str) -> None:
    """Writes one line to standard error; a standard error that cannot take
    it is not worth another failure."""
    try:
        print(one_line(line), file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def warn(message: str) -> None:
    say(f"{PROG}: warning: {message}")
