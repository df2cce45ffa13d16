"""Seeded random input vectors for the clocked benchmark, in the forms each
simulator reads.

The canonical form is a block of 0/1 bytes of shape (sequences, cycles,
input bits): one row per cycle, the input ports in the design's order, each
port's bits least significant first (the column order nimbo's ``run_bits``
and ``run_sequences`` take, and what the Verilator driver reads). Outputs
come back in the same shape: one byte per output bit, ports in order, least
significant bit first.
"""

from __future__ import annotations

import random
from collections.abc import Sequence

from designs import RESET_CYCLES, Design


_BELOW = [bytes(1 if b < k else 0 for b in range(256)) for k in range(257)]
_EQUAL = [bytes(1 if b == k else 0 for b in range(256)) for k in range(256)]


def draw(rng: random.Random, count: int, p: float) -> bytes:
    """`count` bytes, each 1 with probability p (to 1/65536) and 0 otherwise."""
    threshold = min(max(round(p * 65536), 0), 65536)
    if threshold == 65536:
        return b"\x01" * count
    high, low = divmod(threshold, 256)
    first, second = rng.randbytes(count), rng.randbytes(count)
    below = int.from_bytes(first.translate(_BELOW[high]), "little")
    equal = int.from_bytes(first.translate(_EQUAL[high]), "little")
    after = int.from_bytes(second.translate(_BELOW[low]), "little")
    return (below | (equal & after)).to_bytes(count, "little")


def generate(design: Design, sequences: int, cycles: int, seed: int) -> bytes:
    """sequences x cycles rows of the design's input bits, reproducible from `seed`."""
    rng = random.Random(f"{design.name}/{seed}/{sequences}/{cycles}")
    width = design.input_bits
    rows = sequences * cycles
    data = bytearray(rows * width)
    held = min(RESET_CYCLES, cycles)
    column = 0
    for port in design.inputs:
        for bit, p in enumerate(port.probabilities()):
            if port.hold:  # one draw per sequence
                for s, value in enumerate(draw(rng, sequences, p)):
                    base = s * cycles * width + column
                    data[base:base + cycles * width:width] = bytes([value]) * cycles
            else:
                data[column::width] = draw(rng, rows, p)
            if port.start is not None:
                value = (port.start >> bit) & 1
                for s in range(sequences):
                    base = s * cycles * width + column
                    data[base:base + held * width:width] = bytes([value]) * held
            column += 1
    return bytes(data)


def sequence(data: bytes, design: Design, cycles: int, index: int) -> bytes:
    """The rows of sequence `index` of a block."""
    size = cycles * design.input_bits
    return data[index * size:(index + 1) * size]


def port_values(row: bytes, ports: Sequence[tuple[str, int]]) -> dict[str, int]:
    """The integer value of each port in one row of bits (least significant first)."""
    values, pos = {}, 0
    for name, width in ports:
        values[name] = sum(row[pos + i] << i for i in range(width))
        pos += width
    return values


def readmemb_lines(data: bytes, design: Design, cycles: int) -> list[str]:
    """One $readmemb line per row: the input ports concatenated, each most
    significant bit first (the bits of ``{in_a, in_b} = mem[k]``)."""
    width = design.input_bits
    lines = []
    for c in range(cycles):
        row = data[c * width:(c + 1) * width]
        parts, pos = [], 0
        for port in design.inputs:
            parts.append("".join("1" if b else "0" for b in reversed(row[pos:pos + port.width])))
            pos += port.width
        lines.append("".join(parts))
    return lines
