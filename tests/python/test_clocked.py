"""Designs with registers and memories: every step form of nimbo.Simulator gives what the
plain model gives, stepping through nimbo.core one update at a time."""

import json
import random

import pytest

from nimbo import Simulator, VectorError

from clocked_model import ClockedModel, random_clocked_circuit

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


def model_run(ir, steps):
    """Values after each step, and the error of the first failing step."""
    model = ClockedModel(ir)
    results = []
    for step in steps:
        try:
            results.append(model.step(step))
        except RuntimeError as error:
            return results, str(error), model.values()
    return results, None, model.values()


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
    for step in random_steps(rng, inputs, 60, bad=0.05):
        try:
            expected = model.step(step)
        except RuntimeError as error:
            with pytest.raises(RuntimeError) as caught:
                simulator.step(step)
            if str(error).startswith("Circuit did not settle"):  # the simulator names what kept changing
                assert str(caught.value).startswith(f"{error}; bus") and " still changing: " in str(caught.value)
            else:
                assert str(caught.value) == str(error)
            assert simulator.values() == model.values()
            if "settle" in str(error):
                break  # each further step would run to the work bound again
            continue
        simulator.step(step)
        assert simulator.values() == expected


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(5))
def test_batches_step_once_per_vector(shape, seed):
    rng = random.Random(100 + seed)
    ir, inputs = random_clocked_circuit(rng, **shape)
    steps = random_steps(rng, inputs, 80, bad=0.01)
    try:
        expected, error, final = model_run(ir, steps)
    except RuntimeError:
        return  # does not settle from the start: covered above
    simulator = Simulator(ir)
    show = list(simulator.bus_ids)
    if error is None:
        assert simulator.run(steps) == expected
    else:
        with pytest.raises(VectorError) as caught:
            simulator.run(steps)
        assert same_reason(caught.value.reason, error)
        assert caught.value.index == len(expected)
        assert caught.value.results == expected
    assert simulator.values() == final

    if error is None:
        # The same steps as a grid of bytes, every input written in each row.
        names = sorted(inputs)
        held = {b: "0" * inputs[b] for b in names}
        full = [held := held | step for step in steps]
        grid = bytes(int(bit) for step in full for b in names for bit in step[b])
        grid = memoryview(grid).cast("B", (len(steps), sum(inputs.values())))
        outputs = [b for b in simulator.bus_ids if b not in inputs]
        simulator.reset()
        model = ClockedModel(ir)
        for step, row in zip(full, simulator.run_bits(names, grid, outputs).tolist()):
            values = model.step(step)
            assert "".join(map(str, row)) == "".join(values[b] for b in outputs)

    lines = "\n".join(json.dumps(s) for s in steps).encode()
    driven = [b for b, d in zip(simulator.bus_ids, simulator.driven) if d]
    # Every bus, and single busses early and late in the circuit: reads
    # bring a few busses up to date, or all of them.
    for show in (list(simulator.bus_ids), driven[:1], driven[-1:]):
        simulator.reset()
        if error is None:
            values, unknown = simulator.run_jsonl(lines, show)
            assert unknown == []
            assert values == [tuple(row[b] for b in show) for row in expected]
            assert simulator.values() == final
        else:
            with pytest.raises(VectorError) as caught:
                simulator.run_jsonl(lines, show)
            assert same_reason(caught.value.reason, error)


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


