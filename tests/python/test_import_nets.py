"""Vectors inside an imported design, read whole by their Verilog names
(the IR's "nets" record), with the values Icarus Verilog gives them on the
original Verilog, cycle by cycle; state machines keep their encodings."""

import json
import random
import shutil
import warnings
from pathlib import Path

import pytest

from conftest import cell, netlist

from nimbo.ports import Port
from nimbo.verilog.yosys import import_netlist

DESIGNS = Path(__file__).resolve().parent / "designs"
needs_tools = [
    pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed"),
    pytest.mark.skipif(shutil.which("iverilog") is None, reason="iverilog is not installed"),
]

# A counter inside an instance, and a vector of logic between registers.
NESTED = """module count4(input clk, input en, output reg [3:0] count);
  initial count = 0;
  always @(posedge clk) if (en) count <= count + 4'd1;
endmodule
module nested(input clk, input en, input [3:0] k, output y);
  wire [3:0] cnt;
  wire [3:0] mixed = cnt ^ k;
  count4 u(.clk(clk), .en(en), .count(cnt));
  assign y = ^mixed;
endmodule
"""


def steps_against_icarus(tmp_path, source, top, names, flow, bias):
    """(nimbo's values, Icarus's) of the named signals after each of 60 random cycles."""
    from nimbo import Design
    from nimbo.verilog import icarus

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # registers without an initial value: reset in the first cycle
        design = Design.from_verilog(source, top, flow=flow)
    rng = random.Random(7)
    vectors = [{name: "".join("1" if rng.random() < bias.get(name, 0.5) else "0" for _ in range(width))
                for name, width in design.inputs.items()} for _ in range(60)]
    for name in bias:
        if bias[name] < 0.5:
            vectors[0][name] = "1" * design.inputs[name]  # the reset, first
    ports = {name: Port(name, "input", tuple(f"{name}[{i}]" for i in range(width)))
             for name, width in {**design.inputs, "clk": 1}.items()}  # fmt: skip
    probes = [Port(name, "output", ("",) * design.width(name)) for name in names]
    expected = icarus.run([source], top, ports, vectors, tmp_path, clocks=["clk"], probes=probes).outputs
    got = []
    for vector in vectors:
        design.step({name: int(bits[::-1], 2) for name, bits in vector.items()})
        got.append({name: format(design[name], f"0{design.width(name)}b")[::-1] for name in names})
    return got, [{name: row[name] for name in names} for row in expected]


@pytest.mark.parametrize(
    "design, names, bias, flow",
    [
        ("fsm_decoded", ["state"], {"rst": 0.1}, "full"),
        ("fsm_decoded", ["state"], {"rst": 0.1}, "light"),
        ("fsm", ["state"], {"reset": 0.05}, "full"),
        ("nested", ["u.count"], {}, "full"),  # the full flow's optimisation leaves the logic without names
        ("nested", ["u.count", "cnt", "mixed"], {}, "light"),
    ],
)
def test_internal_vectors_read_as_icarus_displays_them_every_cycle(tmp_path, design, names, bias, flow):
    pytest.importorskip("nimbo.core")
    for mark in needs_tools:
        if mark.args[0]:
            pytest.skip(mark.kwargs["reason"])
    if design == "nested":
        source = tmp_path / "nested.v"
        source.write_text(NESTED)
    else:
        source = DESIGNS / f"{design}.v"
    got, expected = steps_against_icarus(tmp_path, str(source), design, names, flow, bias)
    assert got == expected


@pytest.mark.parametrize(
    "recode, recorded", [(False, {"state": ["state[0]", "state[1]", "state[2]"]}), (True, None)]
)
def test_state_encodings_are_kept_unless_recoding_is_asked_for(recode, recorded):
    pytest.importorskip("nimbo.core")
    if shutil.which("yosys") is None:
        pytest.skip("yosys is not installed")
    from nimbo import Design
    from nimbo.design import UnknownNameError

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        design = Design.from_verilog(DESIGNS / "fsm_decoded.v", flow="full", recode_fsm=recode)
    component = json.loads(design.ir)["component"]
    assert component.get("nets") == recorded
    registers = sorted(r["q"] for r in component["registers"])
    assert registers == [f"state[{i}]" for i in range(5 if recode else 3)]  # re-encoded: one-hot
    if recode:  # a state of other bits is not the designer's: it has no name
        with pytest.raises(UnknownNameError, match=r"no port or bus named 'state' \(did you mean"):
            design.read("state")


def test_the_record_holds_the_nets_whose_bits_survive():
    ports = {"a": {"direction": "input", "bits": [2, 3]}, "y": {"direction": "output", "bits": [4]}}
    cells = {"g": cell("$_AND_", A=2, B=3, Y=4), "h": cell("$_XOR_", A=2, B=3, Y=5)}
    doc = netlist(cells, ports)
    doc["modules"]["m"]["netnames"] = {
        "a": {"hide_name": 0, "bits": [2, 3]},  # a port: in "ports"
        "both": {"hide_name": 0, "bits": [5, 2, "1", "0"], "offset": 4},  # constants share a bus
        "at": {"hide_name": 0, "bits": [5]},  # the bus of its own name: not repeated
        "alias": {"hide_name": 0, "bits": [4]},
        "lost": {"hide_name": 0, "bits": [5, 9]},  # a bit nothing drives
        "unknown": {"hide_name": 0, "bits": ["x"]},
        "$hidden": {"hide_name": 1, "bits": [5, 4]},
    }
    imported = import_netlist(doc)
    assert imported.nets == {"both": ["at", "a[0]", "$true", "$false"], "alias": ["y"]}
    component = imported.document["component"]
    assert list(component)[:4] == ["id", "ports", "nets", "busses"] and component["nets"] == imported.nets
    pytest.importorskip("nimbo.core")
    from nimbo import Design

    design = Design(imported.text())
    design.settle(a=1)
    assert design["both"] == 0b0111 and design.width("both") == 4 and design["alias"] == 0
    design.settle(a=3)
    assert design["both"] == 0b0110 and design["alias"] == 1
    with pytest.raises(KeyError, match=r"no port, bus or net named 'bot' \(did you mean 'both'"):
        design.read("bot")


def test_a_net_naming_a_missing_bus_is_refused_when_read():
    pytest.importorskip("nimbo.core")
    from nimbo import Design

    ir = json.dumps({"component": {"id": "m", "nets": {"v": ["a", "gone"]}, "busses": [{"id": "a", "value": "0"}]}})
    design = Design(ir)
    assert design["a"] == 0
    with pytest.raises(ValueError, match="net 'v' names bus 'gone', which does not exist"):
        design.read("v")
