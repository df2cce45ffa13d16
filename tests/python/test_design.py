"""nimbo.Design against the plain model: the Simulator driven with bus bit
strings, port values split and joined by nimbo.ports, values converted by the
native parse_value."""

import json
import pathlib
import random

import pytest
from clocked_model import ClockedModel, random_clocked_circuit, registers_of
from conftest import random_circuit

from nimbo import Design, Simulator
from nimbo._engine import parse_value
from nimbo.build import Circuit, add
from nimbo.design import UnknownNameError
from nimbo.ports import Port, ports_from_text

DESIGNS = pathlib.Path(__file__).resolve().parent / "designs"


def with_ports(rng, ir):
    """The IR with random ports over its busses: 1-bit busses grouped into
    multi-bit ports, wider ones alone, some busses in no port."""
    sim = Simulator(ir)
    widths, driven = dict(zip(sim.bus_ids, sim.widths())), dict(zip(sim.bus_ids, sim.driven))
    ports = {}
    for direction, is_driven in (("input", False), ("output", True)):
        ids = [b for b in sim.bus_ids if driven[b] == is_driven and rng.randrange(5)]
        rng.shuffle(ids)
        narrow = [b for b in ids if widths[b] == 1]
        for bus_id in (b for b in ids if widths[b] != 1):
            ports[f"{direction[0]}{len(ports)}"] = {"direction": direction, "bits": [bus_id]}
        while narrow:
            take = rng.randrange(1, len(narrow) + 1)
            ports[f"{direction[0]}{len(ports)}"] = {"direction": direction, "bits": narrow[:take]}
            narrow = narrow[take:]
    doc = json.loads(ir)
    doc["component"] = {"ports": ports, **doc["component"]}
    return json.dumps(doc)


def random_value(rng, width):
    """An int in range (maybe negative) or a string form of one."""
    number = rng.randrange(-(1 << (width - 1)) if width else 0, 1 << width)
    form = rng.randrange(4)
    if form == 0 or width == 0:
        return number
    if form == 1:
        return "".join(rng.choice("01") for _ in range(width))
    if form == 2:
        return hex(number) if number >= 0 else str(number)
    return f"{width}'h{number & ((1 << width) - 1):x}"


def number(port, values):
    return int(port.join(values)[::-1] or "0", 2)


def check_against_model(rng, ir, steps):
    """Random steps and settles of a Design and of the plain model (nimbo.core
    through ClockedModel), port values split and joined by nimbo.ports."""
    design, model = Design(ir), ClockedModel(ir)
    ports = ports_from_text(ir)
    widths = {name: design.width(name) for name in ports}
    assert list(design.inputs) == [n for n, p in ports.items() if p.direction == "input" and n not in design.clocks]
    assert list(design.outputs) == [n for n, p in ports.items() if p.direction == "output"]
    qs = [register.q for register in registers_of(ir)]
    for count in range(steps):
        given = {name: random_value(rng, widths[name]) for name in design.inputs if rng.randrange(3)}
        inputs = {}
        for name, value in given.items():
            inputs.update(ports[name].split(parse_value(value, widths[name])))
        clocked = count % 5 != 4
        if qs and count % 7 == 3:  # a register's state changed explicitly
            poked = {q: random_value(rng, design.width(q)) for q in rng.sample(qs, min(2, len(qs)))}
            design.poke(poked)
            model.settle({q: parse_value(value, design.width(q)) for q, value in poked.items()})
        got = design.step(given) if clocked else design.settle(given)
        model.step(inputs) if clocked else model.settle(inputs)
        values = model.values()
        assert got == {name: number(port, values) for name, port in ports.items() if port.direction == "output"}
        for name in rng.sample(list(ports), min(3, len(ports))):
            assert design[name] == number(ports[name], values)
    design.reset()
    assert design.step() == {name: number(ports[name], ClockedModel(ir).step({})) for name in design.outputs}


def accumulator():
    c = Circuit("acc")
    en, clear, arst = c.input("en"), c.input("clear"), c.input("arst")
    x = c.input("x", 8)
    acc = c.register("acc", 8, enable=en, reset=clear, async_reset=arst, init=3)
    acc.next = acc + x
    c.output("total", acc)
    c.output("big", acc > 200)
    return c.to_ir()


@pytest.mark.parametrize(
    "design", [*(f"random {s}" for s in range(12)), *(f"random clocked {s}" for s in range(12)), "accumulator",
               "counter.v", "fsm.v", "shift.v", "async_reset.v", "edges.v"])
def test_designs_match_the_model(tmp_path, design):
    rng = random.Random(design if not design.startswith("random") else int(design.rsplit(" ", 1)[1]))
    if design.startswith("random clocked"):
        ir = with_ports(rng, random_clocked_circuit(rng)[0])
    elif design.startswith("random"):
        ir = with_ports(rng, random_circuit(rng, busses=30, widths=(0, 1, 1, 1, 1, 3, 8, 64, 65))[0])
    else:
        ir = accumulator() if design == "accumulator" else Design.from_verilog(DESIGNS / design, cache_dir=tmp_path).ir
    check_against_model(rng, ir, 40 if design.startswith("random") else 60)


