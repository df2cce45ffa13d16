"""Every step and batch form of nimbo.Simulator gives what the plain model
gives (clocked_model.py, stepping nimbo.core one update at a time), on random
circuits without and with registers and memories."""

import json
import random

import pytest

from nimbo import Simulator, VectorError

from clocked_model import ClockedModel, random_clocked_circuit
from conftest import byte_grid, make_ir, random_circuit

SHAPES = [
    pytest.param(dict(), id="one-pass"),
    pytest.param(dict(feedback=True), id="feedback"),
    pytest.param(dict(drop_influence=3), id="partial-lists"),
    pytest.param(dict(widths=(1,)), id="one-bit"),
    pytest.param(dict(widths=(1,), registers=8, reset_chains=True), id="reset-chains"),
    pytest.param(dict(widths=(1, 65), reset_chains=True, feedback=True), id="reset-chains-feedback"),
    pytest.param(dict(widths=(1, 3), clocks_as_data=True), id="clocks-as-data"),
    pytest.param(dict(memories=2), id="memories"),
    pytest.param(dict(memories=2, feedback=True), id="memories-feedback"),
    pytest.param(dict(registers=0, memories=3), id="memories-alone"),
    pytest.param(dict(widths=(1,), memories=3), id="memories-one-bit"),
    pytest.param(dict(widths=(1, 65), memories=2, reset_chains=True), id="memories-wide"),
    pytest.param(dict(widths=(1, 3), memories=2, clocks_as_data=True), id="memories-clocks-as-data"),
]
# Circuits without registers, beside the clocked shapes: steps are plain updates.
BATCH_SHAPES = [
    pytest.param(random_circuit, dict(), id="dag"),
    pytest.param(random_circuit, dict(drop_influence=3), id="dag-partial-lists"),
    pytest.param(random_circuit, dict(feedback=True), id="dag-feedback"),
    pytest.param(random_circuit, dict(widths=(1,)), id="dag-one-bit"),
] + [pytest.param(random_clocked_circuit, *shape.values, id=shape.id) for shape in SHAPES]


def random_steps(rng, inputs, count, bad=0.0, qs=()):
    """Step inputs: a random subset of the inputs each; now and then a value of
    the wrong width (with probability `bad`) or a write to a register's q."""
    steps = []
    for _ in range(count):
        step = {b: "".join(rng.choice("01") for _ in range(w)) for b, w in inputs.items() if rng.randrange(2)}
        if step and rng.random() < bad:
            victim = rng.choice(list(step))
            step[victim] += "1"
        steps.append(step)
    return steps


def same_reason(got: str, expected: str) -> bool:
    """The simulator's reason is the model's; where the circuit did not
    settle, it also names the busses that kept changing."""
    if expected.startswith("Circuit did not settle"):
        return got.startswith(f"{expected}; bus") and " still changing: " in got
    return got == expected


def model_run(ir, steps, first=None):
    """Values after each step (after `first`, when given), the error of the
    first failing step, and the values the model is left with."""
    model = ClockedModel(ir)
    if first is not None:
        model.step(first)
    results = []
    for step in steps:
        try:
            results.append(model.step(step))
        except RuntimeError as error:
            return results, str(error), model.values()
    return results, None, model.values()


def carried(start, vectors):
    """The same vectors writing every input of `start` in each, with the value in force."""
    current = dict(start)
    return [current := current | vector for vector in vectors]


def byte_rows(rows, names):
    return bytes(int(c) for row in rows for name in names for c in row[name])


