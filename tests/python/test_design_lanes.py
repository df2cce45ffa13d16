"""Design.lanes: every lane, driven with its own values, holds and resets,
gives what the plain model (or a Design) driven alone gives."""

import json
import random
import shutil
from pathlib import Path

import pytest
from clocked_model import ClockedModel, random_clocked_circuit, registers_of
from test_design import number, random_value, with_ports
from test_design_trace import accumulator_ir

from nimbo import Design, Simulator
from nimbo._engine import parse_value
from nimbo.build import Circuit
from nimbo.design import UnknownNameError
from nimbo.ports import ports_from_text


def lane_ints(rng, width, count):
    return [rng.randrange(-(1 << (width - 1)) if width else 0, 1 << width) for _ in range(count)]


@pytest.mark.parametrize("seed", range(10))
def test_each_lane_is_its_own_model(seed):
    rng = random.Random(seed)
    ir, _ = random_clocked_circuit(rng, reset_chains=seed % 3 == 0)
    ir = with_ports(rng, ir)
    if not Simulator(ir).one_pass:
        pytest.skip("feedback: no lanes")
    design, count = Design(ir), 5
    ports = ports_from_text(ir)
    qs = [register.q for register in registers_of(ir)]
    start = {name: random_value(rng, design.width(name)) for name in design.inputs}
    design.step(start)
    lanes = design.lanes(count)  # from the design's state now
    models = [ClockedModel(ir) for _ in range(count)]
    for model in models:
        model.step({b: v for name, value in start.items() for b, v in ports[name].split(parse_value(value, design.width(name))).items()})
    for call in range(30):
        kind = rng.choice(["step"] * 6 + ["settle", "poke", "reset"])
        hold = [rng.randrange(4) == 0 for _ in range(count)] if rng.randrange(2) else None
        acting = [not (hold and hold[lane]) for lane in range(count)]
        if kind == "reset":
            mask = [rng.randrange(2) == 1 for _ in range(count)]
            lanes.reset(mask)
            models = [ClockedModel(ir) if mask[lane] else model for lane, model in enumerate(models)]
        elif kind == "poke":
            if not qs:
                continue
            poked = {q: lane_ints(rng, design.width(q), count) for q in rng.sample(qs, min(2, len(qs)))}
            lanes.poke(poked, hold=hold)
            for lane, model in enumerate(models):
                if acting[lane]:
                    model.settle({q: parse_value(values[lane], design.width(q)) for q, values in poked.items()})
        else:
            given = {}
            for name in design.inputs:
                if rng.randrange(3):
                    width = design.width(name)
                    given[name] = lane_ints(rng, width, count) if rng.randrange(4) else random_value(rng, width)
            got = getattr(lanes, kind)(given, hold=hold)
            for lane, model in enumerate(models):
                if not acting[lane]:
                    continue
                inputs = {}
                for name, value in given.items():
                    one = value[lane] if isinstance(value, list) else value
                    inputs.update(ports[name].split(parse_value(one, design.width(name))))
                getattr(model, kind)(inputs)
            for lane, model in enumerate(models):
                values = model.values()
                for name in design.outputs:
                    assert got[name][lane] == number(ports[name], values), (call, kind, lane, name)
        for lane, model in enumerate(models):
            values = model.values()
            assert lanes.lane(lane) == {name: number(port, values) for name, port in ports.items()}, (call, lane)


def test_many_lanes_across_words_match_designs_alone():
    ir, count = accumulator_ir(), 130
    rng = random.Random(7)
    lanes, alone = Design(ir).lanes(count), [Design(ir) for _ in range(count)]
    for call in range(40):
        xs = [rng.randrange(16) for _ in range(count)]
        en, arst = rng.randrange(2), [int(rng.randrange(9) == 0) for _ in range(count)]
        hold = [rng.randrange(5) == 0 for _ in range(count)]
        got = lanes.step(x=xs, en=en, arst=arst, hold=hold)
        for lane, design in enumerate(alone):
            if not hold[lane]:
                design.step(x=xs[lane], en=en, arst=arst[lane])
        assert got["y"] == [design["y"] for design in alone], call
        assert lanes["twice[1]"] == [design["twice[1]"] for design in alone]
        assert lanes.read("y", signed=True) == [design.read("y", signed=True) for design in alone]