def test_accumulator_adds_and_resets():
    acc = Design(accumulator())
    assert acc.clocks == ("clk",) and acc.inputs == {"en": 1, "clear": 1, "arst": 1, "x": 8}
    assert acc["total"] == 3
    total = 3
    for x in range(40):
        total = (total + x) & 0xFF
        assert acc.step(en=1, x=x) == {"total": total, "big": int(total > 200)}
    assert acc.step(en=0, x=1)["total"] == total  # inputs a step names stay written
    assert acc.settle(arst=1)["total"] == 3  # asynchronous: no edge needed
    assert acc.settle(arst=0, x=5)["total"] == 3
    assert acc.step(en=1)["total"] == 8
    assert acc.step(clear=1, en=0)["total"] == 3  # the synchronous reset wins over the enable, back to init
    acc.reset()
    assert acc["total"] == 3 and acc["en"] == 0


@pytest.mark.parametrize("width", [1, 2, 7, 8, 63, 64, 65, 130])
def test_int_values_are_parse_value_exactly(width):
    """Ints are converted in Python: the same bits and the same refusals as
    the native converter, around both ends of the range."""
    design = Design(json.dumps({"component": {"id": "w", "busses": [{"id": "a", "value": "0" * width}]}}))
    low, high = -(1 << (width - 1)), 1 << width
    rng = random.Random(width)
    values = [low - 1, low, low + 1, -1, 0, 1, high - 1, high, high + 1] + [rng.randrange(low, high) for _ in range(50)]
    for value in values:
        try:
            expected = parse_value(value, width)
        except ValueError:
            with pytest.raises(ValueError, match=rf"^port 'a' has {width} bits?: {value} does not fit"):
                design.settle(a=value)
        else:
            design.settle(a=value)
            assert design.simulator.values(["a"])["a"] == expected
            assert design["a"] == value % high
            assert design.read("a", signed=True) == (value if value < high >> 1 else value - high)


@pytest.fixture(scope="module")
def adder4(tmp_path_factory):
    """The IR file of a 4-bit adder: inputs a, b and output sum of 1-bit busses, cout."""
    c = Circuit("adder4")
    a, b = c.input("a", 4), c.input("b", 4)
    total, carry = add(a, b)
    c.output("sum", total)
    c.output("cout", carry)
    path = tmp_path_factory.mktemp("adder") / "adder4.json"
    path.write_text(c.to_ir())
    return path


@pytest.mark.parametrize(
    "value, message",
    [
        ("101010", r"^port 'a' has 4 bits: .*101010.* does not fit in 4 bits \(as a number"),
        ("8'h1", r"^port 'a' has 4 bits: .*8'h1.* has 8 bits"),
    ],
)
def test_bad_strings_name_the_port_and_width(adder4, value, message):
    design = Design.load(adder4)
    with pytest.raises(ValueError, match=message):
        design.step(a=value)
    assert design["a"] == 0  # nothing written




@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda d: d.step(c=1), UnknownNameError, r"^adder4 has no input named 'c'$"),
        (lambda d: d.step(aa=1), UnknownNameError, r"^adder4 has no input named 'aa' \(did you mean 'a'\?\)$"),
        (lambda d: d.read("summ"), UnknownNameError, r"no port or bus named 'summ' \(did you mean 'sum'"),
        (lambda d: d["a[9]"], UnknownNameError, r"no port or bus named 'a\[9\]' \(did you mean 'a\[3\]', 'a\[2\]' or 'a\[1\]'\?\)$"),
        (lambda d: d.step(sum=1), ValueError, r"^'sum' is an output of adder4; only inputs can be written \(inputs: a, b\)$"),
        (lambda d: d.settle({"sum[0]": 1}), ValueError, r"^bus 'sum\[0\]' is driven by logic"),
        (lambda d: d.step({"a": 1}, a=2), TypeError, r"^input 'a' is given twice"),
        (lambda d: d.step([("a", 1)]), TypeError, r"mapping of name to value, not list"),
        (lambda d: d.step({1: 1}), TypeError, r"an input name is a str, not int"),
        (lambda d: d.step(a=1.0), TypeError, r"^port 'a': a value is an int or a str, not float$"),
        (lambda d: d.step(a=16), ValueError, r"^port 'a' has 4 bits: 16 does not fit \(0 to 15, or down to -8 in two's"),
        (lambda d: d.step({"a[1]": 2}), ValueError, r"^bus 'a\[1\]' has 1 bit: 2 does not fit \(0 to 1, or down to -1"),
    ],
)
def test_refusals_are_clear_and_change_nothing(adder4, call, kind, message):
    design = Design.load(adder4)
    design.step(a=5, b=6)
    with pytest.raises(kind, match=message) as caught:
        call(design)
    if kind is UnknownNameError:
        assert isinstance(caught.value, KeyError) and isinstance(caught.value, ValueError)
    assert design["a"] == 5 and design["sum"] == 11


