"""Regressions: many vector sets through the batch engine, on a Dask cluster.

Each vector set runs from the circuit's initial state, as if it were given
alone to ``Simulator.run_jsonl`` on a fresh simulator. ``regress`` spreads the
sets over the workers of a Dask cluster: a local cluster of processes by
default, or an existing cluster named by its scheduler's address.

- The IR text reaches each worker once, inside a worker plugin; a worker
  renders it as it gets it and keeps the simulator (``reset()`` between sets).
- Small sets share a task, so that the cost of a task is spread. The workers
  of a local cluster read set files themselves; other workers get the text.
- A long set of a circuit that runs as one pass (``Simulator.one_pass``) is
  split into chunks of ``chunk`` vectors. There a vector's result depends only
  on the inputs in force, so a chunk starts from ``reset()`` and one
  ``update()`` of the latest values written, in the vectors before it, to
  busses without an assignment. Sets of other circuits are never split.
- A bad vector fails its set only; a worker that dies costs a retry of its
  tasks (Dask's). Results are delivered once each, in the order of the sets.

Per set, ``keep`` chooses what comes back: the shown values after every vector
("all"), after the last one ("last"), or a digest of all of them ("digest"):
SHA-256 over the shown ids as a JSON array and a newline, followed by the
SHA-256 of each block of ``DIGEST_BLOCK`` vectors, where a block hashes each
vector's shown values joined by spaces plus a newline. The digest does not
depend on how a set was split, since chunks are whole blocks.

Dask is an optional dependency: only ``regress`` and ``connect`` need it.
Importing this module loads neither Dask nor the native engine.
"""

# distributed's API is not annotated.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import hashlib
import json
import os
import re
import signal
import stat
import sys
import threading
import time
import uuid
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import ExitStack, contextmanager, suppress
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import TYPE_CHECKING, Literal, Union

from .. import stepping
from ..nets import nets_from_text
from ..ports import Port
from ..stepping import BlockFault, Names, Stepper, XInitial, shown_names
from .expect import EXPECT_KEY, may_expect, split_lines
from .pieces import DIGEST_BLOCK, Piece, PieceOutcome, SetFault, failed_outcome

if TYPE_CHECKING:
    from distributed import Client, Future, LocalCluster

    from .._engine import Simulator

RADIXES = ("hex", "bin", "dec")
Keep = Literal["all", "last", "digest"]
KEEPS: tuple[Keep, ...] = ("all", "last", "digest")
# A set: JSON Lines (bytes, or a path to read), or a sequence of vectors.
VectorSource = Union[bytes, str, "os.PathLike[str]", Sequence[Mapping[str, str]]]

DEFAULT_CHUNK = 64 * DIGEST_BLOCK
DASK_HINT = "pip install 'dask[distributed]' (or install nimbo with its extra: pip install 'nimbo[distributed]')"

_BITS = re.compile(r"[01]*")
_BLANK = b" \t\r"
# A task carries pieces of whole sets up to this much JSON Lines.
_BATCH_BYTES = 4 << 20
# The first bytes of a set file that tell its lines per byte.
_HEAD_BYTES = 1 << 16
# No more sets are read while the texts sent and not delivered reach this.
_HELD_BYTES = 1 << 30
# Above every logging level: Dask logs even a client that closes while its
# tasks run at CRITICAL, with a traceback.
_SILENT = 60


class DaskMissing(ImportError):
    """Dask's distributed scheduler is not installed."""


class RenderError(RuntimeError):
    """The IR does not render (the renderer's message)."""


class ClusterError(RuntimeError):
    """A local cluster that could not start (no worker started)."""


class NoSuchBus(ValueError):
    """A bus to show that the circuit lacks."""

    def __init__(self, bus_id: str):
        super().__init__(f"no bus named {bus_id!r} to show")
        self.bus_id = bus_id


class UnknownName(NoSuchBus):
    """A name in a set, or to show, that names no port or bus (the message
    says where and suggests the closest names)."""

    def __init__(self, message: str, name: str):
        ValueError.__init__(self, message)
        self.bus_id = name


def import_distributed() -> None:
    """Raises DaskMissing, saying what to install, when Dask is not there."""
    try:
        import distributed  # noqa: F401
    except ImportError as exc:
        raise DaskMissing(f"regressions need Dask's distributed scheduler: {DASK_HINT}") from exc


# ---------------------------------------------------------------- results


@dataclass
class SetResult:
    """What one set gave. On failure, `vectors` counts the vectors before the
    bad one and the kept values cover those; `unknown` is then empty. A set
    whose VCD could not be written fails too (its fault has no index), with
    the values of every vector kept."""

    name: str
    vectors: int
    fault: SetFault | None = None
    values: list[dict[str, str]] | None = None  # keep="all"
    last: dict[str, str] | None = None  # keep="last"; None when no vector ran
    digest: str | None = None  # keep="digest"
    # (line, id) of each id that names no bus; (index, id) for a sequence of vectors
    unknown: list[tuple[int, str]] = field(default_factory=list)
    seconds: float = 0.0  # worker time
    vcd: Path | None = None
    compared: int = 0  # expected values compared
    reference: bool = False  # compared with a reference run
    radix: str | None = None  # how values and last show numbers (None: bit strings)

    @property
    def checked(self) -> bool:
        """Whether the set's values were compared with anything (expected
        values or a reference), rather than only run."""
        return self.compared > 0 or self.reference

    @property
    def passed(self) -> bool:
        return self.fault is None

    def record(self) -> dict[str, object]:
        """The JSON Lines record of this set."""
        entry: dict[str, object] = {
            "set": self.name,
            "status": "passed" if self.passed else "failed",
            "vectors": self.vectors,
        }
        if self.fault is not None:
            entry["error"] = {
                "vector": self.fault.index,
                "line": self.fault.line,
                "bus": self.fault.bus,
                "reason": self.fault.reason,
            }
            if self.fault.expected is not None:
                entry["error"].update(expected=self.fault.expected, got=self.fault.got)  # type: ignore[attr-defined]
        entry["checked"] = self.checked
        for key in ("values", "last", "digest"):
            if getattr(self, key) is not None:
                entry[key] = getattr(self, key)
        if self.radix is not None and (self.values is not None or self.last is not None):
            entry["radix"] = self.radix
        if self.unknown:
            entry["unknown"] = [list(item) for item in self.unknown]
        return entry


