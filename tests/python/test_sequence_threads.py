"""Sequences on threads (run_sequences and run_sequences_jsonl with
threads=): the same values, faults and errors as one thread (which
test_clocked.py checks against the plain clocked model, and the C++ tests
check on threads too); the argument's errors; Ctrl-C stops a threaded run."""

import json
import random
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from nimbo import Simulator, VectorError

from clocked_model import random_clocked_circuit
from conftest import random_vectors

SHAPES = [
    pytest.param(dict(), id="one-pass"),
    pytest.param(dict(widths=(1, 65), reset_chains=True), id="reset-chains"),
    pytest.param(dict(memories=2), id="memories"),
    pytest.param(dict(memories=2, feedback=True), id="memories-feedback"),
]
COUNT = 200  # sequences: several blocks of lanes once split over threads
MIDDLE = COUNT // 2  # the sequence given a bad step


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("threads", [2, 3])
def test_text_sequences_on_threads_give_what_one_thread_gives(shape, threads):
    rng = random.Random(threads)
    ir, inputs = random_clocked_circuit(rng, **shape)
    try:
        simulator = Simulator(ir)
    except RuntimeError:
        return  # does not settle
    sequences = [random_vectors(rng, inputs, rng.randrange(0, 9)) for _ in range(COUNT)]
    name = next(iter(inputs))
    sequences[MIDDLE] = [{}, {name: "1" * (inputs[name] + 1)}, {}]  # refused at its second step
    blocks = ["\n".join(json.dumps(s) for s in steps).encode() for steps in sequences]
    show = list(simulator.bus_ids)
    alone = simulator.run_sequences_jsonl(blocks, show)
    together = simulator.run_sequences_jsonl(blocks, show, threads=threads)
    assert [(values, unknown, error is None) for values, unknown, error in together] == [
        (values, unknown, error is None) for values, unknown, error in alone
    ]
    for (_, _, got), (_, _, expected) in zip(together, alone):
        if expected is not None:
            assert (got.index, got.line, got.reason, got.sequence) == (
                expected.index, expected.line, expected.reason, expected.sequence)
    assert together[MIDDLE][2].index == 1


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("threads", [2, 4])
def test_byte_sequences_on_threads_give_what_one_thread_gives(shape, threads):
    rng = random.Random(10 + threads)
    ir, inputs = random_clocked_circuit(rng, **shape)
    try:
        simulator = Simulator(ir)
    except RuntimeError:
        return  # does not settle
    names = sorted(inputs)
    outputs = [b for b in simulator.bus_ids if b not in names][:10]
    steps = 5
    columns = sum(inputs[b] for b in names)
    data = bytearray(rng.randrange(2) for _ in range(COUNT * steps * columns))
    grid = memoryview(bytes(data)).cast("B", (COUNT, steps, columns))
    alone = simulator.run_sequences(names, grid, outputs)
    together = simulator.run_sequences(names, grid, outputs, threads=threads)
    assert together.tolist() == alone.tolist()
    # A byte that is no bit in a middle sequence: the same error.
    data[(MIDDLE * steps + 2) * columns] = 2
    grid = memoryview(bytes(data)).cast("B", (COUNT, steps, columns))
    errors = []
    for count in (1, threads):
        with pytest.raises(VectorError) as raised:
            simulator.run_sequences(names, grid, outputs, threads=count)
        errors.append((raised.value.sequence, raised.value.index, raised.value.reason))
    assert errors[0] == errors[1] == (MIDDLE, 2, "Invalid bit 2 (bits are 0 or 1)")


@pytest.mark.parametrize("threads, error, message", [
    ("2", TypeError, "argument 'threads': expected an int, not 'str'"),
    (2.0, TypeError, "argument 'threads': expected an int, not 'float'"),
    (True, TypeError, "argument 'threads': expected an int, not 'bool'"),
    (0, ValueError, "argument 'threads': expected 1 or more, not 0"),
    (-(2**70), ValueError, f"argument 'threads': expected 1 or more, not {-(2**70)}"),
])
@pytest.mark.parametrize("call", ["run_sequences", "run_sequences_jsonl"])
def test_threads_must_be_a_count(call, threads, error, message):
    ir, inputs = random_clocked_circuit(random.Random(1))
    simulator = Simulator(ir)
    name = sorted(inputs)[0]
    with pytest.raises(error) as raised:
        if call == "run_sequences":
            grid = memoryview(bytes(inputs[name])).cast("B", (1, 1, inputs[name]))
            simulator.run_sequences([name], grid, [name], threads=threads)
        else:
            simulator.run_sequences_jsonl([b"{}"], [name], threads=threads)
    assert str(raised.value) == message


def test_a_huge_count_of_threads_is_as_many_as_there_are_blocks():
    rng = random.Random(5)
    ir, inputs = random_clocked_circuit(rng)
    simulator = Simulator(ir)
    blocks = [json.dumps(vector).encode() for vector in random_vectors(rng, inputs, 150)]
    assert simulator.run_sequences_jsonl(blocks, threads=2**70) == simulator.run_sequences_jsonl(blocks)


def test_ctrl_c_stops_sequences_on_threads():
    script = textwrap.dedent(
        """
        import json, random, signal, sys
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sys.path.insert(0, sys.argv[1])
        from clocked_model import random_clocked_circuit
        from nimbo import Simulator
        rng = random.Random(3)
        ir, inputs = random_clocked_circuit(rng, memories=1)
        simulator = Simulator(ir)
        step = json.dumps({b: "0" * w for b, w in inputs.items()})
        blocks = [("\\n".join([step] * 500)).encode()] * 600
        try:
            print("READY", flush=True)
            while True:
                simulator.run_sequences_jsonl(blocks, [], threads=2)
        except KeyboardInterrupt:
            print("INTERRUPTED", flush=True)
        # The simulator is whole: a run after the interrupt gives what it gives.
        few = blocks[:3]
        print(simulator.run_sequences_jsonl(few, threads=2) == simulator.run_sequences_jsonl(few))
        """
    )
    here = str(Path(__file__).parent)
    child = subprocess.Popen([sys.executable, "-c", script, here], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "READY"
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=600)
    assert out.split() == ["INTERRUPTED", "True"]