def jsonl(steps):
    return "\n".join(json.dumps(s) for s in steps).encode()


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(8))
def test_steps_give_the_plain_model(shape, seed):
    rng = random.Random(seed)
    ir, inputs = random_clocked_circuit(rng, **shape)
    try:
        model = ClockedModel(ir)
    except RuntimeError as error:
        with pytest.raises(RuntimeError, match="settle"):
            Simulator(ir)
        assert "settle" in str(error)
        return
    simulator = Simulator(ir)
    assert simulator.values() == model.values()
    ids = list(simulator.bus_ids)
    taken, rows = [], []
    for step in random_steps(rng, inputs, 60, bad=0.05):
        try:
            expected = model.step(step)
        except RuntimeError as error:
            with pytest.raises(RuntimeError) as caught:
                simulator.step(step)
            assert same_reason(str(caught.value), str(error))
            assert simulator.values() == model.values()
            if "settle" in str(error):
                break  # each further step would run to the work bound again
            continue
        simulator.step(step)
        # A read of a few busses brings only what they read up to date;
        # other reads, later steps and a full read still see every bus.
        for _ in range(rng.randrange(3)):
            some = rng.sample(ids, rng.randint(1, min(3, len(ids))))
            assert simulator.values(some) == {i: expected[i] for i in some}
        assert simulator.values() == expected
        taken.append(step)
        rows.append(tuple(expected[b] for b in ids))
    # The steps taken, side by side from the start: a design whose clocks
    # nothing reads and whose registers take one edge skips the pass of the
    # other edge, and its clocks still show low after each step.
    simulator.reset()
    for result in simulator.run_sequences_jsonl([jsonl(taken)] * 3, ids):
        assert result == (rows, [], None)


@pytest.mark.parametrize("make, shape", BATCH_SHAPES)
@pytest.mark.parametrize("seed", range(6))
def test_every_batch_form_gives_the_plain_model(make, shape, seed):
    """run, run_jsonl, run_bits, run_sequences_jsonl and run_sequences, from
    the state after a first step, with vectors that write some of the inputs
    (those of `written`) and now and then a value of the wrong width."""
    rng = random.Random(100 + seed)
    ir, inputs = make(rng, **shape)
    try:
        ClockedModel(ir)
    except RuntimeError as error:  # does not settle from the start
        with pytest.raises(RuntimeError) as refused:
            Simulator(ir)
        assert same_reason(str(refused.value), str(error)) if make is random_circuit else "settle" in str(error)
        return
    names = sorted(inputs)
    written = [b for b in names if rng.randrange(2)] if rng.randrange(2) else names
    bad = 0.01 if seed % 2 else 0.0

    def partial(count, bad=0.0):
        return random_steps(rng, {b: inputs[b] for b in written}, count, bad)

    # Now and then the inputs nobody writes get values of their own first.
    first = {b: "".join(rng.choice("01") for _ in range(inputs[b])) for b in names} if rng.randrange(2) else {}
    vectors = partial(rng.choice((9, 200, 700)), bad)
    try:
        expected, error, final = model_run(ir, vectors, first)
    except RuntimeError:
        return  # the first step does not settle: test_steps_give_the_plain_model covers that

    def fresh():
        simulator = Simulator(ir)
        simulator.step(first)
        return simulator

    simulator = fresh()
    start = simulator.values()
    show = list(simulator.bus_ids)
    if error is None:
        assert simulator.run(vectors) == expected
    else:
        with pytest.raises(VectorError) as caught:
            simulator.run(vectors)
        assert same_reason(caught.value.reason, error)
        assert (caught.value.index, caught.value.results) == (len(expected), expected)
    assert simulator.values() == final

    # Every bus, every other one, and single busses early and late in the
    # circuit: reads bring a few busses up to date, or all of them.
    driven = [b for b, d in zip(show, simulator.driven) if d]
    for some in (show, show[::2], driven[:1], driven[-1:]):
        simulator = fresh()
        if error is None:
            assert simulator.run_jsonl(jsonl(vectors), some) == ([tuple(row[b] for b in some) for row in expected], [])
            assert simulator.values() == final
        else:
            with pytest.raises(VectorError) as caught:
                simulator.run_jsonl(jsonl(vectors), some)
            assert same_reason(caught.value.reason, error)
            if "settle" in error:
                return  # each further run would run to the work bound again

    # Rows of bytes have fixed columns: outputs whose width never changes
    # (a bus read before its operands settled, where lists are incomplete).
    outputs = [b for b in show if {len(row[b]) for row in expected} <= {len(start[b])}]
    columns = sum(inputs[b] for b in written)
    held = {b: start[b] for b in written}
    if error is None:
        simulator = fresh()
        data = byte_rows(carried(held, vectors), written)
        out = simulator.run_bits(written, byte_grid(data, len(vectors), columns), outputs)
        assert out.tolist() == [[int(c) for b in outputs for c in row[b]] for row in expected]
        assert simulator.values() == final

    # Sequences side by side across the 64-lane boundary, each from the
    # state after `first`, which the calls leave as it was.
    sequences = [vectors[: rng.randrange(16)]] + [partial(rng.randrange(16), 0.02) for _ in range(rng.choice((2, 65)))]
    simulator = fresh()
    results = simulator.run_sequences_jsonl([jsonl(s) for s in sequences], show)
    assert simulator.values() == start and len(results) == len(sequences)
    failing = [s for s, result in enumerate(results) if result[2]]
    for s in sorted({0, len(sequences) - 1, *rng.sample(range(len(sequences)), 3), *failing}):
        rows, failure, _ = model_run(ir, sequences[s], first)
        values, unknown, fault = results[s]
        assert (values, unknown) == ([tuple(row[b] for b in show) for row in rows], [])
        if failure is None:
            assert fault is None
        else:
            assert isinstance(fault, VectorError) and same_reason(fault.reason, failure)
            assert (fault.index, fault.line) == (len(rows), len(rows) + 1)

    steps = rng.randrange(1, 9)
    sequences = [partial(steps) for _ in range(rng.choice((2, 67)))]
    data = b"".join(byte_rows(carried(held, s), written) for s in sequences)
    simulator = fresh()
    try:
        out = simulator.run_sequences(written, byte_grid(data, len(sequences), steps, columns), outputs).tolist()
    except VectorError as fault:  # a sequence that does not settle
        assert same_reason(fault.reason, model_run(ir, sequences[fault.sequence], first)[1])
        return
    assert simulator.values() == start
    for s in sorted({0, len(sequences) - 1, *rng.sample(range(len(sequences)), 2)}):
        rows, failure, _ = model_run(ir, sequences[s], first)
        assert failure is None and out[s] == [[int(c) for b in outputs for c in row[b]] for row in rows]


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