@dataclass
class Regression:
    results: list[SetResult]
    seconds: float  # wall time, from connecting to the last result
    workers: int  # worker threads when the run started

    @property
    def passed(self) -> bool:
        return all(result.passed for result in self.results)

    @property
    def vectors(self) -> int:
        return sum(result.vectors for result in self.results)

    @property
    def checked(self) -> int:
        """The sets that passed and were checked (see SetResult.checked)."""
        return sum(result.passed and result.checked for result in self.results)


# ---------------------------------------------------------------- circuits


@dataclass(frozen=True)
class CircuitInfo:
    id: str
    shown: tuple[str, ...]  # the busses to show
    missing: tuple[str, ...]  # names to show that name no bus
    inputs: dict[str, int]  # busses without an assignment, with their widths
    one_pass: bool
    initial: dict[str, str]  # the shown busses after one update without inputs


# ---------------------------------------------------------------- splitting


@dataclass(frozen=True)
class Span:
    start: int  # byte offsets in the set's text
    end: int
    first_line: int
    preamble: dict[str, str] | None


# The bus inputs that write a value to a name (a port, a net, or a bus given
# a number), as a line writes them; None when the line would be refused.
NameReader = Callable[[str, object], "dict[str, str] | None"]


def _last_writes(
    lines: Sequence[bytes], inputs: Mapping[str, int], read: NameReader | None = None
) -> dict[str, str] | None:
    """The last value written to each input bus in `lines`, read from the end;
    None when a line is not a clean object of values for inputs (the engine
    decides about such lines, so the split stops there). A name that is no
    input bus, or a value that is no bit string, is read by `read` (without
    it the split stops there too): a port or a number writes busses all the
    same."""
    seen: dict[str, str] = {}
    for raw in reversed(lines):
        if not raw.strip(_BLANK):
            continue
        try:
            vector = json.loads(raw.decode("utf-8"))
        except (ValueError, RecursionError):
            return None
        if not isinstance(vector, dict):
            return None
        # A line's own writes, in its order: a later member over an earlier one.
        writes: dict[str, str] = {}
        for name, value in vector.items():
            if name == EXPECT_KEY:
                continue
            if name in inputs and isinstance(value, str) and len(value) == inputs[name] and _BITS.fullmatch(value):
                writes[name] = value
                continue
            read_bits = read(name, value) if read is not None else None
            if read_bits is None:
                return None
            writes.update(read_bits)
        for bus_id, bits in writes.items():
            seen.setdefault(bus_id, bits)
        if len(seen) == len(inputs):
            break
    return seen


def split_set(data: bytes, chunk: int, inputs: Mapping[str, int], read: NameReader | None = None) -> list[Span]:
    """Cuts JSON Lines into spans of `chunk` vectors (blank lines are no
    vectors), each with the inputs in force before it (`read`: see
    _last_writes). Valid only for a circuit that runs as one pass."""
    lines = data.split(b"\n")
    cuts: list[tuple[int, int]] = [(0, 0)]  # (line index, byte offset) where a span starts
    count = offset = 0
    for index, raw in enumerate(lines):
        if raw.strip(_BLANK):
            if count and count % chunk == 0:
                cuts.append((index, offset))
            count += 1
        offset += len(raw) + 1
    spans: list[Span] = []
    preamble: dict[str, str] | None = None
    for number, (first, start) in enumerate(cuts):
        last_span = number + 1 == len(cuts)
        end_line, end = (len(lines), len(data)) if last_span else cuts[number + 1]
        writes = None if last_span else _last_writes(lines[first:end_line], inputs, read)
        if writes is None:  # the rest runs as one span
            spans.append(Span(start, len(data), first + 1, preamble))
            break
        spans.append(Span(start, end, first + 1, preamble))
        preamble = {**(preamble or {}), **writes}
    return spans


def merge_pieces(
    name: str,
    outcomes: Sequence[PieceOutcome],
    show: Sequence[str],
    keep: Keep,
    lined: bool,
    radix: str | None = None,
) -> tuple[SetResult, list[tuple[str, ...]]]:
    """The result of a set from the outcomes of its pieces, up to the first
    that failed, and the rows the pieces sent (bit strings; the result's
    values are numbers in `radix`, None: bit strings)."""
    result = SetResult(name=name, vectors=0, radix=radix)
    rows: list[tuple[str, ...]] = []
    blocks: list[bytes] = []
    last: tuple[str, ...] | None = None
    reported: set[str] = set()
    for outcome in outcomes:
        result.seconds += outcome.seconds
        result.compared += outcome.compared
        if outcome.rows is not None:
            rows.extend(outcome.rows)
        blocks.extend(outcome.blocks)
        last = outcome.last if outcome.last is not None else last
        if outcome.fault is not None:
            fault = outcome.fault
            index = None if fault.index is None else result.vectors + fault.index
            result.fault = replace(fault, index=index, line=fault.line if lined else None)
            result.vectors += outcome.vectors
            result.unknown = []
            break
        result.vectors += outcome.vectors
        for entry in outcome.unknown:
            if entry[1] not in reported:
                reported.add(entry[1])
                result.unknown.append(entry if lined else (entry[0] - 1, entry[1]))
    if keep == "all":
        result.values = [dict(zip(show, [_as_radix(bits, radix) for bits in row])) for row in rows]
    elif keep == "last":
        result.last = dict(zip(show, [_as_radix(bits, radix) for bits in last])) if last is not None else None
    if blocks or keep == "digest":
        header = json.dumps(list(show)).encode() + b"\n"
        result.digest = hashlib.sha256(header + b"".join(blocks)).hexdigest()
    return result, rows


