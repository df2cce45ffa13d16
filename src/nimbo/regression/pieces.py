"""Pieces of vector sets run on one simulator: what a regression's workers
do, without Dask (nimbo.regression.coordinator hands the pieces out, and
nimbo.regression.worker runs them on a Dask worker).

A piece is consecutive vectors of one set, read as ``nimbo run --vectors``
reads them (ports, numbers, expected values); its outcome holds the shown
values as the piece asks (every row, the last, digests of blocks of
``DIGEST_BLOCK`` rows) and the first fault.
"""

from __future__ import annotations

import hashlib
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..ports import Port
from ..stepping import BlockFault, Names, Stepper
from ..text import show_name
from .expect import EXPECT_KEY, ExpectError, columns_of, matches, may_expect, pattern, show_pattern, split_lines

if TYPE_CHECKING:
    from .._engine import Simulator

DIGEST_BLOCK = 1024
# Bytes of JSON Lines per run_jsonl call on a worker at first; later calls
# aim at _CALL_SECONDS each, so that the worker's event loop gets the GIL
# between them.
_FIRST_CALL_BYTES = 64 * 1024
_CALL_SECONDS = 0.2


@dataclass(frozen=True)
class SetFault:
    """Why a set failed: a bad vector (index from 0, and its line when the set
    was JSON Lines), or a set that could not run at all (index None)."""

    index: int | None
    line: int | None
    bus: str | None  # the bus, or the port (see kind), at fault
    reason: str
    kind: str = "bus"  # "port" when `bus` names a port
    # A value that differs from what the step was to give, in the run's radix
    expected: str | None = None
    got: str | None = None


@dataclass(frozen=True)
class Piece:
    """Consecutive vectors of one set: JSON Lines starting at `first_line`,
    run from reset(), after update(preamble) unless it is None. The text is
    `data`, or bytes start..end of the file `path`, which the worker reads
    itself (a worker of a local cluster sees the same files)."""

    data: bytes | None
    path: str | None
    start: int
    end: int
    first_line: int
    preamble: dict[str, str] | None
    show: tuple[str, ...]  # ports or busses
    rows: bool  # send every row back
    digest: bool
    radix: str | None = None  # how mismatches show values (None: bit strings)
    # Names that are not there, past what the coordinator checked: left out,
    # or (False) the set fails there.
    allow_unknown: bool = False

    def text(self) -> bytes:
        if self.path is None:
            assert self.data is not None
            return self.data
        with open(self.path, "rb") as stream:
            stream.seek(self.start)
            return stream.read(self.end - self.start)


@dataclass
class PieceOutcome:
    vectors: int
    rows: list[tuple[str, ...]] | None
    last: tuple[str, ...] | None
    blocks: list[bytes]  # digests of the blocks of DIGEST_BLOCK vectors
    unknown: list[tuple[int, str]]
    fault: SetFault | None  # index counted within the piece
    seconds: float
    compared: int = 0  # expected values compared


class _BlockDigest:
    def __init__(self) -> None:
        self.blocks: list[bytes] = []
        self._hash = hashlib.sha256()
        self._count = 0

    def add(self, rows: list[tuple[str, ...]]) -> None:
        for row in rows:
            self._hash.update(" ".join(row).encode() + b"\n")
            self._count += 1
            if self._count == DIGEST_BLOCK:
                self._close_block()

    def _close_block(self) -> None:
        self.blocks.append(self._hash.digest())
        self._hash = hashlib.sha256()
        self._count = 0

    def finish(self) -> list[bytes]:
        if self._count:
            self._close_block()
        return self.blocks


def _place(line: int) -> str:
    return f"line {line}"


def _reader(
    simulator: Simulator,
    piece: Piece,
    ports: Mapping[str, Port],
    extra: Sequence[str],
    nets: Mapping[str, Sequence[str]] | None = None,
) -> Stepper:
    """What reads a piece's lines as `nimbo run --vectors` reads them,
    reading the shown names and then `extra`. The coordinator checked the
    names of the start of each set, and warned: a name that is not there is
    left out quietly with `allow_unknown`, else the set fails at its line."""
    names = Names(simulator.bus_ids, ports, piece.allow_unknown, nets=nets)
    more = [name for name in extra if name in names and name not in piece.show]
    return Stepper(simulator, (*piece.show, *more), names, threads=1, line_keys=(EXPECT_KEY,), note_bit_strings=False)


