"""Files of the command line: reading the IR (rendered natively) and the
vectors a block of lines at a time, and output files that appear only when a
run succeeds."""

from __future__ import annotations

import io
import os
import shlex
import stat
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, TextIO, cast

from ..atomic import AtomicFile
from .errors import EXIT_USAGE, CliError
from ..stepping import RUN_SHOWN, XInitial
from ..text import clip

if TYPE_CHECKING:
    from .. import Simulator


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


def simulator(path: str, text: str, start: XInitial = XInitial()) -> Simulator:
    """Renders the IR `text` (read from `path`) once, natively, its
    uninitialised state started as `start` says; render errors are reported
    as the renderer words them."""
    with loading_native():
        from .. import Simulator  # noqa: F401  (a broken install fails here, in its words)
    with render_errors(path):
        return start.simulator(text)


VERILOG_SUFFIXES = (".v", ".sv", ".vh", ".svh")


@contextmanager
def render_errors(path: str) -> Iterator[None]:
    """A render refused (RuntimeError) becomes one line naming `path`; a
    Verilog file given where IR belongs gets the command that imports it."""
    try:
        yield
    except RuntimeError as exc:
        error = CliError(f"{path}: {clip(str(exc), RUN_SHOWN)}")
        if "Failed to parse IR JSON" in str(exc) and path.lower().endswith(VERILOG_SUFFIXES):
            ir = shlex.quote(os.path.splitext(os.path.basename(path))[0] + ".json")
            error.add_note(f"this looks like Verilog: turn it into IR with: nimbo import {shlex.quote(path)} -o {ir}")
        raise error from None


class VectorBlocks:
    """A JSON Lines file of vectors, read a block of whole lines at a time so
    that memory stays flat however long the file is. The path "-" stands for
    standard input (named "<stdin>" in messages)."""

    BLOCK = 1 << 20
    LONGEST_LINE = 256 << 20
    STDIN = "-"

    def __init__(self, path: str):
        self.path = path
        self._owned = path != self.STDIN
        try:
            if self._owned:
                self._stream: io.BufferedReader = open(path, "rb")
            else:
                self.path = "<stdin>"
                if sys.stdin is None:
                    raise CliError("--vectors -: standard input is closed")
                self._stream = cast(io.BufferedReader, sys.stdin.buffer)
            info = os.fstat(self._stream.fileno())
        except OSError as exc:
            raise _os_error(self.path, exc) from None
        if stat.S_ISDIR(info.st_mode):
            self.close()
            raise CliError(f"{path}: is a directory")
        # The size, for a progress bar; None when the file is not a regular one.
        self.size = info.st_size if stat.S_ISREG(info.st_mode) else None
        # The number of the line after the last block handed out, when its
        # reader knows it (the simulator counts the lines it reads), which
        # saves counting them here.
        self.next_line: int | None = None

    def where(self, line: int) -> str:
        """Where line number `line` is, for messages."""
        return f"{self.path}:{line}"

    def count_lines(self) -> int | None:
        """The lines of a regular file (a last one without its newline
        included), read beside the stream without moving it; None for a pipe."""
        if self.size is None:
            return None
        fd, offset, lines, last = self._stream.fileno(), 0, 0, b"\n"
        try:
            while chunk := os.pread(fd, self.BLOCK, offset):
                lines += chunk.count(b"\n")
                offset += len(chunk)
                last = chunk[-1:]
        except OSError:
            return None
        return lines + (last != b"\n")

    def close(self) -> None:
        if self._owned:
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

