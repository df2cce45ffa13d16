"""run_sequences' rows of bytes in and out of lanes against the plain model:
shown columns past 64 (several 64 x 64 transposes a row), blocks of one to
eight lane words, and sequences that stop at a bad byte anywhere in a row
while the other lanes of their block go on."""

import random

import pytest

from nimbo import Simulator, VectorError

from clocked_model import ClockedModel, random_clocked_circuit
from conftest import byte_grid

STEPS = 4


def model_rows(ir, names, rows, outputs):
    """The model's output bytes after each step of one sequence, up to its first bad row."""
    model, got = ClockedModel(ir), []
    for row in rows:
        if any(byte > 1 for byte in row):
            break
        texts, at = {}, 0
        for name, width in names:
            texts[name] = "".join(str(b) for b in row[at : at + width])
            at += width
        values = model.step(texts)
        got.append([int(c) for b in outputs for c in values[b]])
    return got


@pytest.mark.parametrize("sequences", [1, 63, 65, 200, 530])
@pytest.mark.parametrize("widths", [(1, 3), (1, 64, 65, 130)], ids=["narrow", "wide"])
def test_rows_in_lanes_give_the_plain_model(widths, sequences):
    rng = random.Random(sequences + 1000 * len(widths))
    ir, inputs = random_clocked_circuit(rng, widths=widths)
    names = [(b, inputs[b]) for b in sorted(inputs) if inputs[b]]
    columns = sum(w for _, w in names)
    simulator = Simulator(ir)
    outputs = list(simulator.bus_ids)
    data = bytearray(rng.randrange(2) for _ in range(sequences * STEPS * columns))
    bad = sorted(rng.sample(range(sequences), min(3, sequences - 1)))  # never every sequence
    for s in bad:
        step = rng.randrange(STEPS)
        data[(s * STEPS + step) * columns + rng.randrange(columns)] = rng.choice((2, 0x80, 0xFF))
    grid = byte_grid(bytes(data), sequences, STEPS, columns)
    try:
        out = simulator.run_sequences([b for b, _ in names], grid, outputs).tolist()
        assert not bad
    except VectorError as fault:
        assert fault.sequence == bad[0]
        out = fault.results.tolist()
    assert sum(len(row) for row in out[0]) == STEPS * sum(len(simulator.values()[b]) for b in outputs)
    for s in range(sequences):
        rows = [data[(s * STEPS + t) * columns : (s * STEPS + t + 1) * columns] for t in range(STEPS)]
        expected = model_rows(ir, names, rows, outputs)
        assert out[s][: len(expected)] == expected, f"sequence {s}"