def counter_lanes(count=3):
    c = Circuit("cnt")
    total = c.register("count", 4, enable=c.input("en"))
    total.next = total + c.input("by", 4)
    c.output("value", total)
    doc = c.to_document()
    doc["component"]["ports"]["state"] = {"direction": "output", "bits": [f"count[{i}]" for i in range(4)]}
    return Design(json.dumps(doc)).lanes(count)


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda ls: ls.step(by=[1, 2]), ValueError, r"^port 'by': 2 values for 3 lanes; give one per lane, or one value for all$"),
        (lambda ls: ls.step(by=[1, 16, 2]), ValueError, r"^lane 1: port 'by' has 4 bits: 16 does not fit \(0 to 15"),
        (lambda ls: ls.step(by=[1, 2.5, 2]), TypeError, r"^lane 1: port 'by': a value is an int or a str, not float$"),
        (lambda ls: ls.step(by=1, hold=[1]), ValueError, r"^hold: 1 values for 3 lanes"),
        (lambda ls: ls.step(value=1), ValueError, r"^'value' is an output of cnt; only inputs can be written"),
        (lambda ls: ls.step(state=1), ValueError, r"^'state' is a register's state; step writes only inputs"),
        (lambda ls: ls.step(clk=[0, 1, 0]), ValueError, r"^bus 'clk' is a clock"),
        (lambda ls: ls.poke(en=1), ValueError, r"^'en' is an input"),
        (lambda ls: ls.step(bye=1), UnknownNameError, r"^cnt has no input named 'bye' \(did you mean 'by'"),
        (lambda ls: ls.read("vlue"), UnknownNameError, r"no port or bus named 'vlue' \(did you mean 'value'"),
        (lambda ls: ls.lane(3), IndexError, r"^lane 3: there are 3 lanes"),
    ],
)
def test_refusals_name_the_lane_and_change_nothing(call, kind, message):
    lanes = counter_lanes()
    lanes.step(en=1, by=[1, 2, 3])
    with pytest.raises(kind, match=message):
        call(lanes)
    assert lanes["value"] == [1, 2, 3] and lanes["by"] == [1, 2, 3]
    lanes.poke(state=[9, 8, 7], hold=[0, 1, 0])
    assert lanes.step()["value"] == [10, 4, 10]


def test_a_design_with_feedback_has_no_lanes():
    c = Circuit("loop")
    a = c.input("a")
    f = c.feedback("f")
    f.drive(a ^ f)
    c.output("y", f)
    design = Design(c.to_ir())
    if design.simulator.one_pass:
        pytest.skip("the loop was cut")
    with pytest.raises(ValueError, match="one pass"):
        design.lanes(2)


def test_numpy_arrays_in_and_out():
    numpy = pytest.importorskip("numpy")
    ir = accumulator_ir()
    lanes, plain = Design(ir).lanes(70, numpy=True), Design(ir).lanes(70)
    xs = numpy.arange(70, dtype=numpy.uint8) % 16
    out = lanes.step(x=xs, en=numpy.int64(1), hold=xs == 3)
    expected = plain.step(x=[int(x) for x in xs], en=1, hold=[int(x) == 3 for x in xs])
    assert out["y"].dtype == numpy.uint64 and out["y"].tolist() == expected["y"]
    assert lanes.read("y", signed=True).dtype == numpy.int64
    with pytest.raises(TypeError, match=r"^port 'x': values are ints: one per lane, or a 1-D array of integers"):
        lanes.step(x=numpy.zeros(70, dtype=numpy.float32))


def test_a_lanes_trace_is_that_lanes_design_alone(tmp_path):
    ir = accumulator_ir()
    lanes, alone = Design(ir).lanes(4), Design(ir)
    lanes.trace(tmp_path / "lane.vcd", lane=2)
    alone.trace(tmp_path / "alone.vcd")
    rng = random.Random(3)
    for _ in range(12):
        xs, hold = [rng.randrange(16) for _ in range(4)], [rng.randrange(3) == 0 for _ in range(4)]
        lanes.step(x=xs, en=1, hold=hold)
        if hold[2]:
            alone.settle()
        else:
            alone.step(x=xs[2], en=1)
    lanes.trace(None)
    alone.trace(None)
    assert (tmp_path / "lane.vcd").read_text().split("$enddefinitions")[1] == \
        (tmp_path / "alone.vcd").read_text().split("$enddefinitions")[1]


