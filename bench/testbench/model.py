"""The FIFO testbench both simulators run: seeded random push/pop/din, and
a Python model of the FIFO checked against the outputs every cycle. This
file runs under nimbo's Python and under the PyRTL venv's alike."""

from __future__ import annotations

import random
from collections import deque

DEPTH = 16


def vectors(cycles: int, seed: int = 1) -> list[tuple[int, int, int]]:
    """(push, pop, din) per cycle."""
    rng = random.Random(seed)
    return [(int(rng.random() < 0.55), int(rng.random() < 0.45), rng.randrange(256)) for _ in range(cycles)]


class FifoModel:
    def __init__(self) -> None:
        self.items: deque[int] = deque()

    def check(self, dout: int, empty: int, full: int, count: int) -> None:
        n = len(self.items)
        if (empty, full, count) != (int(n == 0), int(n == DEPTH), n) or (n and dout != self.items[0]):
            raise AssertionError(f"FIFO outputs dout={dout} empty={empty} full={full} count={count}, model {list(self.items)}")

    def apply(self, push: int, pop: int, din: int) -> None:
        n = len(self.items)
        pop_ok = pop and n > 0
        push_ok = push and n < DEPTH
        if pop_ok:
            self.items.popleft()
        if push_ok:
            self.items.append(din)