def test_a_counter_counts_on_rising_edges_only_while_enabled():
    from nimbo.ir import gate, ref

    # q (2 bits) counts through d = q + 1, built from its bits; en gates it.
    busses = [
        {"id": "clk", "value": "0"},
        {"id": "en", "value": "1", "influence_list": []},
        {"id": "rst", "value": "0"},
        {"id": "q0", "value": "0", "influence_list": ["d0", "d1"]},
        {"id": "q1", "value": "0", "influence_list": ["d1"]},
        {"id": "d0", "assignment": gate("not", ref("q0"))},
        {"id": "d1", "assignment": gate("xor", ref("q1"), ref("q0"))},
    ]
    registers = [
        {"q": "q0", "d": "d0", "clock": "clk", "enable": "en", "async_reset": "rst"},
        {"q": "q1", "d": "d1", "clock": "clk", "enable": "en", "async_reset": "rst"},
    ]
    ir = json.dumps({"component": {"id": "count", "registers": registers, "busses": busses}})
    simulator = Simulator(ir)
    assert simulator.clocks == ("clk",)
    counts = []
    for step in [{}, {}, {}, {"en": "0"}, {}, {"en": "1"}, {"rst": "1"}, {"rst": "0"}, {}]:
        simulator.step(step)
        values = simulator.values(["q0", "q1"])
        counts.append(int(values["q1"] + values["q0"], 2))
    assert counts == [1, 2, 3, 3, 3, 0, 0, 1, 2]
    with pytest.raises(RuntimeError, match="'clk' is a clock"):
        simulator.step({"clk": "1"})


# Reading a record, and a width known once evaluated; the other refusals of
# register records are checked in tests/cpp/test_registers.cpp.
BAD_REGISTERS = [
    ({"q": "w", "d": "a", "clock": "clk"}, "d 'a' has 1 bit but q has 2"),
    ({"q": "a", "d": "a", "clock": "clk", "edge": "rising"}, "'edge' must be"),
    ({"q": "a", "clock": "clk"}, "'d' is missing"),
    ({"q": "z", "d": "z", "clock": "clk"}, "q has 0 bits; a register holds at least one"),
]