# ---------------------------------------------------------------- checking names


_SCAN_BYTES = 1 << 20
# The names of each set's lines in its first this many bytes are checked
# before the run starts; a name further on fails its set at its line when
# the set runs. Reading the whole of every set first would read a large
# campaign twice.
_CHECKED_BYTES = 1 << 20


def _shadow(simulator: Simulator, ir: str) -> Simulator:
    """A circuit of the same busses (widths as they are now) and registers,
    without any logic: running a set through it reads every line as the
    circuit would, at the reader's speed."""
    from .._engine import Simulator
    from ..lint import register_records

    busses = [{"id": bus_id, "value": "0" * width} for bus_id, width in zip(simulator.bus_ids, simulator.widths())]
    component: dict[str, object] = {"id": simulator.id, "busses": busses}
    if simulator.clocks:
        component["registers"] = register_records(json.loads(ir))
    return Simulator(json.dumps({"component": component}))


class _Checker:
    """Checks the names of a run before it starts: every name to show, and
    every name in every set, up to a set's first bad vector (where it
    stops). A name that is no port or bus raises UnknownName, or with
    `allow_unknown` is reported to `warn` once and left out."""

    def __init__(
        self,
        simulator: Simulator,
        ir: str,
        ports: Mapping[str, Port],
        allow_unknown: bool,
        warn: Callable[[str], None],
        nets: Mapping[str, Sequence[str]] | None = None,
    ):
        self.names = Names(simulator.bus_ids, ports, allow_unknown, warn, nets)
        self.simulator, self.ir = simulator, ir
        self._stepper: Stepper | None = None

    def shown(self, show: Sequence[str] | None, busses: bool) -> tuple[str, ...]:
        try:
            return shown_names(self.simulator.bus_ids, self.names, list(show or []), busses)
        except stepping.UnknownName as exc:
            raise UnknownName(str(exc), exc.name) from None

    def scan(self, name: str, data: bytes) -> None:
        try:
            self._scan(name, data)
        except stepping.UnknownName as exc:
            raise UnknownName(str(exc), exc.name) from None

    def _scan(self, name: str, data: bytes) -> None:
        data = _head(data)
        if self._stepper is None:
            self._stepper = Stepper(_shadow(self.simulator, self.ir), (), self.names, threads=1, note_bit_strings=False)
        stepper = self._stepper
        stepper.sim.reset()
        position, line = 0, 1
        while position < len(data):
            end = data.find(b"\n", position + _SCAN_BYTES) + 1 or len(data)
            block = data[position:end]
            if may_expect(block):
                block, expected = split_lines(block, line)
                for number, values in expected.items():
                    for key in values:
                        if key not in self.names:
                            self.names.unknown(f"{name}:{number}: expect", key)
            try:
                stepper.run_block(block, line, lambda number: f"{name}:{number}")
            except BlockFault as fault:
                if isinstance(fault.error, stepping.UnknownName):
                    raise fault.error from None
                return  # the set stops at this vector when it runs
            line = stepper.next_line
            position = end


def _head(data: bytes) -> bytes:
    """The lines of `data` that start in its first _CHECKED_BYTES."""
    if len(data) <= _CHECKED_BYTES:
        return data
    end = data.find(b"\n", _CHECKED_BYTES) + 1
    return data if end == 0 else data[:end]