class _Checks:
    """Compares the rows of a piece with the expected values of its lines."""

    def __init__(
        self,
        expected: dict[int, dict[str, object]],
        columns: Sequence[str],
        radix: str | None,
        allow_unknown: bool,
        kind: Callable[[str], str],
    ):
        from .._engine import format_value, parse_value

        self.kind = kind  # what a name is in messages: port, net or bus
        self.allow_unknown = allow_unknown
        self.expected = expected
        self.column = {name: index for index, name in reversed(list(enumerate(columns)))}
        self.parse = parse_value
        self.radix = radix
        self.format = format_value
        self.compared = 0

    def show(self, bits: str) -> str:
        return bits if self.radix is None or len(bits) <= 1 else self.format(bits, self.radix)

    def fault(self, row: tuple[str, ...], line: int, index: int, ports: Mapping[str, Port]) -> SetFault | None:
        for name, value in self.expected.get(line, {}).items():
            column = self.column.get(name)
            if column is None:  # a name that is not there
                if self.allow_unknown:
                    continue
                kind = "port or bus" if ports else "bus"  # (the coordinator names nets too)
                return SetFault(index, line, name, f"expect: no {kind} named {show_name(name)}", kind=kind)
            got = row[column]
            kind = self.kind(name)
            try:
                expected = pattern(value, len(got), self.parse)
            except ExpectError as exc:
                return SetFault(index, line, name, f"expect: {kind} {show_name(name)}: {exc}", kind=kind)
            if expected.strip("x"):  # a value all "don't care" checks nothing
                self.compared += 1
            if not matches(expected, got):
                shown_expected, shown_got = show_pattern(expected, self.show), self.show(got)
                reason = f"{kind} {show_name(name)}: expected {shown_expected}, got {shown_got}"
                return SetFault(index, line, name, reason, kind=kind, expected=shown_expected, got=shown_got)
        return None


def _vector_lines(block: bytes, first_line: int) -> list[int]:
    return [first_line + number for number, raw in enumerate(block.split(b"\n")) if raw.strip()]


def run_piece(
    simulator: Simulator,
    piece: Piece,
    ports: Mapping[str, Port] | None = None,
    nets: Mapping[str, Sequence[str]] | None = None,
) -> PieceOutcome:
    """Runs a piece in calls of bounded length; the state carries between
    calls. Lines are read as `nimbo run --vectors` reads them (ports, numbers)
    and their expected values compared after each step."""
    started = time.perf_counter()
    ports = ports or {}
    simulator.reset()
    if piece.preamble is not None:
        simulator.update(piece.preamble)
    data = piece.text()
    expected: dict[int, dict[str, object]] = {}
    if may_expect(data):
        data, expected = split_lines(data, piece.first_line)
    stepper = _reader(simulator, piece, ports, columns_of(expected), nets)
    checks = _Checks(expected, stepper.shown, piece.radix, piece.allow_unknown, stepper.names.kind)
    width = len(piece.show)
    outcome = _Outcome(piece)
    position, line, step = 0, piece.first_line, _FIRST_CALL_BYTES
    while position < len(data) and outcome.fault is None:
        end = len(data) if len(data) - position <= step else data.find(b"\n", position + step) + 1
        end = end or len(data)
        block = data[position:end]
        call_started = time.perf_counter()
        fault: SetFault | None = None
        try:
            rows = stepper.run_block(block, line, _place)
        except BlockFault as error:
            rows = error.rows
            fault = SetFault(outcome.vectors + len(rows), error.error.line, None, error.error.reason)
        outcome.take(rows, width, checks, _vector_lines(block, line) if expected else None, ports)
        if outcome.fault is None:
            outcome.fault = fault
        line = stepper.next_line
        took = time.perf_counter() - call_started
        step = max(4096, min(64 << 20, int((end - position) * _CALL_SECONDS / max(took, 1e-4))))
        position = end
    return outcome.finish(checks.compared, time.perf_counter() - started)