@pytest.mark.parametrize("width", [1, 7, 63, 64, 65, 130])
def test_values_of_every_width_and_form_match_a_design_alone(width):
    """Per-lane ints (negative ones too), strings, and one value for all
    lanes, converted in C++, against the same values written to a Design."""
    ir = json.dumps({"component": {"id": "w", "busses": [
        {"id": "a", "value": "0" * width, "influence_list": ["y"]},
        {"id": "y", "assignment": {"type": "not", "args": {"expr": {"type": "ref", "args": {"id": "a"}}}}}]}})
    rng = random.Random(width)
    count = 67
    lanes, alone = Design(ir).lanes(count), Design(ir)
    low, high = -(1 << (width - 1)), 1 << width
    values = [rng.choice([low, -1, 0, high - 1, rng.randrange(low, high)]) for _ in range(count)]
    values[3] = "1" * width  # a bit string in one lane
    got = lanes.settle(a=values)
    for lane, value in enumerate(values):
        assert got["y"][lane] == alone.settle(a=value)["y"]
        assert lanes.read("a", signed=True)[lane] == alone.read("a", signed=True)
    assert lanes.settle(a=f"{width}'d1")["y"] == [alone.settle(a=1)["y"]] * count
    with pytest.raises(ValueError, match=rf"^lane 5: port 'a' has {width} bits?: {high} does not fit"):
        lanes.settle(a=[0] * 5 + [high] + [0] * (count - 6))
    assert lanes["a"] == [1] * count  # the refused call wrote no lane



@pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")
def test_lanes_of_a_design_with_memories_match_designs_alone(tmp_path):
    # Each lane writes and reads its own copy of the RAM; held lanes keep
    # their words, and a reset lane gets the words of the last load_memory.
    ram = Path(__file__).resolve().parent / "designs" / "ram.v"
    design = Design.from_verilog(ram, cache_dir=tmp_path)
    design.load_memory("mem", [15 - i for i in range(8)])
    design.step(we=1, waddr=3, wdata=1, raddr=3)  # the lanes start from this state
    count, rng = 70, random.Random(5)
    lanes = design.lanes(count)
    alone = []
    for _ in range(count):
        twin = Design.from_verilog(ram, cache_dir=tmp_path)
        twin.load_memory("mem", [15 - i for i in range(8)])
        twin.step(we=1, waddr=3, wdata=1, raddr=3)
        alone.append(twin)
    for call in range(40):
        if call % 9 == 8:
            mask = [rng.randrange(3) == 0 for _ in range(count)]
            lanes.reset(mask)
            for lane in range(count):
                if mask[lane]:
                    alone[lane].reset()
        else:
            given = {
                "we": [rng.randrange(2) for _ in range(count)],
                "waddr": [rng.randrange(8) for _ in range(count)],
                "wdata": [rng.randrange(16) for _ in range(count)],
                "raddr": [rng.randrange(8) for _ in range(count)],
            }
            hold = [rng.randrange(4) == 0 for _ in range(count)]
            lanes.step(given, hold=hold)
            for lane, twin in enumerate(alone):
                if not hold[lane]:
                    twin.step({name: values[lane] for name, values in given.items()})
        for name in ("async_q", "sync_q", "rom_q"):
            assert lanes[name] == [twin[name] for twin in alone], (call, name)


@pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")
@pytest.mark.filterwarnings("ignore:1 memory without initial contents")
def test_lanes_whose_memory_copies_exceed_the_budget_are_refused(tmp_path):
    # 65536 words of 64 bits: 512 KiB a lane, so 600 lanes need 300 MiB.
    source = tmp_path / "big.v"
    source.write_text(
        "module big(input clk, input we, input [15:0] a, input [63:0] d, output [63:0] q);\n"
        "  reg [63:0] m [0:65535];\n"
        "  always @(posedge clk) if (we) m[a] <= d;\n"
        "  assign q = m[a];\n"
        "endmodule\n"
    )
    design = Design.from_verilog(source, cache_dir=tmp_path)
    with pytest.raises(ValueError, match=r"^600 lanes need .* lane memory budget of 256 MiB; use fewer lanes$"):
        design.lanes(600)
    lanes = design.lanes(2)
    lanes.step(we=1, a=[1, 2], d=[5, 6])
    assert lanes.step(we=0, a=[2, 1], d=0)["q"] == [0, 0]  # each lane wrote its own copy
    assert lanes.step(we=0, a=[1, 2], d=0)["q"] == [5, 6]