def _scan_source(source: VectorSource) -> tuple[VectorSource, bytes | None]:
    """The set as the run takes it (a pipe or a list read once, as text)
    and the text whose names are checked: of a regular file its first lines
    only (None when it cannot be read: the run says why)."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return source, bytes(source)
    if isinstance(source, (str, os.PathLike)):
        try:
            with open(source, "rb") as stream:
                if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                    data = stream.read()
                    return data, data
                parts = [stream.read(_CHECKED_BYTES)]
                while not parts[0].endswith(b"\n") and (more := stream.read(1 << 16)):
                    parts.append(more)  # to the end of the line that crosses the limit
                    if b"\n" in more:
                        break
                return source, _head(b"".join(parts))
        except OSError:
            return source, None
    if isinstance(source, Sequence):
        data = "".join(_vector_line(v) + "\n" for v in source).encode()
        return source, data
    return source, None


# ---------------------------------------------------------------- references


def read_reference(path: str | os.PathLike[str]) -> dict[str, dict[str, object]]:
    """The records of a run written by `nimbo regress --out`, by set name.
    Raises ValueError for a file that holds no such records."""
    records: dict[str, dict[str, object]] = {}
    with open(path, "rb") as stream:
        for number, raw in enumerate(stream, 1):
            if not raw.strip():
                continue
            try:
                record = json.loads(raw)
            except (ValueError, RecursionError) as exc:
                raise ValueError(f"{os.fspath(path)}:{number}: not a record of nimbo regress ({exc})") from None
            if not isinstance(record, dict) or not isinstance(record.get("set"), str):
                raise ValueError(f"{os.fspath(path)}:{number}: not a record of nimbo regress (no \"set\")")
            records[record["set"]] = record
    return records


def _as_radix(bits: str, radix: object) -> str:
    from .._engine import format_value

    if radix not in RADIXES or len(bits) <= 1:
        return bits
    return format_value(bits, str(radix))


def compare_reference(
    result: SetResult, rows: Sequence[tuple[str, ...]], digest: str | None, show: Sequence[str], record: Mapping[str, object]
) -> SetFault | None:
    """The first difference between a set's values (`rows`, bit strings of
    the names in `show`, or its digest) and its record in a reference run;
    None when they agree."""
    radix = record.get("radix")
    values = record.get("values")
    if isinstance(values, list):
        for step, (row, theirs) in enumerate(zip(rows, values), 1):
            if not isinstance(theirs, dict):
                return SetFault(step - 1, None, None, f"the reference's values at step {step} are no object")
            for name, bits in zip(show, row):
                if name in theirs and _as_radix(bits, radix) != theirs[name]:
                    ours = _as_radix(bits, radix)
                    return SetFault(
                        step - 1, None, name, f"step {step}: {name}: the reference has {theirs[name]}, this run {ours}",
                        expected=str(theirs[name]), got=ours,
                    )
        if len(values) != len(rows):
            return SetFault(None, None, None, f"the reference has {len(values)} vectors, this run {len(rows)}")
        return None
    if isinstance(record.get("digest"), str):
        if digest != record["digest"]:
            return SetFault(None, None, None, "digest differs from the reference")
        return None
    last = record.get("last")
    if isinstance(last, dict):
        ours_last = dict(zip(show, rows[-1])) if rows else {}
        for name, bits in ours_last.items():
            if name in last and _as_radix(bits, radix) != last[name]:
                return SetFault(None, None, name, f"last: {name}: the reference has {last[name]}, this run {_as_radix(bits, radix)}")
        return None
    return SetFault(None, None, None, "the reference's record holds no values or digest to compare")


# ---------------------------------------------------------------- sources


def _set_name(index: int, source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    return f"set {index}"


def _named(vector_sets: Mapping[str, VectorSource] | Sequence[VectorSource]) -> list[tuple[str, VectorSource]]:
    if isinstance(vector_sets, Mapping):
        return [(str(name), source) for name, source in vector_sets.items()]
    return [(_set_name(index, source), source) for index, source in enumerate(vector_sets)]


def _vector_line(vector: object) -> str:
    try:
        item = dict(vector) if isinstance(vector, Mapping) else vector
        # Values JSON cannot hold become null, which the engine refuses.
        return json.dumps(item, default=lambda _: None)
    except (TypeError, ValueError):
        return "null"


@dataclass
class _Loaded:
    lined: bool  # the lines are the caller's (not made from a list)
    data: bytes | None  # the text, when it was read here
    path: str | None = None  # else the file the workers read
    size: int = 0


def _load(source: VectorSource, by_path: bool, needed: int) -> _Loaded | SetFault:
    """A set, as JSON Lines. With `by_path`, a regular file is only looked at
    here, and read whole only when it seems to hold `needed` lines or more:
    judged by its size and the lines of its first block. A guess only decides
    whether a set is split (a split is exact), and reading a file whole here
    costs this process about a second per GB while the workers wait. Anything
    else (a named pipe, /dev/fd/N of a process substitution, a device) is read
    here once and its text sent: a worker opening it again would find a pipe
    whose writer is gone, or no such file."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _Loaded(True, bytes(source))
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        try:
            with open(path, "rb") as stream:
                info = os.fstat(stream.fileno())
                if not stat.S_ISREG(info.st_mode):
                    return _Loaded(True, stream.read())
                size = info.st_size
                if by_path and size < needed:
                    return _Loaded(True, None, path, size)
                head = stream.read(_HEAD_BYTES) if by_path else b""
                if head and len(head) < size and head.count(b"\n") * (size / len(head)) < needed:
                    return _Loaded(True, None, path, size)
                stream.seek(0)
                data = stream.read()
                return _Loaded(True, data, path if by_path else None, len(data))
        except FileNotFoundError:
            return SetFault(None, None, None, "no such file")
        except IsADirectoryError:
            return SetFault(None, None, None, "is a directory")
        except OSError as exc:
            return SetFault(None, None, None, exc.strerror or str(exc))
    if isinstance(source, Sequence):
        return _Loaded(False, "".join(_vector_line(v) + "\n" for v in source).encode())
    return SetFault(None, None, None, f"not a vector set: {type(source).__name__}")


def _vcd_file(directory: Path, name: str, used: set[str]) -> Path:
    base = re.sub(r"[^A-Za-z0-9._-]", "_", Path(name).name)
    for suffix in (".jsonl", ".json"):
        base = base.removesuffix(suffix)
    base = base.strip(".") or "set"
    candidate, number = base, 1
    while candidate in used:
        number += 1
        candidate = f"{base}-{number}"
    used.add(candidate)
    return directory / f"{candidate}.vcd"