@pytest.mark.parametrize("record, message", BAD_REGISTERS)
def test_bad_registers_are_refused_when_the_simulator_loads(record, message):
    from nimbo.core import Renderer

    busses = [{"id": i, "value": v} for i, v in (("clk", "0"), ("clk2", "0"), ("a", "0"), ("w", "00"), ("z", ""))]
    busses.append({"id": "y", "assignment": {"type": "ref", "args": {"id": "a"}}})
    ir = json.dumps({"component": {"id": "bad", "registers": [record], "busses": busses}})
    with pytest.raises(RuntimeError) as caught:
        Simulator(ir)
    assert str(caught.value).startswith("Failed to render circuit: registers[0]")
    assert message in str(caught.value)
    Renderer(ir).component.update_signals({})  # nimbo.core ignores the registers


def test_two_registers_on_one_q_are_refused():
    busses = [{"id": "clk", "value": "0"}, {"id": "a", "value": "0"}]
    registers = [{"q": "a", "d": "a", "clock": "clk"}, {"q": "a", "d": "a", "clock": "clk"}]
    ir = json.dumps({"component": {"id": "bad", "registers": registers, "busses": busses}})
    with pytest.raises(RuntimeError, match=r"registers\[1\] \(q 'a'\): q 'a' is already the q of registers\[0\]"):
        Simulator(ir)


def chain_ir(order, clock_reader):
    """Registers a (d = x), b (reset = a's q), c (reset = b's q), listed in
    `order`; b and c load 1 on every edge. With `clock_reader`, a falling-edge
    register e takes the clock as its enable and f the clock as its reset:
    no gate reads the clock."""
    busses = [{"id": i, "value": "0"} for i in ("clk", "x", "one", "a", "b", "c", "e", "f")]
    busses[2]["value"] = "1"
    records = {
        "a": {"q": "a", "d": "x", "clock": "clk"},
        "b": {"q": "b", "d": "one", "clock": "clk", "async_reset": "a"},
        "c": {"q": "c", "d": "one", "clock": "clk", "async_reset": "b"},
    }
    if clock_reader:
        records["e"] = {"q": "e", "d": "x", "clock": "clk", "edge": "negedge", "enable": "clk"}
        records["f"] = {"q": "f", "d": "one", "clock": "clk", "async_reset": "clk", "reset_value": "0"}
    registers = [records[q] for q in order if q in records]
    return json.dumps({"component": {"id": "chain", "registers": registers, "busses": busses}})


