"""The Python circuit builder: what it builds simulates right, is declared in order, and checks clean."""

import json
import random

import pytest

from nimbo.build import BuildError, Circuit, const, equal, mux, nand, ripple_add, select, zero_extend
from nimbo.lint import lint
from nimbo.ports import PortView

core = pytest.importorskip("nimbo.core")


def simulate(circuit, steps):
    """Port values after each step (inputs given per port)."""
    doc = circuit.to_document()
    view = PortView(circuit.ports(), [b["id"] for b in doc["component"]["busses"]])
    component = core.Renderer(circuit.to_ir()).component
    return [view.values(component.update_and_get(view.inputs(step))) for step in steps]


@pytest.mark.parametrize("words", [False, True])
def test_ripple_adder_and_equality_on_bit_vectors(words):
    c = Circuit("add8")
    a, b = (c.input("a", 8), c.input("b", 8)) if words else (c.inputs("a", 8), c.inputs("b", 8))
    cin = c.input("cin")
    sums, cout = ripple_add(c, "s", a, b, cin)
    c.outputs("sum", sums + [cout])
    c.output("eq", equal(a, b))
    rng = random.Random(5)
    cases = [(rng.getrandbits(8), rng.getrandbits(8), rng.getrandbits(1)) for _ in range(60)] + [(77, 77, 0)]
    bits = lambda v, w: format(v, f"0{w}b")[::-1]  # noqa: E731 - element 0 = bit 0
    steps = [{"a": bits(x, 8), "b": bits(y, 8), "cin": str(k)} for x, y, k in cases]
    for (x, y, k), got in zip(cases, simulate(c, steps)):
        assert int(got["sum"][::-1], 2) == x + y + k
        assert got["eq"] == str(int(x == y))


def test_latch_from_explicit_feedback():
    c = Circuit("sr")
    s_n, r_n = c.input("s_n", init="1"), c.input("r_n", init="1")
    q, q_n = c.feedback("q", init="0"), c.feedback("q_n", init="1")
    q.drive(nand(s_n, q_n))
    q_n.drive(nand(r_n, q))
    steps = [{"s_n": "0"}, {"s_n": "1"}, {"r_n": "0"}, {"r_n": "1"}]
    doc = c.to_document()
    component = core.Renderer(json.dumps(doc)).component
    got = [component.update_and_get(s)["q"] for s in steps]
    assert got == ["1", "1", "0", "0"]
    assert [f.kind for f in lint(doc).findings] == ["feedback"]


def test_busses_are_declared_in_dependency_order_with_complete_influence_lists():
    c = Circuit("order")
    x = c.feedback("late", 2)  # read before it is driven
    a = c.input("a", 2)
    y = c.wire("y", x & a)
    x.drive(~a)
    c.output("z", y | x)
    doc = c.to_document()
    ids = [b["id"] for b in doc["component"]["busses"]]
    assert ids == ["a", "late", "y", "z"]
    assert lint(doc).findings == []
    assert {b["id"]: b["influence_list"] for b in doc["component"]["busses"]} == {
        "a": ["late", "y"], "late": ["y", "z"], "y": ["z"], "z": []}


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda c: c.input("a", 2) & c.input("b", 3), "and of a 2-bit and a 3-bit signal"),
        (lambda c: (c.input("a"), c.input("a")), "bus 'a' already exists"),
        (lambda c: c.input("a").drive(const("1")), "bus 'a' is an input"),
        (lambda c: c.wire("w", c.input("a")).drive(const("1")), "bus 'w' is already driven"),
        (lambda c: c.feedback("f", 2).drive(const("1")), "bus 'f' has 2 bits, its driver 1"),
        (lambda c: const("10z"), "'10z' is not a bit string"),
        (lambda c: c.input("a", 2, init="1"), "initial value 1"),
        (lambda c: c.wire("w", Circuit("other").input("x")), "belongs to another circuit"),
        (lambda c: ripple_add(c, "s", [c.input("a")], []), "same nonzero length"),
        (lambda c: c.input("a", 16) + c.input("b", 8), r"\+ of a 16-bit and an 8-bit signal: widths must be equal"),
        (lambda c: c.input("a", 11) < c.input("b", 18), "< of an 11-bit and an 18-bit signal"),
        (lambda c: bool(c.input("a", 4) == c.input("b", 4)), "a signal has no truth value in Python"),
        (lambda c: c.input("a", 8)[3:0], r"selects no bits: .* Verilog's \[3:0\] is \[0:4\] here"),
        (lambda c: c.input("a", 8)[8], "bit 8 of an 8-bit signal: bits are 0 to 7"),
        (lambda c: c.input("a", 8)[4:16], r"\[4:16\] of an 8-bit signal: its bits are 0 to 7"),
        (lambda c: c.input("a", 8) + 256, r"\+ with 256: 256 does not fit in 8 bits"),
        (lambda c: const(-1), r"const\(-1\) needs a width"),
        (lambda c: const(300, 8), "300 does not fit in 8 bits"),
        (lambda c: mux(c.input("s", 2), c.input("a", 4), 0), "mux with a 2-bit select between 4-bit values"),
        (lambda c: mux(c.input("s"), 1, 2), "mux needs at least one signal operand"),
        (lambda c: c.input("a", 4) << -1, "<< by -1"),
        (lambda c: c.input("a", 4) == "x", "== compares a signal with a signal or an int, not str"),
        (lambda c: select(c.input("i", 2), [c.input("a", 4)]), "has 1 of 4 options: give default="),
        (lambda c: zero_extend(c.input("a", 4), 2), "narrows it"),
        (lambda c: (c.feedback("f"), c.to_ir()), "feedback bus 'f' is never driven"),
        (lambda c: (c.wire("x[1]", c.input("y")), c.output("o", c.input("x", 4)[1:3]), c.to_ir()),
         r"two busses would be named 'x\[1\]': bus 'x\[1\]' and bit 1 of the 4-bit bus 'x'"),
        (lambda c: (c.output("o", c.input("a", 4) < Circuit("other").input("b", 4)), c.to_ir()),
         "reads bus 'b', which belongs to circuit 'other'"),
    ],
)
def test_mistakes_are_refused(build, message):
    with pytest.raises(BuildError, match=message):
        build(Circuit("bad"))