def _write_vcd(
    path: Path,
    scope: str,
    show: Sequence[str],
    first: Sequence[str],
    rows: Sequence[tuple[str, ...]],
    clocks: tuple[list[int], list[str]] = ([], []),
) -> str | None:
    """Step 0 is the initial state `first`, step k the values after vector k.
    The file is written beside `path` and put in place once whole, so that a
    write that fails leaves an earlier file there. None when written, else
    why not."""
    from ..atomic import AtomicFile
    from ..waves.vcd import VcdRecorder, WidthChangeError

    try:
        file = AtomicFile(path)
    except OSError as exc:
        return f"{path}: cannot write: {exc.strerror or exc}"
    try:
        recorder = VcdRecorder(file.stream, scope, show, first, *clocks)
        recorder.record_rows(1, rows)
        recorder.close(len(rows))
        file.commit()
        return None
    except WidthChangeError as exc:
        return (
            f"{path}: bus {exc.bus_id!r} changed from {exc.declared} to {exc.width} bits at step {exc.step};"
            " a VCD variable keeps one width"
        )
    except OSError as exc:
        return f"{path}: {exc.strerror or exc}"
    finally:
        file.discard()


def _recording_failed(result: SetResult, problem: str) -> None:
    """Fails the set whose VCD could not be written, keeping a fault it had."""
    reason = f"{problem}; the VCD was not written"
    if result.fault is None:
        result.fault = SetFault(None, None, None, reason)
    else:
        result.fault = replace(result.fault, reason=f"{result.fault.reason}; {reason}")


# ---------------------------------------------------------------- clusters


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _local_cluster(workers: int | None, quiet: bool, warn: Callable[[str], None]) -> LocalCluster:
    """A local cluster of `workers` processes of one thread (default: one
    per CPU), listening on the loopback interface only.

    A worker that dies while the cluster starts is left out (`warn` says so)
    and the cluster goes on with the others; with none left it fails.

    Ctrl-C on the terminal is for the process that made the cluster, which
    closes it: the worker processes ignore SIGINT. The first ones inherit
    that, being started while this process ignores it; a worker that
    restarts later sets it in its preload.

    The workers run simulations, not interactive work: their sampling
    profiler is off and the system and memory monitors look less often,
    which leaves more of a small machine's cores to the simulations."""
    import logging

    import dask
    from distributed import LocalCluster

    count = workers or default_workers()
    previous = (
        signal.signal(signal.SIGINT, signal.SIG_IGN) if threading.current_thread() is threading.main_thread() else None
    )
    quieter = {
        "distributed.worker.profile.enabled": False,
        "distributed.admin.system-monitor.interval": "2s",
        "distributed.worker.memory.monitor-interval": "1s",
    }
    try:
        with dask.config.set(quieter):
            # The scheduler alone; the workers are started below, where one
            # that fails to start does not take the others with it.
            cluster = LocalCluster(
                n_workers=0,
                threads_per_worker=1,
                # As LocalCluster shares the memory out: each worker its part.
                memory_limit=1 / count,
                processes=True,
                host="127.0.0.1",
                # No dashboard; the scheduler's own HTTP routes on a free loopback port.
                dashboard_address=None,
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                silence_logs=_SILENT if quiet else logging.WARNING,
                preload=["nimbo.regression.worker"],
            )
            try:
                _start_workers(cluster, count, warn)
            except BaseException:
                cluster.close()
                raise
            return cluster
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


def _start_workers(cluster: LocalCluster, count: int, warn: Callable[[str], None]) -> None:
    """Starts `count` workers side by side and drops those that failed to."""
    from distributed.core import Status

    for _ in range(count):
        cluster.worker_spec.update(cluster.new_worker_spec())
    failure: BaseException | None = None
    try:
        cluster.sync(cluster._correct_state)
    except Exception as exc:  # raised for the first worker that failed; the others are up
        failure = exc
    failed = [name for name, worker in cluster.workers.items() if worker.status != Status.running]
    failed += [name for name in cluster.worker_spec if name not in cluster.workers]
    for name in failed:
        cluster.worker_spec.pop(name, None)
        cluster.workers.pop(name, None)
    if not failed:
        if failure is not None:
            raise failure
        return
    reason = _start_failure(failure)
    if not cluster.workers:
        raise ClusterError(f"no worker of the local cluster started{reason}")
    started = len(cluster.workers)
    warn(
        f"{count - started} of {count} workers of the local cluster did not start{reason};"
        f" going on with {started}"
    )


def _start_failure(failure: BaseException | None) -> str:
    """Why a worker did not start, as Dask says it most precisely (the
    innermost cause), in parentheses."""
    text = ""
    while failure is not None:
        text = str(failure).strip().rstrip(".") or text
        failure = failure.__cause__
    return f" ({text})" if text else ""


def _warning(message: str) -> None:
    warnings.warn(message, RuntimeWarning, stacklevel=4)


def _check_address(address: str) -> None:
    """Refuses an address that Dask cannot parse: a client made with one
    fails, and then hangs when it is collected."""
    from distributed.comm.addressing import parse_address, parse_host_port

    try:
        scheme, location = parse_address(address)
        if scheme in ("tcp", "tls"):
            parse_host_port(location)
    except ValueError as exc:
        raise ValueError(f"not the address of a Dask scheduler, such as tcp://HOST:PORT ({exc})") from None


@contextmanager
def connect(
    scheduler: str | None = None,
    workers: int | None = None,
    quiet: bool = False,
    warn: Callable[[str], None] | None = None,
) -> Iterator[Client]:
    """A client of the scheduler at `scheduler` (once a worker is there), or
    of a new local cluster of `workers` processes; both closed on leaving.
    Quiet: Dask logs nothing, here or in a local cluster. `warn` is told of
    workers of a local cluster that did not start (default: a RuntimeWarning)."""
    import_distributed()
    import logging

    from distributed import Client

    if quiet:
        logging.getLogger("distributed").setLevel(_SILENT)
    if scheduler is not None:
        _check_address(scheduler)
    with ExitStack() as stack:
        if scheduler is None:
            cluster = stack.enter_context(_local_cluster(workers, quiet, warn or _warning))
            client = stack.enter_context(Client(cluster, set_as_default=False))
        else:
            client = stack.enter_context(Client(scheduler, timeout="20s", set_as_default=False))
            client.wait_for_workers(1, timeout=60)
        yield client


