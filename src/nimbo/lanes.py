"""Many copies of a design stepped together, one per lane: the reactive
testbench at lane speed (``Design.lanes(n)``).

Each lane is a design of its own, in the state the design had when the
lanes were made, driven by the same calls as :class:`nimbo.Design` but with
one value per lane: a testbench that reads the outputs and decides the next
inputs runs hundreds of sequences (seeds) in one loop. The engine steps
every lane in one call and converts the ints in C++.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._engine import Lanes
    from .design import Design, _Trace

__all__ = ["DesignLanes"]

# One value for every lane, or one per lane: a sequence or a 1-D NumPy array of ints.
LaneValue = Any


class DesignLanes:
    """`count` copies of a design side by side, one per lane::

        lanes = counter.lanes(256)
        out = lanes.step(en=[seed % 2 for seed in range(256)])   # one value per lane
        out["value"]                                             # 256 ints
        lanes.step(en=1, hold=[lane % 3 == 0 for lane in range(256)])  # held lanes do not step
        lanes.reset([out_of_range(v) for v in out["value"]])      # back to the initial state

    ``step``, ``settle`` and ``poke`` take, per name, one value for every
    lane (an int or a str, as ``Design.step`` takes) or one per lane (a
    sequence of ints, or a 1-D NumPy array of integers), and write only the
    lanes that `hold` (None, or one truth value per lane) leaves out: a held
    lane keeps its inputs and its state, exactly. They return, per output,
    one unsigned int per lane: a list, or with ``numpy=True`` a NumPy array
    (uint64 up to 64 bits, int64 for signed reads, object above). Names,
    values and refusals are those of :class:`nimbo.Design` (a refusal in
    one lane names it: ``lane 3: port 'a' has 4 bits: ...``); a port named
    ``hold`` is written through the mapping. Every lane gives what a Design
    driven alone with the same calls gives.
    """

    def __init__(self, design: Design, count: int, *, numpy: bool = False):
        from ._engine import Lanes

        if not isinstance(count, int) or isinstance(count, bool):
            raise TypeError(f"count is an int, not {type(count).__name__}")
        if not isinstance(numpy, bool):
            raise TypeError(f"numpy is True or False, not {type(numpy).__name__}")
        array = None
        if numpy:
            array = _array_maker()
        self.design = design
        self.inputs, self.outputs, self.clocks = design.inputs, design.outputs, design.clocks
        self._lanes: Lanes = Lanes(design._bench, count, array)
        self._trace: _Trace | None = None
        self._trace_lane = 0

    @property
    def count(self) -> int:
        """The number of lanes."""
        return self._lanes.count

    def __len__(self) -> int:
        return self._lanes.count

    def step(
        self, values: Mapping[str, LaneValue] | None = None, /, hold: Any = None, **named: LaneValue
    ) -> dict[str, Any]:
        """Writes the inputs into the lanes `hold` leaves out, and those lanes
        take one step (one cycle of every clock). Returns every output, one
        unsigned int per lane (held lanes give what they hold)."""
        if values is not None and type(values) is not dict:
            values = self.design._given(values)
        try:
            outputs = self._lanes.step(values, named, hold)
        except KeyError as exc:
            raise self.design._refusal(exc, values, named, "step") from None
        if self._trace is not None:
            self._record(hold, edge=True)
        return outputs

    def settle(
        self, values: Mapping[str, LaneValue] | None = None, /, hold: Any = None, **named: LaneValue
    ) -> dict[str, Any]:
        """Writes the inputs into the lanes `hold` leaves out, which settle
        without a clock edge (asynchronous resets act)."""
        if values is not None and type(values) is not dict:
            values = self.design._given(values)
        try:
            outputs = self._lanes.settle(values, named, hold)
        except KeyError as exc:
            raise self.design._refusal(exc, values, named, "settle") from None
        if self._trace is not None:
            self._record(hold, edge=False)
        return outputs

    def poke(self, values: Mapping[str, LaneValue] | None = None, /, hold: Any = None, **named: LaneValue) -> None:
        """Changes registers' state (q's, as ``Design.poke``) in the lanes
        `hold` leaves out, which then settle."""
        if values is not None and type(values) is not dict:
            values = self.design._given(values)
        try:
            self._lanes.poke(values, named, hold)
        except KeyError as exc:
            raise self.design._refusal(exc, values, named, "poke") from None
        if self._trace is not None:
            self._record(hold, edge=False)

    def reset(self, lanes: Any = None) -> None:
        """Puts lanes back to the design's initial state: every lane, or those
        whose truth value (one per lane) is true."""
        self._lanes.reset(lanes)
        if self._trace is not None and (lanes is None or bool(lanes[self._trace_lane])):
            self._trace.record(edge=False)

    def read(self, name: str, signed: bool = False) -> Any:
        """The value of a port, bus or named net in every lane."""
        self.design.width(name)  # the Design's refusal of a name it does not know
        return self._lanes.read(name, signed)

    def __getitem__(self, name: str) -> Any:
        return self.read(name)

    def lane(self, index: int, names: Sequence[str] | None = None) -> dict[str, int]:
        """The values of `names` (default: every port) in one lane."""
        chosen = list(names) if names is not None else list(self.design._port_names)
        for name in chosen:
            self.design.width(name)
        return dict(zip(chosen, self._lanes.read_lane(chosen, index)))

    def trace(self, path: str | os.PathLike[str] | None, signals: Sequence[str] | None = None, lane: int = 0) -> None:
        """Records one lane's view to a VCD, as ``Design.trace`` records a
        design (a call that holds the lane is a row without a clock pulse)."""
        from .design import _Trace

        if self._trace is not None:
            trace, self._trace = self._trace, None
            trace.close()
        if path is None:
            return
        if not isinstance(lane, int) or not 0 <= lane < self.count:
            raise IndexError(f"lane {lane!r}: there are {self.count} lanes")
        names, groups, columns = self.design._traced(signals)
        self._trace_lane = lane
        self._trace = _Trace(os.fspath(path), _LaneReader(self._lanes, lane, self.design, names), self.design.name,
                             names, [(name,) for name in names], columns)  # fmt: skip
        self._trace_end = _finalize(self, self._trace)

    def _record(self, hold: Any, edge: bool) -> None:
        assert self._trace is not None
        held = hold is not None and bool(hold[self._trace_lane])
        self._trace.record(edge=edge and not held)

    def __repr__(self) -> str:
        return f"<DesignLanes {self.design.name}: {self.count} lanes>"


class _LaneReader:
    """Reads one lane's values as bit strings, for a _Trace."""

    def __init__(self, lanes: Lanes, lane: int, design: Design, names: Sequence[str]):
        self._lanes, self._lane = lanes, lane
        self._widths = {name: design.width(name) for name in names}

    def values(self, names: Sequence[str]) -> dict[str, str]:
        numbers = self._lanes.read_lane(list(names), self._lane)
        return {
            name: format(number, f"0{self._widths[name]}b")[::-1] if self._widths[name] else ""
            for name, number in zip(names, numbers)
        }


def _finalize(owner: object, trace: _Trace) -> Any:
    import weakref

    return weakref.finalize(owner, trace.close)


def _array_maker() -> Any:
    """What the engine calls to make an output array: array(data, signed),
    data a bytearray of 64-bit numbers or a list of ints (above 64 bits)."""
    import importlib

    try:
        numpy = importlib.import_module("numpy")  # an optional extra: typed as a module either way
    except ImportError:
        from .extras import install_hint

        raise ImportError(f"numpy=True needs NumPy: {install_hint('numpy', 'numpy>=1.23')}") from None

    def array(data: bytearray | list[int], signed: bool) -> Any:
        if isinstance(data, list):
            return numpy.array(data, dtype=object)
        return numpy.frombuffer(data, dtype=numpy.int64 if signed else numpy.uint64)

    return array