def test_ports_and_bits_read_and_write(adder4):
    design = Design.load(adder4)
    assert (design.inputs, design.outputs, design.clocks) == ({"a": 4, "b": 4}, {"sum": 4, "cout": 1}, ())
    assert design.step({"a[3]": 1, "b": "0b0011"}) == {"sum": 11, "cout": 0}
    assert design["a"] == 8 and design["a[3]"] == 1 and design.width("sum") == 4
    assert design.step(a=-1, b="4'd1") == {"sum": 0, "cout": 1}
    assert design.read("sum", signed=True) == 0 and design.read("a", signed=True) == -1
    assert repr(design) == "<Design adder4: 2 inputs, 2 outputs>"


def counter_document():
    c = Circuit("cnt")
    count = c.register("count", 3, enable=c.input("en"))
    count.next = count + 1
    c.output("value", count)
    return c.to_document()


def test_clocks_are_refused_and_cycled():
    design = Design(json.dumps(counter_document()))
    assert design.clocks == ("clk",) and "clk" not in design.inputs
    with pytest.raises(ValueError, match=r"^bus 'clk' is a clock: every step is one cycle of it"):
        design.step(en=1, clk=1)
    assert [design.step(en=1)["value"] for _ in range(9)] == [1, 2, 3, 4, 5, 6, 7, 0, 1]
    design.poke({"count[0]": 0})  # a register's state changes explicitly
    assert design["value"] == 0 and design["clk"] == 0


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda d: d.settle({"count[1]": 1}), ValueError, r"^'count\[1\]' is a register's state; settle writes only inputs \(inputs: en\); Design.poke changes"),
        (lambda d: d.step(state=1), ValueError, r"^'state' is a register's state; step writes only inputs"),
        (lambda d: d.poke(en=1), ValueError, r"^'en' is an input \(step and settle write it\); poke writes only registers' state"),
        (lambda d: d.poke(clk=1), ValueError, r"^'clk' is an input .*poke writes only registers' state"),
        (lambda d: d.poke(value=1), ValueError, r"^'value' is driven by logic; poke writes only registers' state"),
        (lambda d: d.poke(state=8), ValueError, r"^port 'state' has 3 bits: 8 does not fit"),
        (lambda d: d.poke({"state": 1}, state=2), TypeError, r"^state 'state' is given twice"),
        (lambda d: d.poke(stat=1), UnknownNameError, r"^cnt has no register state named 'stat' \(did you mean 'state'"),
    ],
)
def test_state_is_written_only_by_poke(call, kind, message):
    """Steps and settles write inputs only, poke only q's; a refused call changes nothing."""
    doc = counter_document()
    doc["component"]["ports"]["state"] = {"direction": "output", "bits": ["count[0]", "count[1]", "count[2]"]}
    design = Design(json.dumps(doc))
    design.step(en=1)
    with pytest.raises(kind, match=message):
        call(design)
    assert design["state"] == 1 and design["value"] == 1
    design.poke(state=6)
    assert design["value"] == 6  # settled after the write
    assert [design.step(en=1)["value"] for _ in range(3)] == [7, 0, 1]


def test_without_ports_the_busses_are_the_ports():
    doc = counter_document()
    del doc["component"]["ports"]
    design = Design(json.dumps(doc))
    qs = [r["q"] for r in doc["component"]["registers"]]
    busses = [b["id"] for b in doc["component"]["busses"]]
    assert design.clocks == ("clk",) and list(design.inputs) == ["en"]
    assert list(design.outputs) == [b for b in busses if b not in ("en", "clk")] and set(qs) <= set(design.outputs)
    outputs = design.step(en=1)
    assert [outputs[q] for q in qs] == [1, 0, 0]


@pytest.mark.parametrize(
    "ports, message",
    [
        ({"p": {"direction": "input", "bits": ["ghost"]}}, r"^port 'p' names bus 'ghost', which does not exist$"),
        ({"p": {"direction": "input", "bits": ["a", "w"]}}, r"^port 'p' lists bus 'w' of 3 bits; a port of several"),
        ({"p": {"direction": "sideways", "bits": ["a"]}}, r"port 'p' has no direction"),
    ],
)
def test_unusable_port_records_are_refused(ports, message):
    busses = [{"id": "a", "value": "0"}, {"id": "w", "value": "000"}]
    with pytest.raises(ValueError, match=message):
        Design(json.dumps({"component": {"id": "x", "ports": ports, "busses": busses}}))


def test_a_port_of_one_wide_bus_takes_the_whole_value():
    ports = {"w": {"direction": "input", "bits": ["w"]}, "y": {"direction": "output", "bits": ["y"]}}
    busses = [{"id": "w", "value": "000", "influence_list": ["y"]},
              {"id": "y", "assignment": {"type": "not", "args": {"expr": {"type": "ref", "args": {"id": "w"}}}}}]
    design = Design(json.dumps({"component": {"id": "inv", "ports": ports, "busses": busses}}))
    assert design.inputs == {"w": 3} and design.step(w=6) == {"y": 1}
    assert Port("w", "input", ("w",)).split(parse_value(6, 3)) == {"w": "011"}