BAD_REGISTERS = [
    ({"q": "y", "d": "a", "clock": "clk"}, "q 'y' has an assignment"),
    ({"q": "a", "d": "a", "clock": "y"}, "clock 'y' has an assignment"),
    ({"q": "a", "d": "nope", "clock": "clk"}, "d 'nope' names no bus"),
    ({"q": "w", "d": "a", "clock": "clk"}, "d 'a' has 1 bit but q has 2"),
    ({"q": "a", "d": "a", "clock": "w"}, "clock 'w' has 2 bits"),
    ({"q": "a", "d": "a", "clock": "clk", "edge": "rising"}, "'edge' must be"),
    ({"q": "a", "d": "a", "clock": "clk", "reset_value": "1"}, "reset_value is given without async_reset"),
    ({"q": "a", "d": "a", "clock": "clk", "async_reset": "clk2", "reset_value": "11"}, "reset_value must be a bit string of 1 bit"),
    ({"q": "a", "clock": "clk"}, "'d' is missing"),
    ({"q": "a", "d": "a", "clock": "clk", "enable": "w"}, "enable 'w' has 2 bits"),
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


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(4))
def test_sequences_side_by_side_give_each_sequence_alone(shape, seed):
    rng = random.Random(200 + seed)
    ir, inputs = random_clocked_circuit(rng, **shape)
    first = random_steps(rng, inputs, 1)[0]
    try:
        ClockedModel(ir).step(first)
    except RuntimeError:
        return  # does not settle: covered above
    simulator = Simulator(ir)
    simulator.step(first)  # sequences start from the current state
    start = simulator.values()
    count = rng.choice((3, 66))
    sequences = [random_steps(rng, inputs, rng.randrange(0, 16), bad=0.02) for _ in range(count)]
    show = list(simulator.bus_ids)
    blocks = ["\n".join(json.dumps(s) for s in steps).encode() for steps in sequences]
    results = simulator.run_sequences_jsonl(blocks, show)
    assert simulator.values() == start
    assert len(results) == count
    checked = sorted(rng.sample(range(count), min(count, 10)) + [i for i, r in enumerate(results) if r[2]])
    for steps, (values, unknown, error) in ((sequences[i], results[i]) for i in dict.fromkeys(checked)):
        model = ClockedModel(ir)
        model.step(first)
        expected = []
        failure = None
        for step in steps:
            try:
                expected.append(model.step(step))
            except RuntimeError as raised:
                failure = str(raised)
                break
        assert unknown == []
        assert values == [tuple(row[b] for b in show) for row in expected]
        if failure is None:
            assert error is None
        else:
            assert isinstance(error, VectorError)
            assert same_reason(error.reason, failure)
            assert (error.index, error.line) == (len(expected), len(expected) + 1)


@pytest.mark.parametrize("shape", SHAPES)
def test_byte_sequences_give_each_sequence_alone(shape):
    rng = random.Random(7)
    ir, inputs = random_clocked_circuit(rng, **shape)
    try:
        ClockedModel(ir)
    except RuntimeError:
        return
    simulator = Simulator(ir)
    names = sorted(inputs)
    outputs = [b for b in simulator.bus_ids if b not in names][:12]
    sequences, steps = 67, 6
    data = bytearray()
    for _ in range(sequences * steps):
        data += bytes(rng.randrange(2) for _ in range(sum(inputs[b] for b in names)))
    columns = sum(inputs[b] for b in names)
    grid = memoryview(bytes(data)).cast("B", (sequences, steps, columns))
    out = simulator.run_sequences(names, grid, outputs)
    assert out.shape[:2] == (sequences, steps)
    rows = out.tolist()
    for s in sorted(rng.sample(range(sequences), 8)):
        model = ClockedModel(ir)
        for t in range(steps):
            row = data[(s * steps + t) * columns:(s * steps + t + 1) * columns]
            step, column = {}, 0
            for b in names:
                step[b] = "".join(str(bit) for bit in row[column:column + inputs[b]])
                column += inputs[b]
            values = model.step(step)
            assert "".join(map(str, rows[s][t])) == "".join(values[b] for b in outputs)


@pytest.mark.parametrize("seed", range(20))
def test_sequences_show_the_clocks_low_after_each_step(seed):
    # A design whose clocks nothing reads and whose registers take one edge
    # only skips the pass of the other edge; the clocks still change.
    rng = random.Random(seed)
    ir, inputs = random_clocked_circuit(rng)
    try:
        model = ClockedModel(ir)
    except RuntimeError:
        return
    simulator = Simulator(ir)
    show = list(simulator.bus_ids)
    steps = random_steps(rng, inputs, 6)
    expected = []
    for step in steps:
        try:
            values = model.step(step)
        except RuntimeError:
            return
        expected.append(tuple(values[b] for b in show))
    block = "\n".join(json.dumps(s) for s in steps).encode()
    for values, unknown, error in simulator.run_sequences_jsonl([block] * 3, show):
        assert (values, unknown, error) == (expected, [], None)


@pytest.mark.parametrize("seed", range(30))
def test_reading_a_few_busses_after_each_step_gives_the_model_s_values(seed):
    # values(ids) after a step evaluates only what the ids read; reads of
    # other ids, later steps and a full read still see every bus as the
    # plain model has it.
    rng = random.Random(seed)
    ir, inputs = random_clocked_circuit(rng)
    try:
        model = ClockedModel(ir)
    except RuntimeError:
        return
    simulator = Simulator(ir)
    ids = list(simulator.bus_ids)
    for step in random_steps(rng, inputs, 8):
        try:
            expected = model.step(step)
        except RuntimeError:
            return
        simulator.step(step)
        for _ in range(rng.randrange(3)):
            some = rng.sample(ids, rng.randint(1, min(3, len(ids))))
            assert simulator.values(some) == {i: expected[i] for i in some}
    assert simulator.values() == {i: expected[i] for i in ids}


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