# ---------------------------------------------------------------- the run


@dataclass
class _SetState:
    name: str
    lined: bool
    tasks: list[Future[list[PieceOutcome]] | None]  # the task of each piece
    outcomes: list[PieceOutcome | None]
    result: SetResult | None = None
    rows: list[tuple[str, ...]] | None = None  # for the VCD
    held: int = 0  # bytes of its text sent from here

    def settle(self, show: Sequence[str], keep: Keep, radix: str | None = None) -> bool:
        """Makes the result once every piece up to the first failure is in."""
        done: list[PieceOutcome] = []
        for outcome in self.outcomes:
            if outcome is None:
                return False
            done.append(outcome)
            if outcome.fault is not None:
                break
        self.result, self.rows = merge_pieces(self.name, done, show, keep, self.lined, radix)
        return True


class _Run:
    """The sets of one run: read, split into pieces, sent as tasks, and
    their outcomes merged back per set. Pieces of whole sets share tasks up
    to `batch` sets or _BATCH_BYTES, which spreads the cost of a task; the
    chunks of a split set go one per task."""

    def __init__(
        self,
        client: Client,
        plugin: str,
        info: CircuitInfo,
        show: tuple[str, ...],
        keep: Keep,
        chunk: int,
        batch: int,
        vcd_dir: Path | None,
        on_result: Callable[[SetResult], None] | None,
        bar: _Progress,
        radix: str | None = None,
        reference: Mapping[str, Mapping[str, object]] | None = None,
        clocks: tuple[list[int], list[str]] = ([], []),
        allow_unknown: bool = False,
        read: NameReader | None = None,
    ):
        from distributed import LocalCluster, as_completed

        self.line_writes = read  # what a line's ports and numbers write, for the preambles of split sets
        self.radix, self.reference, self.clocks = radix, reference, clocks
        self.allow_unknown = allow_unknown
        self.client, self.plugin, self.info, self.show, self.keep = client, plugin, info, show, keep
        self.chunk, self.batch, self.vcd_dir, self.on_result, self.bar = chunk, batch, vcd_dir, on_result, bar
        # The workers of a local cluster read set files themselves.
        self.by_path = isinstance(getattr(client, "cluster", None), LocalCluster)
        # Results come with the futures, fetched side by side in the background.
        self.pending = as_completed(loop=client.loop, with_results=True, raise_errors=False)
        self.results: list[SetResult] = []
        self.sets: dict[int, _SetState] = {}
        self.owner: dict[object, list[tuple[int, int]]] = {}  # task key -> (set, piece) of each piece
        self.waiting: list[tuple[int, int, Piece]] = []  # pieces not sent yet
        self.waiting_bytes = 0
        self.tasks = 0
        self.held = 0  # bytes of set texts sent from here and not delivered
        self.vcd_names: set[str] = set()

    def read(self, index: int, name: str, source: VectorSource) -> None:
        # State carries from cycle to cycle in a circuit with registers.
        splits = self.info.one_pass and not self.clocks[0] and not self.clocks[1] and self.chunk > 0
        loaded = _load(source, self.by_path, self.chunk if splits else sys.maxsize)
        if isinstance(loaded, SetFault):
            self.sets[index] = _SetState(name, True, [], [], SetResult(name=name, vectors=0, fault=loaded))
            self.bar.set_done()
            return
        data = loaded.data
        if splits and data is not None and data.count(b"\n") >= self.chunk:
            spans = split_set(data, self.chunk, self.info.inputs, self.line_writes)
        else:
            spans = [Span(0, loaded.size if data is None else len(data), 1, None)]
        self.sets[index] = _SetState(name, loaded.lined, [None] * len(spans), [None] * len(spans))
        compared = self.reference.get(name) if self.reference is not None else None
        rows = self.keep == "all" or self.vcd_dir is not None or (compared is not None and "values" in compared)
        digest = self.keep == "digest" or (compared is not None and "digest" in compared)
        keep_last = compared is not None and "last" in compared
        rows = rows or keep_last
        for number, span in enumerate(spans):
            text = None if loaded.path is not None or data is None else data[span.start : span.end]
            piece = Piece(
                text,
                loaded.path,
                span.start,
                span.end,
                span.first_line,
                span.preamble,
                self.show,
                rows,
                digest,
                self.radix,
                self.allow_unknown,
            )
            self.waiting.append((index, number, piece))
            self.waiting_bytes += span.end - span.start
            if piece.data is not None:
                self.held += len(piece.data)
                self.sets[index].held += len(piece.data)
            if len(spans) > 1 or len(self.waiting) >= self.batch or self.waiting_bytes >= _BATCH_BYTES:
                self.send()

    def send(self) -> None:
        """Sends the waiting pieces as one task."""
        from . import worker as regression_worker

        if not self.waiting:
            return
        key = f"{self.plugin}-task-{self.tasks}"
        self.tasks += 1
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message="Sending large graph")
            task: Future[list[PieceOutcome]] = self.client.submit(
                regression_worker.run, self.plugin, [piece for _, _, piece in self.waiting], key=key, pure=False
            )
        self.owner[key] = [(index, number) for index, number, _ in self.waiting]
        for index, number, _ in self.waiting:
            self.sets[index].tasks[number] = task
        self.pending.add(task)
        self.waiting, self.waiting_bytes = [], 0

    def wait(self) -> None:
        """Takes the outcomes of the next task that ends."""
        task, result = next(self.pending)
        owned = self.owner.get(task.key)
        if owned is None:  # the chunk of a set that failed before it
            return
        if isinstance(result, list):
            outcomes = result
        elif task.status in ("lost", "pending"):
            # Its result went with a worker that died; it is computed again.
            self.pending.add(task)
            return
        elif task.status == "error" and isinstance(result, tuple):
            outcomes = [failed_outcome(f"the task failed on the workers: {type(result[1]).__name__}: {result[1]}")] * len(
                owned
            )
        else:
            outcomes = [failed_outcome(f"the task was {task.status} on the workers")] * len(owned)
        del self.owner[task.key]
        for (index, number), outcome in zip(owned, outcomes):
            self.take(index, number, outcome)

    def take(self, index: int, number: int, outcome: PieceOutcome) -> None:
        state = self.sets[index]
        state.outcomes[number] = outcome
        state.tasks[number] = None
        self.bar.add_vectors(outcome.vectors)
        if outcome.fault is not None:  # the chunks after it are not needed
            later = [task for task in state.tasks[number + 1 :] if task is not None]
            for task in later:
                self.owner.pop(task.key, None)
            if later:
                self.client.cancel(later)
        if state.result is None and state.settle(self.show, self.keep, self.radix):
            self.bar.set_done()

    def deliver(self, index: int) -> bool:
        state = self.sets.get(index)
        if state is None or state.result is None:
            return False
        del self.sets[index]
        self.held -= state.held
        result = state.result
        record = self.reference.get(result.name) if self.reference is not None else None
        if record is not None:
            result.reference = True
            difference = compare_reference(result, state.rows or [], result.digest, self.show, record)
            if difference is not None and result.fault is None:
                result.fault = difference
        if self.keep != "digest":
            result.digest = None
        if self.vcd_dir is not None and state.rows is not None:
            path = _vcd_file(self.vcd_dir, result.name, self.vcd_names)
            first = [self.info.initial[bus_id] for bus_id in self.show]
            problem = _write_vcd(path, self.info.id, self.show, first, state.rows, self.clocks)
            if problem is None:
                result.vcd = path
            else:
                _recording_failed(result, problem)
        if self.on_result is not None:
            self.on_result(result)
        self.results.append(result)
        return True


