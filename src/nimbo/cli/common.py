"""What every command of the command line shares: errors and warnings, the
text forms of ids and values in messages, loading inputs and writing output
files that appear only when a run succeeds."""

from __future__ import annotations

import argparse
import io
import json
import os
import re
import stat
import sys
import unicodedata
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, NoReturn, TextIO

from ..atomic import AtomicFile

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

    from .. import Simulator

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


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{PROG} --help')", EXIT_USAGE)

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


def one_line(text: object) -> str:
    return " ".join(str(text).splitlines())


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


# ---------------------------------------------------------------- text forms

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
_COMBINING = ("Mn", "Me")
# Ids made of these characters are shown as they are.
_PLAIN_ASCII = re.compile(r"[!#-\[\]-~]+")
_BITS = re.compile(r"[01]*")
VALUE_SHOWN = 40  # characters of a value that a message shows


def _escaped(ch: str) -> str:
    special = _ESCAPES.get(ch)
    if special is not None:
        return special
    if ch.isprintable() and unicodedata.category(ch) not in _COMBINING:
        return ch
    return f"\\u{{{ord(ch):x}}}"


def quote(text: str) -> str:
    """The quoted form the native core uses for ids: the text in double
    quotes; quotes, backslashes, control, unprintable and combining
    characters escaped (\\n, \\u{301}, ...)."""
    return '"' + "".join(_escaped(ch) for ch in text) + '"'


def _bare(ch: str) -> bool:
    return ch not in _ESCAPES and ch.isprintable() and not ch.isspace() and unicodedata.category(ch) not in _COMBINING


def show_id(bus_id: str) -> str:
    """An id as tables and messages show it: as it is when every character
    is visible and none is a space, a quote or a backslash; quoted otherwise,
    so that an id never splits a line or hides its characters."""
    if _PLAIN_ASCII.fullmatch(bus_id) or (bus_id and all(_bare(ch) for ch in bus_id)):
        return bus_id
    return quote(bus_id)


def show_name(bus_id: str, limit: int = VALUE_SHOWN) -> str:
    """An id as messages name it: as show_id shows it, and one longer than
    `limit` characters cut there with its length given, as values are."""
    if len(bus_id) <= limit:
        return show_id(bus_id)
    return f"{quote(bus_id[:limit])}... ({len(bus_id)} characters)"


def show_value(text: str, limit: int = VALUE_SHOWN) -> str:
    """A value for a message: quoted, and cut after `limit` characters with
    its length given."""
    if len(text) <= limit:
        return quote(text)
    return f"{quote(text[:limit])}... ({len(text)} characters)"


def clip(message: str, limit: int = 300) -> str:
    """A message cut to `limit` characters, with its length given."""
    message = one_line(message)
    if len(message) <= limit:
        return message
    return f"{message[:limit]}... ({len(message)} characters)"


def is_bit_string(text: str) -> bool:
    return _BITS.fullmatch(text) is not None


# ---------------------------------------------------------------- loading


def _os_error(path: str, exc: OSError) -> CliError:
    if isinstance(exc, FileNotFoundError):
        return CliError(f"{path}: no such file")
    if isinstance(exc, IsADirectoryError):
        return CliError(f"{path}: is a directory")
    return CliError(f"{path}: {exc.strerror or exc}")