class _Outcome:
    """A piece's outcome as its rows come."""

    def __init__(self, piece: Piece):
        self.vectors = 0
        self.rows: list[tuple[str, ...]] | None = [] if piece.rows else None
        self.digest = _BlockDigest() if piece.digest else None
        self.last: tuple[str, ...] | None = None
        self.fault: SetFault | None = None

    def take(
        self,
        rows: list[tuple[str, ...]],
        width: int,
        checks: _Checks,
        lines: list[int] | None,
        ports: Mapping[str, Port],
    ) -> None:
        if lines is not None:
            for number, (row, line) in enumerate(zip(rows, lines)):
                fault = checks.fault(row, line, self.vectors + number, ports)
                if fault is not None:
                    self.fault = fault
                    rows = rows[: number + 1]
                    break
        if rows and len(rows[0]) != width:
            rows = [row[:width] for row in rows]
        self.vectors += len(rows)
        if rows:
            self.last = rows[-1]
        if self.rows is not None:
            self.rows.extend(rows)
        if self.digest is not None:
            self.digest.add(rows)

    def finish(self, compared: int, seconds: float) -> PieceOutcome:
        blocks = self.digest.finish() if self.digest is not None else []
        return PieceOutcome(self.vectors, self.rows, self.last, blocks, [], self.fault, seconds, compared)


def run_pieces(
    simulator: Simulator,
    pieces: Sequence[Piece],
    ports: Mapping[str, Port],
    nets: Mapping[str, Sequence[str]] | None = None,
) -> list[PieceOutcome]:
    """Runs pieces one after the other, or, for a circuit with registers,
    the pieces that are whole sets side by side (Simulator.run_sequences_jsonl,
    one lane per set). A set the lanes cannot take as it is (a bad vector, a
    name that is not there) runs alone, step by step, which gives the same
    values and words its error."""
    outcomes: list[PieceOutcome | None] = [None] * len(pieces)
    whole = [index for index, piece in enumerate(pieces) if piece.preamble is None and piece.first_line == 1]
    if simulator.clocks and len(whole) > 1:
        started = time.perf_counter()
        texts: list[bytes] = []
        expectations: list[dict[int, dict[str, object]]] = []
        for index in whole:
            data = pieces[index].text()
            expected: dict[int, dict[str, object]] = {}
            if may_expect(data):
                data, expected = split_lines(data, 1)
            texts.append(data)
            expectations.append(expected)
        extra = columns_of({k: v for expected in expectations for k, v in expected.items()})
        stepper = _reader(simulator, pieces[whole[0]], ports, extra, nets)
        simulator.reset()
        try:
            results = simulator.run_sequences_jsonl(
                texts, stepper.shown, ports=stepper.port_bits, input_ports=stepper.input_ports
            )
        except ValueError:  # too much to hold side by side: each set runs alone
            results = []
        seconds = (time.perf_counter() - started) / len(whole)
        for index, text, expected, (values, unknown, error) in zip(whole, texts, expectations, results):
            if error is not None or unknown:
                continue
            piece = pieces[index]
            checks = _Checks(expected, stepper.shown, piece.radix, piece.allow_unknown, stepper.names.kind)
            outcome = _Outcome(piece)
            outcome.take(values, len(piece.show), checks, _vector_lines(text, 1) if expected else None, ports)
            outcomes[index] = outcome.finish(checks.compared, seconds)
    for index, piece in enumerate(pieces):
        if outcomes[index] is None:
            outcomes[index] = run_piece(simulator, piece, ports, nets)
    return [outcome for outcome in outcomes if outcome is not None]


def failed_outcome(reason: str) -> PieceOutcome:
    """The outcome of a piece that could not run."""
    return PieceOutcome(0, None, None, [], [], SetFault(None, None, None, reason), 0.0)
