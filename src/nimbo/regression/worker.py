"""The Dask side of a regression's workers: the IR in a worker plugin, and the
task that runs pieces of sets (nimbo.regression.pieces) on its simulators. Imports Dask;
loaded only with it.

The IR text travels in a worker plugin: the scheduler keeps it and hands it
to every worker once, including workers that join or restart later. A
worker renders the circuit when it gets the plugin and keeps the simulator
in the plugin's pool, rendering more when tasks run at the same time.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Sequence
from typing import Any

from distributed import WorkerPlugin, get_worker

from .._engine import Simulator
from .pieces import Piece, PieceOutcome, failed_outcome, run_pieces
from ..nets import nets_from_text
from ..ports import Port, ports_from_text
from ..stepping import XInitial


class IRPlugin(WorkerPlugin):
    """Holds one IR text and the simulators rendered from it on this worker,
    their uninitialised state started as `start` says."""

    def __init__(self, ir: str, start: XInitial = XInitial()) -> None:
        self.ir = ir
        self.start = start
        self._idle: list[Simulator] = []
        self._lock = threading.Lock()
        self._ports: dict[str, Port] | None = None
        self._nets: dict[str, tuple[str, ...]] | None = None

    @property
    def ports(self) -> dict[str, Port]:
        """The ports the IR records (read once)."""
        if self._ports is None:
            self._ports = ports_from_text(self.ir)
        return self._ports

    @property
    def nets(self) -> dict[str, tuple[str, ...]]:
        """The nets the IR records (read once)."""
        if self._nets is None:
            self._nets = nets_from_text(self.ir)
        return self._nets

    def __getstate__(self) -> dict[str, Any]:
        return {"ir": self.ir, "start": tuple(self.start)}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.ir = state["ir"]
        self.start = XInitial(*state["start"])
        self._idle = []
        self._lock = threading.Lock()
        self._ports = None
        self._nets = None

    def setup(self, worker: object) -> None:
        # Every worker renders at once, side by side, while the plugin is
        # registered. An IR that does not render never gets here: the
        # coordinator renders it first and reports why.
        try:
            self.give(self.start.simulator(self.ir))
        except RuntimeError:
            pass

    def take(self) -> Simulator:
        with self._lock:
            if self._idle:
                return self._idle.pop()
        return self.start.simulator(self.ir)

    def give(self, simulator: Simulator) -> None:
        with self._lock:
            self._idle.append(simulator)

    def teardown(self, worker: object) -> None:
        with self._lock:
            self._idle.clear()


def _holder(plugin: str) -> IRPlugin:
    holder = get_worker().plugins.get(plugin)
    if not isinstance(holder, IRPlugin):
        raise RuntimeError(f"the circuit of this run ({plugin}) is not on this worker")
    return holder


def run(plugin: str, pieces: Sequence[Piece]) -> list[PieceOutcome]:
    """Runs the pieces one after the other; a piece that fails for any other
    reason than a bad vector fails alone (and its simulator is dropped)."""
    holder = _holder(plugin)
    simulator = holder.take()
    try:
        outcomes = run_pieces(simulator, pieces, holder.ports, holder.nets)
    except Exception:
        outcomes = []
        for piece in pieces:  # one at a time, to fail only the piece at fault
            simulator = holder.take()
            try:
                outcomes.extend(run_pieces(simulator, [piece], holder.ports, holder.nets))
            except Exception as exc:
                outcomes.append(failed_outcome(f"{type(exc).__name__}: {exc}"))
                continue
            holder.give(simulator)
        return outcomes
    holder.give(simulator)
    return outcomes


def dask_setup(worker: object) -> None:
    """The preload of nimbo's local clusters: Ctrl-C on the terminal is for
    the process that started the cluster, which closes it."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