class _Progress:
    """Sets done and vectors per second on standard error, on a terminal."""

    def __init__(self, total: int, enabled: bool):
        from tqdm import tqdm

        self._bar = tqdm(
            total=total, unit="set", file=sys.stderr, delay=1.0, disable=None if enabled else True, leave=False
        )
        self._started = time.perf_counter()
        self._vectors = 0

    def add_vectors(self, count: int) -> None:
        self._vectors += count

    def set_done(self) -> None:
        rate = self._vectors / max(time.perf_counter() - self._started, 1e-9)
        self._bar.set_postfix_str(f"{rate:,.0f} vectors/s", refresh=False)
        self._bar.update()

    def close(self) -> None:
        self._bar.close()


def regress(
    ir: str,
    vector_sets: Mapping[str, VectorSource] | Sequence[VectorSource],
    *,
    show: Sequence[str] | None = None,
    keep: Keep = "all",
    chunk: int = DEFAULT_CHUNK,
    vcd_dir: str | os.PathLike[str] | None = None,
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    on_result: Callable[[SetResult], None] | None = None,
    progress: bool = False,
    busses: bool = False,
    radix: str | None = None,
    allow_unknown: bool = False,
    reference: str | os.PathLike[str] | Mapping[str, Mapping[str, object]] | None = None,
    warn: Callable[[str], None] | None = None,
    x_initial: str = "zero",
    seed: int | None = None,
) -> Regression:
    """Runs every vector set from the initial state of the circuit `ir`.

    vector_sets: sets by name, or a sequence of sets (a path is named by
    itself, others "set N"). A set is JSON Lines (bytes, or the path of a
    file, read when its turn comes) or a sequence of vectors (dicts of bus
    id to bit string). show: the busses to report (default: every bus, in
    declaration order; an item that names nothing but holds commas stands for the names between
    them, as `nimbo run --show` reads it). keep: "all", "last" or "digest" (see the module).
    chunk: vectors per chunk when a set of a one-pass circuit is split, a
    multiple of DIGEST_BLOCK; 0 never splits. vcd_dir: write one VCD per set
    there. Where to run: `client` (left open), else a new client of the
    scheduler at `scheduler`, else a new local cluster of `workers`
    processes. on_result is called with each set's result, in order, as soon
    as it and every set before it are done.

    Names and values are read as `nimbo run` reads them: a set's lines and
    `show` may name ports (whole values) and busses; by default the ports
    are shown when the IR records them (every bus with `busses`). radix:
    "hex", "bin" or "dec" to record multi-bit values as numbers (default:
    bit strings). Every name is checked before anything runs: one that is
    no port or bus raises UnknownName, naming the set and line and the
    closest names, or with `allow_unknown` is given to `warn` (default: a
    RuntimeWarning) once and left out. A line's expected values (see
    nimbo.regression.expect) are compared after its step; reference: the records of an
    earlier run (a path, or records by set name, see read_reference) to
    compare each set with. x_initial, seed: what registers without an
    initial value start as ("zero", "ones", or "random" bits from seed; see
    nimbo.Simulator), on every worker alike.

    Lines write only inputs: a name that is an output, logic or a
    register's state fails its set at its line.

    A bad vector or a value that differs fails its set (SetResult.fault) and
    not the run. Raises DaskMissing without Dask, ValueError for a bad
    argument (NoSuchBus, UnknownName for names), RenderError when the IR
    does not render.
    """
    if keep not in KEEPS:
        raise ValueError(f"keep must be one of {', '.join(KEEPS)}, not {keep!r}")
    if chunk < 0 or chunk % DIGEST_BLOCK:
        raise ValueError(f"chunk must be 0 or a positive multiple of {DIGEST_BLOCK}, not {chunk}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if radix is not None and radix not in RADIXES:
        raise ValueError(f"radix must be one of {', '.join(RADIXES)}, not {radix!r}")
    sets = _named(vector_sets)
    import_distributed()
    records = read_reference(reference) if isinstance(reference, (str, os.PathLike)) else reference
    prepared = prepare(ir, sets, show, busses, allow_unknown, warn or _warning, XInitial(x_initial, seed))
    return _regress(prepared, keep, chunk, vcd_dir, client, scheduler, workers, on_result, progress, radix, records)


@dataclass
class Prepared:
    """A run whose names were checked (see prepare)."""

    ir: str
    sets: list[tuple[str, VectorSource]]
    info: CircuitInfo
    clocks: tuple[list[int], list[str]]
    allow_unknown: bool
    start: XInitial = XInitial()
    read: NameReader | None = None


def prepare(
    ir: str,
    sets: list[tuple[str, VectorSource]],
    show: Sequence[str] | None,
    busses: bool,
    allow_unknown: bool,
    warn: Callable[[str], None],
    start: XInitial = XInitial(),
) -> Prepared:
    """Renders the circuit here and checks every name of the run (see
    _Checker); a set that is no regular file is read here once."""
    from ..lint import register_records
    from ..ports import ports_from_text

    try:
        simulator = start.simulator(ir)
    except RuntimeError as exc:
        raise RenderError(str(exc)) from None
    ports = ports_from_text(ir)
    known = set(simulator.bus_ids)
    for port in ports.values():
        missing = next((bit for bit in port.bits if bit not in known), None)
        if missing is not None:
            raise ValueError(f"port {port.name!r} names the bus {missing!r}, which the circuit lacks")
    checker = _Checker(simulator, ir, ports, allow_unknown, warn, nets_from_text(ir))
    shown = checker.shown(show, busses)
    checked: list[tuple[str, VectorSource]] = []
    for name, source in sets:
        source, data = _scan_source(source)
        if data is not None:
            checker.scan(name, data)
        checked.append((name, source))
    stepper = Stepper(simulator, shown, checker.names, note_bit_strings=False)
    # The busses a line may write: a register's q is no input (a piece's
    # preamble writes only inputs).
    state = {record["q"] for record in register_records(json.loads(ir))} if simulator.clocks else set()
    info = CircuitInfo(
        id=simulator.id,
        shown=shown,
        missing=(),
        inputs={b: w for b, w, d in zip(simulator.bus_ids, simulator.widths(), simulator.driven) if not d and b not in state},
        one_pass=simulator.one_pass,
        initial=dict(zip(shown, stepper.row())),
    )
    return Prepared(
        ir, checked, info, stepper.clock_columns() if simulator.clocks else ([], []), allow_unknown, start,
        stepper.line_writes,
    )


def _regress(
    prepared: Prepared,
    keep: Keep,
    chunk: int,
    vcd_dir: str | os.PathLike[str] | None,
    client: Client | None,
    scheduler: str | None,
    workers: int | None,
    on_result: Callable[[SetResult], None] | None,
    progress: bool,
    radix: str | None,
    reference: Mapping[str, Mapping[str, object]] | None,
) -> Regression:
    from . import worker as regression_worker

    ir, sets, info = prepared.ir, prepared.sets, prepared.info
    started = time.perf_counter()
    with ExitStack() as stack:
        dask_client = client if client is not None else stack.enter_context(connect(scheduler, workers))
        threads = max(1, sum(dask_client.nthreads().values()))
        key = hashlib.blake2b(ir.encode(), digest_size=8).hexdigest()
        plugin = f"nimbo-ir-{key}-{uuid.uuid4().hex[:8]}"
        replies = dask_client.register_plugin(regression_worker.IRPlugin(ir, prepared.start), name=plugin)
        stack.callback(_forget_plugin, dask_client, plugin)
        for address, reply in (replies or {}).items():
            if isinstance(reply, dict) and reply.get("status") == "error":
                raise RuntimeError(f"the worker at {address} did not take the circuit: {reply.get('exception_text')}")

        shown = info.shown
        directory = None
        if vcd_dir is not None:
            directory = Path(vcd_dir)
            directory.mkdir(parents=True, exist_ok=True)
        bar = _Progress(len(sets), progress)
        stack.callback(bar.close)
        window = max(64, 16 * threads)  # sets read and not yet delivered
        batch = max(1, window // (4 * threads))
        run = _Run(
            dask_client, plugin, info, shown, keep, chunk, batch, directory, on_result, bar, radix, reference,
            prepared.clocks, prepared.allow_unknown, prepared.read,
        )
        read = delivered = 0
        while True:
            # Read sets while the window allows and send what waits, then
            # deliver in order; wait for a task only when nothing moves.
            while read < len(sets) and read - delivered < window and (run.held < _HELD_BYTES or read == delivered):
                run.read(read, *sets[read])
                read += 1
            run.send()
            before = delivered
            while run.deliver(delivered):
                delivered += 1
            if delivered == len(sets):
                break
            if delivered == before:
                run.wait()
        return Regression(run.results, time.perf_counter() - started, threads)
    raise AssertionError("unreachable")  # pragma: no cover


def _forget_plugin(client: Client, name: str) -> None:
    with suppress(Exception):
        client.unregister_worker_plugin(name)