def progress_wanted(out: TextIO) -> bool:
    """A progress bar goes to standard error when that is a terminal and the
    output is not: on one terminal the two would interleave."""
    return _isatty(sys.stderr) and not _isatty(out)


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def read_text(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise _os_error(path, exc) from None


@contextmanager
def loading_native() -> Iterator[None]:
    """Wraps the import of a native module: one that is missing or fails to
    load (a broken install) becomes one error line."""
    try:
        yield
    except Exception as exc:
        reason = str(exc) if isinstance(exc, ImportError) else f"{type(exc).__name__}: {exc}"
        raise CliError(f"the native module of nimbo cannot be loaded: {clip(reason)}; reinstall nimbo") from None


def simulator(path: str, text: str) -> Simulator:
    """Renders the IR `text` (read from `path`) once, natively; render errors
    are reported as the renderer words them."""
    with loading_native():
        from .. import Simulator
    with render_errors(path):
        return Simulator(text)


@contextmanager
def render_errors(path: str) -> Iterator[None]:
    """A render refused (RuntimeError) becomes one line naming `path`."""
    try:
        yield
    except RuntimeError as exc:
        raise CliError(f"{path}: {clip(str(exc))}") from None


def parse_assignment(text: str) -> tuple[str, str]:
    bus_id, sep, bits = text.rpartition("=")
    if not sep or not bus_id:
        raise CliError(f"--set expects ID=BITS, got {show_value(text)}", EXIT_USAGE)
    return bus_id, bits


class VectorBlocks:
    """A JSON Lines file of vectors, read a block of whole lines at a time so
    that memory stays flat however long the file is."""

    BLOCK = 1 << 20
    LONGEST_LINE = 256 << 20

    def __init__(self, path: str):
        self.path = path
        try:
            self._stream: io.BufferedReader = open(path, "rb")
            info = os.fstat(self._stream.fileno())
        except OSError as exc:
            raise _os_error(path, exc) from None
        if stat.S_ISDIR(info.st_mode):
            self._stream.close()
            raise CliError(f"{path}: is a directory")
        # The size, for a progress bar; None when the file is not a regular one.
        self.size = info.st_size if stat.S_ISREG(info.st_mode) else None
        # The number of the line after the last block handed out, when its
        # reader knows it (the simulator counts the lines it reads), which
        # saves counting them here.
        self.next_line: int | None = None

    def close(self) -> None:
        self._stream.close()

    def __enter__(self) -> VectorBlocks:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _read(self) -> bytes:
        # One read of what is there, so that vectors coming through a pipe
        # are applied as they arrive.
        try:
            return self._stream.read1(self.BLOCK)
        except OSError as exc:
            raise _os_error(self.path, exc) from None

    def __iter__(self) -> Iterator[tuple[bytes, int]]:
        """(block, number of its first line): blocks of whole lines; the last
        one may lack its newline. The reads that end no line are kept apart
        and joined once a read ends the line, so that each byte is copied a
        bounded number of times however long a line is."""
        line = 1
        pending: list[bytes] = []  # reads without a newline: the start of a line
        pending_size = 0
        while chunk := self._read():
            cut = chunk.rfind(b"\n") + 1
            if cut == 0:
                pending.append(chunk)
                pending_size += len(chunk)
                if pending_size > self.LONGEST_LINE:
                    raise CliError(f"{self.path}:{line}: line longer than {self.LONGEST_LINE >> 20} MiB")
                continue
            head = chunk if cut == len(chunk) else chunk[:cut]
            block = b"".join([*pending, head]) if pending else head
            pending = [chunk[cut:]] if cut < len(chunk) else []
            pending_size = len(chunk) - cut
            self.next_line = None
            yield block, line
            line = self.next_line if self.next_line is not None else line + block.count(b"\n")
        if pending:
            yield b"".join(pending), line


def parse_vector(raw: bytes, where: str) -> dict[str, str] | None:
    """One line of a vectors file: an object of bus id to bit string, or
    None for a blank line."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CliError(f"{where}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    if not text.strip():
        return None
    try:
        step = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"{where}: invalid JSON: {exc.msg} (column {exc.colno})") from None
    except RecursionError:
        raise CliError(f"{where}: invalid JSON: nested too deeply") from None
    if not isinstance(step, dict):
        raise CliError(f"{where}: expected an object of bus id to bit string")
    for bus_id, bits in step.items():
        if not isinstance(bits, str):
            raise CliError(f"{where}: the value of {show_name(bus_id)} must be a bit string in quotes")
    return step


def line_of(block: bytes, first_line: int, line: int) -> bytes:
    """Line number `line` of a block whose first line is `first_line`."""
    start = 0
    for _ in range(line - first_line):
        start = block.index(b"\n", start) + 1
    end = block.find(b"\n", start)
    return block[start:] if end < 0 else block[start:end]


# ---------------------------------------------------------------- output


def refuse_inputs(output: str, inputs: Sequence[str], option: str) -> None:
    """Refuses an output path that names one of the input files, also
    through a symbolic or hard link."""
    for path in inputs:
        try:
            same = os.path.samefile(output, path)
        except (OSError, ValueError):
            continue
        if same:
            raise CliError(f"{option} {output}: that is the input file {path}; refusing to overwrite it", EXIT_USAGE)


class OutputFileError(CliError):
    """The output file could not be created."""


class OutputFile(AtomicFile):
    """A text file that appears at its path only when `commit` is called
    (see nimbo.atomic); failures are one error line naming the path."""

    def __init__(self, path: str):
        try:
            super().__init__(path)
        except IsADirectoryError:
            raise OutputFileError(f"{path}: is a directory") from None
        except FileNotFoundError as exc:
            raise OutputFileError(f"{path}: no such directory: {exc.filename}") from None
        except OSError as exc:
            raise OutputFileError(f"{path}: cannot write: {exc.strerror or exc}") from None

    def commit(self) -> None:
        try:
            super().commit()
        except OSError as exc:
            raise _os_error(self.path, exc) from None

    def __enter__(self) -> OutputFile:
        return self

    def __exit__(self, kind: object, error: BaseException | None, trace: object) -> None:
        """Commits after a block that ended well; otherwise discards, and a
        note on the error says what became of the file."""
        try:
            if error is None:
                self.commit()
                return
        except BaseException as failed:
            error = failed
            raise
        finally:
            if error is not None:
                self.discard()
                error.add_note(f"{self.path} {'is incomplete' if self.written_directly else 'was not written'}")
