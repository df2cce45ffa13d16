"""Registers built with nimbo.build, stepped by the plain clocked model, against Python models of what
each design is meant to do."""

import io
import random

import pytest

import nimbo
from nimbo.build import BuildError, Circuit, mux
from nimbo.lint import lint

pytest.importorskip("nimbo.core")
from clocked_model import ClockedModel  # noqa: E402
from nimbo.cli import main  # noqa: E402
from test_build_ops import check_ir  # noqa: E402


def run(circuit, steps):
    """Port numbers after each step (inputs given as port numbers)."""
    check_ir(circuit.to_document())
    model = ClockedModel(circuit.to_ir())
    return [circuit.port_numbers(model.step(circuit.bus_inputs(step))) for step in steps]


def random_steps(rng, count, **widths):
    return [{name: rng.getrandbits(w) for name, w in widths.items()} for _ in range(count)]


@pytest.mark.parametrize("width", [1, 8, 65])
@pytest.mark.parametrize("async_reset", [False, True])
def test_counter_with_enable_and_resets(width, async_reset):
    c = Circuit("counter")
    en, rst, arst = c.input("en"), c.input("rst"), c.input("arst")
    count = c.register("count", width, enable=en, reset=rst, async_reset=arst if async_reset else None, init=1)
    count.next = count + 1
    c.output("value", count)
    rng = random.Random(width)
    steps = [{"en": int(rng.random() < 0.8), "rst": int(rng.random() < 0.1), "arst": int(rng.random() < 0.1)} for _ in range(150)]
    got = [out["value"] for out in run(c, steps)]
    value, expected = 1, []
    for step in steps:
        if async_reset and step["arst"] or step["rst"]:
            value = 1  # a synchronous reset wins over the enable
        elif step["en"]:
            value = (value + 1) % (1 << width)
        expected.append(value)
    assert got == expected


@pytest.mark.parametrize("width", [1, 12])
def test_shift_register(width):
    c = Circuit("shift")
    din = c.input("din", width)
    stages = [c.register(f"r{i}", width) for i in range(4)]
    stages[0].next = din
    for previous, stage in zip(stages, stages[1:]):
        stage.next = previous
    c.output("dout", stages[-1])
    c.output("mix", stages[1] ^ stages[2])
    steps = random_steps(random.Random(width), 30, din=width)
    got = run(c, steps)
    history = [0, 0, 0, 0] + [s["din"] for s in steps]
    for k, out in enumerate(got):
        window = history[k + 1 : k + 5][::-1]  # r0 holds the newest value
        assert out["dout"] == window[3]
        assert out["mix"] == window[1] ^ window[2]
    if width > 1:  # whole words in, whole words out: one register record per stage
        assert [r["q"] for r in c.to_document()["component"]["registers"]] == ["r0", "r1", "r2", "r3"]


def test_async_reset_holds_the_initial_value_while_asserted():
    c = Circuit("acc")
    x, arst = c.input("x", 8), c.input("arst")
    acc = c.register("acc", 8, async_reset=arst, init=0xA5)
    acc.next = acc ^ x
    c.output("acc_out", acc)
    steps = random_steps(random.Random(3), 60, x=8, arst=1)
    value, expected = 0xA5, []
    for step in steps:
        value = 0xA5 if step["arst"] else value ^ step["x"]
        expected.append(value)
    assert [out["acc_out"] for out in run(c, steps)] == expected
    record = c.to_document()["component"]["registers"][0]
    assert record == {"q": "acc", "d": "acc$next", "clock": "clk", "edge": "posedge", "async_reset": "arst",
                      "reset_value": "10100101"}


def test_negedge_registers_take_what_the_posedge_ones_just_took():
    c = Circuit("edges")
    clock, din = c.input("ck"), c.input("din", 4)
    rise = c.register("rise", 4, clock=clock, d=din)
    fall = c.register("fall", 4, clock="ck", d=rise, edge="negedge")
    c.output("rise_out", rise)
    c.output("fall_out", fall)
    steps = random_steps(random.Random(4), 20, din=4)
    assert run(c, steps) == [{"ck": 0, "din": s["din"], "rise_out": s["din"], "fall_out": s["din"]} for s in steps]
    assert [r["edge"] for r in c.to_document()["component"]["registers"]] == ["posedge", "negedge"]


def test_state_machine_with_comparisons_and_a_mux():
    # Counts up to `limit`, then down to 0, and so on; `up` is the direction.
    c = Circuit("bounce")
    limit = c.input("limit", 6)
    value = c.register("value", 6)
    up = c.register("up", 1, init=1)
    at_top, at_bottom = value >= limit, value == 0
    going_up = mux(up, at_bottom, ~at_top)
    up.next = going_up
    value.next = mux(going_up, value - 1, value + 1)
    c.output("v", value)
    steps = [{"limit": 9}] * 25 + [{"limit": 3}] * 15
    v, u, expected = 0, 1, []
    for step in steps:
        u = int(v < step["limit"]) if u else int(v == 0)
        v = (v + 1) % 64 if u else (v - 1) % 64
        expected.append(v)
    assert [out["v"] for out in run(c, steps)] == expected


def test_registers_without_logic_between_them_keep_the_ir_acyclic(tmp_path):
    c = Circuit("pipe")
    a = c.input("a", 8)
    r1 = c.register("r1", 8, d=a + 3)
    r2 = c.register("r2", 8, d=r1 ^ a)
    c.output("y", r2 + r1)
    assert lint(c.to_document()).findings == []  # no feedback: register outputs are inputs of the logic
    assert nimbo.Simulator(c.to_ir()).one_pass
    path = tmp_path / "pipe.json"
    path.write_text(c.to_ir())
    out = io.StringIO()
    assert main(["check", str(path), "--strict"], out=out) == 0, out.getvalue()


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda c: c.register("r", 4), "register 'r' has no next value: set r.next"),
        (lambda c: setattr(c.register("r", 4), "next", c.input("x", 3)), "r.next: the register has 4 bits, the value 3"),
        (lambda c: [setattr(r := c.register("r"), "next", 0), setattr(r, "next", 1)], "r.next is already set"),
        (lambda c: c.register("r", clock=c.wire("g", c.input("x"))), "the clock must be a 1-bit input"),
        (lambda c: c.register("r", clock=c.input("k", 2)), "the clock must be a 1-bit input"),
        (lambda c: c.register("r", enable=c.input("e", 2)), "register 'r': enable must be a 1-bit signal, got 2 bits"),
        (lambda c: c.register("r", edge="rising"), "edge is 'posedge' or 'negedge'"),
        (lambda c: c.register("r", 4, init=16), "does not fit in 4 bits"),
        (lambda c: c.register("r").drive(1), "bus 'r' is a register: set r.next instead"),
        (lambda c: c.register("r", reset=Circuit("o").input("x")), "reads bus 'x', which belongs to another circuit"),
    ],
)
def test_register_mistakes_are_refused(build, message):
    c = Circuit("bad")
    with pytest.raises(BuildError, match=message):
        build(c)
        c.to_ir()
