"""Batches that write only some inputs: every batch form gives what the plain
model gives stepping once per vector, and an input no vector writes keeps its
value, in every lane of a batch and after it."""

import json
import random

import pytest

from nimbo import Simulator, VectorError

from clocked_model import ClockedModel, random_clocked_circuit
from conftest import byte_grid, make_ir, random_circuit

SHAPES = [
    pytest.param(random_circuit, {}, id="dag"),
    pytest.param(random_circuit, dict(drop_influence=3), id="dag-partial-lists"),
    pytest.param(random_circuit, dict(feedback=True), id="feedback"),
    pytest.param(random_circuit, dict(widths=(1,)), id="one-bit-dag"),
    pytest.param(random_clocked_circuit, {}, id="registers"),
    pytest.param(random_clocked_circuit, dict(widths=(1,)), id="registers-one-bit"),
    pytest.param(random_clocked_circuit, dict(feedback=True), id="registers-feedback"),
]


def bits(rng, width):
    return "".join(rng.choice("01") for _ in range(width))


def model_steps(ir, steps):
    """The plain model: nimbo.core, one update (or clock cycle) per step after
    the update without inputs that a simulator starts with."""
    model = ClockedModel(ir)
    return [model.step(step) for step in steps]


def carried(start, vectors):
    """The same vectors writing every input of `start` in each, with the value in force."""
    current = dict(start)
    rows = []
    for vector in vectors:
        current.update(vector)
        rows.append(dict(current))
    return rows


def byte_rows(rows, names):
    return bytes(int(c) for row in rows for name in names for c in row[name])


@pytest.mark.parametrize("make, shape", SHAPES)
@pytest.mark.parametrize("seed", range(5))
def test_batches_writing_some_inputs_give_the_model(make, shape, seed):
    rng = random.Random(seed)
    ir, inputs = make(rng, **shape)
    names = sorted(inputs)
    written = [name for name in names if rng.randrange(2)]

    def partial(count):
        return [{b: bits(rng, inputs[b]) for b in written if rng.randrange(3)} for _ in range(count)]

    # Now and then the inputs nobody writes get values of their own first.
    first = {b: bits(rng, inputs[b]) for b in names} if rng.randrange(2) else {}
    vectors = partial(rng.choice((9, 200, 700)))
    try:
        expected = model_steps(ir, [first, *vectors])[1:]
    except RuntimeError:
        return  # does not settle: test_simulator and test_clocked cover that

    def fresh():
        simulator = Simulator(ir)
        simulator.step(first)
        return simulator

    simulator = fresh()
    start = simulator.values()
    show = list(simulator.bus_ids)
    # Rows of bytes have fixed columns: outputs whose width never changes.
    outputs = [b for b in show if {len(row[b]) for row in expected} == {len(start[b])}]
    assert simulator.run(vectors) == expected
    assert simulator.values() == expected[-1]

    simulator = fresh()
    lines = "\n".join(json.dumps(v) for v in vectors).encode()
    assert simulator.run_jsonl(lines, show) == ([tuple(row[b] for b in show) for row in expected], [])
    assert simulator.values() == expected[-1]

    simulator = fresh()
    columns = sum(inputs[b] for b in written)
    data = byte_rows(carried({b: start[b] for b in written}, vectors), written)
    out = simulator.run_bits(written, byte_grid(data, len(vectors), columns), outputs)
    assert out.tolist() == [[int(c) for b in outputs for c in row[b]] for row in expected]
    assert simulator.values() == expected[-1]

    # Sequences side by side, each from the state after `first`, which the
    # calls leave as it was.
    steps = rng.randrange(1, 9)
    sequences = [vectors[:steps]] + [partial(steps) for _ in range(rng.choice((2, 69)))]
    simulator = fresh()
    blocks = ["\n".join(json.dumps(v) for v in sequence).encode() for sequence in sequences]
    results = simulator.run_sequences_jsonl(blocks, show)
    data = b"".join(byte_rows(carried({b: start[b] for b in written}, s), written) for s in sequences)
    try:
        out = simulator.run_sequences(written, byte_grid(data, len(sequences), steps, columns), outputs).tolist()
    except VectorError as error:  # a sequence that does not settle
        assert results[error.sequence][2].reason == error.reason
        out = None
    assert simulator.values() == start
    for s in sorted({0, len(sequences) - 1, *rng.sample(range(len(sequences)), 3)}):
        try:
            rows = model_steps(ir, [first, *sequences[s]])[1:]
        except RuntimeError:
            assert results[s][2] is not None
            continue
        assert results[s] == ([tuple(row[b] for b in show) for row in rows], [], None)
        if out is not None:
            assert out[s] == [[int(c) for b in outputs for c in row[b]] for row in rows]


@pytest.mark.parametrize("rows", [1, 7, 8, 64, 65, 600])
def test_an_input_no_row_writes_keeps_its_1(rows):
    ir = make_ir([{"id": "a"}, {"id": "b", "value": "1"}])
    simulator = Simulator(ir)
    out = simulator.run_bits(["a"], byte_grid(bytes(rows), rows, 1), ["b"])
    assert out.tolist() == [[1]] * rows
    assert simulator.values() == {"a": "0", "b": "1"}


@pytest.mark.parametrize("shape", [{}, dict(widths=(1,))], ids=["registers", "registers-one-bit"])
@pytest.mark.parametrize("seed", range(4))
def test_a_bad_row_in_one_lane_leaves_the_other_sequences_alone(shape, seed):
    """Sequences in lanes across a 64-lane boundary, one of which meets a bad
    byte: it stops there with its rows before it, and every other sequence
    gives what it gives without the bad byte."""
    rng = random.Random(seed)
    ir, inputs = random_clocked_circuit(rng, **shape)
    names = sorted(b for b in inputs if inputs[b])
    if not names:
        return
    simulator = Simulator(ir)
    outputs = [b for b in simulator.bus_ids if b not in inputs][:8]
    sequences, steps, columns = 70, 6, sum(inputs[b] for b in names)
    good = bytes(rng.randrange(2) for _ in range(sequences * steps * columns))
    expected = simulator.run_sequences(names, byte_grid(good, sequences, steps, columns), outputs).tolist()
    bad, step = rng.randrange(sequences), rng.randrange(steps)
    data = bytearray(good)
    data[(bad * steps + step) * columns + rng.randrange(columns)] = 2
    with pytest.raises(VectorError) as caught:
        simulator.run_sequences(names, byte_grid(bytes(data), sequences, steps, columns), outputs)
    assert (caught.value.sequence, caught.value.index) == (bad, step)
    got = caught.value.results.tolist()
    assert [got[s] for s in range(sequences) if s != bad] == [expected[s] for s in range(sequences) if s != bad]
    assert got[bad][:step] == expected[bad][:step]