@pytest.mark.parametrize("order", ["abcef", "cbafe"])
@pytest.mark.parametrize("clock_reader", [False, True])
def test_resets_of_a_step_act_together_and_registers_see_their_clock(order, clock_reader):
    ir = chain_ir(order, clock_reader)
    steps = [{"x": "0"}, {"x": "1"}, {"x": "1"}, {"x": "0"}, {}, {"x": "1"}]
    model = ClockedModel(ir)
    expected = [model.step(step) for step in steps]
    # After x = 1: a is 1, b reset to 0, and c, whose reset b was 1 when the
    # round began, reset with it.
    assert (expected[1]["a"], expected[1]["b"], expected[1]["c"]) == ("1", "0", "0")
    if clock_reader:
        assert expected[1]["e"] == "1" and expected[0]["f"] == "0"
    show = list(expected[0])
    rows = [tuple(values[b] for b in show) for values in expected]
    simulator = Simulator(ir)
    assert [simulator.step(step) or tuple(simulator.values(show).values()) for step in steps] == rows
    simulator.reset()
    lines = "\n".join(json.dumps(step) for step in steps).encode()
    assert simulator.run_jsonl(lines, show)[0] == rows
    simulator.reset()  # sequences start from the current state
    for values, unknown, error in simulator.run_sequences_jsonl([lines] * 70, show):
        assert (values, unknown, error) == (rows, [], None)
    held, grid = "0", bytearray()
    for step in steps:
        held = step.get("x", held)
        grid.append(int(held))
    simulator.reset()
    out = simulator.run_bits(["x"], memoryview(bytes(grid)).cast("B", (len(steps), 1)), show)
    assert ["".join(map(str, row)) for row in out.tolist()] == ["".join(row) for row in rows]
    simulator.reset()
    out = simulator.run_sequences(["x"], memoryview(bytes(grid) * 70).cast("B", (70, len(steps), 1)), show)
    assert all(["".join(map(str, row)) for row in sequence] == ["".join(row) for row in rows]
               for sequence in out.tolist())


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(4))
def test_an_update_applies_the_asynchronous_resets_unless_told_not_to(shape, seed):
    # A reset is a level: the update is the plain update, then the rounds of
    # resets; with resets=False the plain update alone, as nimbo.core's.
    rng = random.Random(300 + seed)
    ir, inputs = random_clocked_circuit(rng, **shape)
    try:
        model = ClockedModel(ir)
    except RuntimeError:
        return
    simulator = Simulator(ir)
    qs = {r.q: len(model.values()[r.q]) for r in model.registers}
    for update in random_steps(rng, inputs, 30, bad=0.03) + random_steps(rng, qs, 10):
        resets = rng.randrange(3) != 0
        try:
            model.component.update_signals(update)
            if resets:
                model.asynchronous_parts()
        except RuntimeError as error:
            with pytest.raises(RuntimeError) as caught:
                simulator.update(update, resets=resets)
            assert same_reason(str(caught.value), str(error))
            assert simulator.values() == model.values()
            if "settle" in str(error):
                break
            continue
        simulator.update(update, resets=resets)
        assert simulator.values() == model.values()


def test_a_simulator_settles_when_it_is_built_with_or_without_registers():
    from nimbo.ir import gate, ref

    busses = [{"id": "a", "value": "0"}, {"id": "y", "value": "0", "assignment": gate("not", ref("a"))}]
    for registers in ([], [{"q": "q", "d": "y", "clock": "clk", "async_reset": "y", "reset_value": "1"}]):
        extra = [{"id": "clk", "value": "1"}, {"id": "q", "value": "0"}] if registers else []
        ir = json.dumps({"component": {"id": "s", "registers": registers, "busses": busses + extra}})
        simulator = Simulator(ir)
        assert simulator.values(["a", "y"]) == {"a": "0", "y": "1"}
        if registers:  # the clock written 0, the reset applied
            assert simulator.values(["clk", "q"]) == {"clk": "0", "q": "1"}
        simulator.update({"a": "1"})
        simulator.reset()
        assert simulator.values() == ClockedModel(ir).values()


def test_a_register_wider_than_a_word_whose_upper_word_alone_changes_is_followed():
    # d = q xor (only bit 64): each edge flips bit 64 alone; y reads it among
    # enough gates that a step follows its changes.
    mask = {"type": "const", "args": {"value": "0" * 64 + "1"}}
    busses = [
        {"id": "clk", "value": "0"},
        {"id": "q", "value": "0" * 65, "influence_list": ["d", "y"]},
        {"id": "d", "assignment": {"type": "xor", "args": {"l_expr": {"type": "ref", "args": {"id": "q"}}, "r_expr": mask}}},
        {"id": "y", "assignment": {"type": "and", "args": {"l_expr": {"type": "ref", "args": {"id": "q"}}, "r_expr": mask}}},
        {"id": "a", "value": "0", "influence_list": [f"f{i}" for i in range(40)]},
    ]
    busses += [{"id": f"f{i}", "assignment": {"type": "not", "args": {"expr": {"type": "ref", "args": {"id": "a"}}}}}
               for i in range(40)]
    ir = json.dumps({"component": {"id": "wide", "registers": [{"q": "q", "d": "d", "clock": "clk"}], "busses": busses}})
    simulator, model = Simulator(ir), ClockedModel(ir)
    assert simulator.one_pass
    for _ in range(4):
        simulator.step()
        assert simulator.values() == model.step({})
