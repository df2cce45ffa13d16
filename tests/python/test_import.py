"""Yosys netlists imported into nimbo: cells, registers, ports, refusals and the
command line (test_imported_designs.py runs imported designs against Icarus)."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import cell, netlist, run_cli

from nimbo.ports import expand_inputs, port_values, ports_from_text
from nimbo.verilog.yosys import ImportFailure, import_netlist, import_text, synthesize

DESIGNS = Path(__file__).resolve().parent / "designs"
needs_yosys = pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")


@pytest.fixture(scope="module")
def core():
    return pytest.importorskip("nimbo.core")


@needs_yosys
def test_port_bits_are_named_after_the_verilog_indices():
    imported = import_text(synthesize([str(DESIGNS / "shapes.v")], "shapes"))
    bits = {name: port.bits for name, port in imported.ports.items()}
    assert bits["up"] == ("up[3]", "up[2]", "up[1]", "up[0]")  # [0:3]: least significant is up[3]
    assert bits["hi"] == ("hi[4]", "hi[5]", "hi[6]", "hi[7]")
    assert bits["mixed"] == ("mixed[2]", "mixed[3]", "mixed[4]", "mixed[5]")
    assert bits["pass"] == ("pass",) and bits["one"] == ("one",)
    # The recorded ports read back from the IR text.
    assert ports_from_text(imported.text()) == imported.ports


@needs_yosys
def test_busses_come_in_dependency_order_with_complete_influence_lists():
    imported = import_text(synthesize([str(DESIGNS / "alu4.v")], "alu4"))
    busses = imported.document["component"]["busses"]
    seen = set()
    readers = {}
    for entry in busses:
        text = json.dumps(entry.get("assignment"))
        for other in seen:
            if f'"id": "{other}"' in text:
                readers.setdefault(other, set()).add(entry["id"])
        for ref in (e["id"] for e in busses if f'"id": "{e["id"]}"' in text):
            assert ref in seen, f"{entry['id']} reads {ref} before it is declared"
        seen.add(entry["id"])
    for entry in busses:
        assert set(entry["influence_list"]) == readers.get(entry["id"], set())


# Every gate cell of Yosys's internal library, by its truth table over (A, B, C, D, S).
GATES = {
    "$_BUF_": lambda a, b, c, d, s: a,
    "$_NOT_": lambda a, b, c, d, s: 1 - a,
    "$_AND_": lambda a, b, c, d, s: a & b,
    "$_OR_": lambda a, b, c, d, s: a | b,
    "$_XOR_": lambda a, b, c, d, s: a ^ b,
    "$_NAND_": lambda a, b, c, d, s: 1 - (a & b),
    "$_NOR_": lambda a, b, c, d, s: 1 - (a | b),
    "$_XNOR_": lambda a, b, c, d, s: 1 - (a ^ b),
    "$_ANDNOT_": lambda a, b, c, d, s: a & (1 - b),
    "$_ORNOT_": lambda a, b, c, d, s: a | (1 - b),
    "$_MUX_": lambda a, b, c, d, s: b if s else a,
    "$_NMUX_": lambda a, b, c, d, s: 1 - (b if s else a),
    "$_AOI3_": lambda a, b, c, d, s: 1 - ((a & b) | c),
    "$_OAI3_": lambda a, b, c, d, s: 1 - ((a | b) & c),
    "$_AOI4_": lambda a, b, c, d, s: 1 - ((a & b) | (c & d)),
    "$_OAI4_": lambda a, b, c, d, s: 1 - ((a | b) & (c | d)),
}
PINS = {"A": 2, "B": 3, "C": 4, "D": 5, "S": 6}


@pytest.mark.parametrize("kind", sorted(GATES))
def test_every_gate_cell_has_its_truth_table(kind, core):
    from nimbo.verilog.yosys import _CELLS

    ports = {"x": {"direction": "input", "bits": [2, 3, 4, 5, 6]}, "y": {"direction": "output", "bits": [7]}}
    pins = {pin: PINS[pin] for pin in _CELLS[kind][0]}
    imported = import_netlist(netlist({"g": cell(kind, Y=7, **pins)}, ports))
    component = core.Renderer(imported.text()).component
    for n in range(32):
        x = format(n, "05b")[::-1]  # element 0 = A
        got = port_values(imported.ports, component.update_and_get(expand_inputs(imported.ports, {"x": x})))["y"]
        assert got == str(GATES[kind](*map(int, x))), x


@pytest.mark.parametrize(
    "cells, ports, message",
    [
        ({"r": cell("$_FF_", D=3, Q=4)}, None, "cell 'r' is a flip-flop on the global (formal) clock"),
        ({"r": cell("$dff", CLK=2, D=3, Q=4)}, None, "cell 'r' (type $dff) is a word-level flip-flop or latch"),
        ({"$m": dict(cell("$mem_v2", A=2), parameters={"MEMID": "\\ram"}, attributes={"src": "top.v:7.3-7.9"})},
         None, "memory 'ram' (top.v:7) (type $mem_v2) is a memory left unmapped"),
        ({"t": cell("$_TBUF_", A=2, E=3, Y=4)}, None, "tri-state buffer"),
        ({"u": cell("half_adder", A=2, B=3, Y=4)}, None, "instantiates module 'half_adder'; flatten"),
        ({"w": cell("$add", A=2, B=3, Y=4)}, None, "not a gate-level cell; run 'synth'"),
        ({"g": dict(cell("$_AND_", A=2, B=3, Y=4), attributes={"src": "m.v:3.1-3.9"}),
          "h": dict(cell("$_OR_", A=2, B=3, Y=4), attributes={"src": "m.v:4.1-4.9"})}, None,
         "'y' has more than one driver (m.v:3, m.v:4): drive each signal from one place"),
        ({}, {"a": {"direction": "input", "bits": [2]}, "b": {"direction": "input", "bits": [2]}},
         "inputs 'a' and 'b' are one net"),
        ({}, {"io": {"direction": "inout", "bits": [2]}}, "port 'io' is inout"),
    ],
)
def test_unsupported_netlists_are_refused(cells, ports, message):
    with pytest.raises(ImportFailure) as info:
        import_netlist(netlist(cells, ports), memories="map")
    assert message in str(info.value)


def flop_netlist(cells, inputs=("a", "b", "c"), nets=None):
    """A netlist with 1-bit inputs (nets 2, 3, ...), outputs q0, q1 (nets 10, 11) and `cells`."""
    ports = {name: {"direction": "input", "bits": [2 + i]} for i, name in enumerate(inputs)}
    ports.update({"q0": {"direction": "output", "bits": [10]}, "q1": {"direction": "output", "bits": [11]}})
    doc = netlist(cells, ports)
    doc["modules"]["m"]["netnames"] = nets or {}
    return doc


def test_register_records_share_inverters_and_take_initial_values():
    cells = {
        "$f0": cell("$_DFFE_PN0N_", C=2, D=3, E=4, R=3, Q=10),
        "$f1": cell("$_DFFE_NN1N_", C=2, D="1", E=4, R=3, Q=11),
    }
    nets = {"q": {"hide_name": 0, "bits": [10, 11], "attributes": {"init": "10"}}}
    imported = import_netlist(flop_netlist(cells, nets=nets))
    assert imported.registers == [
        {"q": "q0", "d": "b", "clock": "a", "edge": "posedge", "enable": "c$inv", "async_reset": "b$inv",
         "reset_value": "0"},
        {"q": "q1", "d": "$true", "clock": "a", "edge": "negedge", "enable": "c$inv", "async_reset": "b$inv",
         "reset_value": "1"},
    ]
    busses = {b["id"]: b for b in imported.document["component"]["busses"]}
    assert (busses["q0"]["value"], busses["q1"]["value"]) == ("0", "1")  # init "10" is q[1] q[0]
    # b resets active-low: it starts inactive, as Verilog's x is no falling edge.
    assert (busses["a"]["value"], busses["b"]["value"], busses["c"]["value"]) == ("0", "1", "0")
    assert imported.clocks == ["a"] and imported.findings == []
    assert imported.nets == {"q": ["q0", "q1"]}


@pytest.mark.parametrize(
    "cells, message",
    [
        ({"$f": cell("$_DFF_P_", C="1", D=3, Q=10)}, "register 'q0' is clocked by a constant"),
        ({"$f": dict(cell("$_DFF_P_", C="1", D=3, Q=10), attributes={"src": "r.v:7.3-8.9|lib.v:1.1-1.2"})},
         "register 'q0' (r.v:7) is clocked by a constant"),
        ({"$f": cell("$_DFF_P_", C=9, D=3, Q=10)}, "register 'q0' is clocked by a net that nothing drives"),
        ({"$f": cell("$_DFF_P_", C=11, D=3, Q=10), "$g": cell("$_DFF_P_", C=2, D=3, Q=11)},
         "register 'q0' is clocked by 'q1', which is not an input port"),
        ({"$f": cell("$_DFF_PP0_", C=2, D=3, R=12, Q=10), "$g": cell("$_OR_", A=3, B=4, Y=12)},
         "register 'q0' has an asynchronous reset driven by logic ('$12')"),
        ({"$f": cell("$_SDFF_PP0_", C=2, D=3, R=12, Q=10), "$g": cell("$_XOR_", A=2, B=4, Y=12)},
         "register 'q0' takes the clock 'a' into its synchronous reset"),
        ({"$f": cell("$_DFFE_PP_", C=2, D=3, E=11, Q=10), "$l": cell("$_DLATCH_P_", E=2, D=4, Q=11)},
         "register 'q0' takes the clock 'a' into its enable"),
    ],
)
def test_registers_a_step_cannot_reproduce_are_refused(cells, message):
    with pytest.raises(ImportFailure) as info:
        import_netlist(flop_netlist(cells))
    assert str(info.value).startswith(message)


def test_a_register_without_a_source_line_is_placed_by_its_net():
    nets = {"mem[0]": {"hide_name": 0, "bits": [10], "attributes": {"src": "ram.v:5.13-5.16"}}}
    with pytest.raises(ImportFailure, match=r"^register 'q0' \(ram\.v:5\) is clocked by 'q1'"):
        import_netlist(flop_netlist({"$f": cell("$_DFF_P_", C=11, D=3, Q=10), "$g": cell("$_NOT_", A=2, Y=11)}, nets=nets))


@pytest.mark.parametrize(
    "cells",
    [
        # An asynchronous reset from an inverted input, or from a register.
        {"$f": cell("$_DFF_PP0_", C=2, D=3, R=12, Q=10), "$n": cell("$_NOT_", A=4, Y=12)},
        {"$f": cell("$_DFF_PP1_", C=2, D=3, R=11, Q=10), "$g": cell("$_DFF_P_", C=2, D=4, Q=11)},
        # A set tied inactive leaves a reset; a constant loaded is a reset.
        {"$f": cell("$_DFFSR_PPP_", C=2, D=3, S="0", R=4, Q=10)},
        {"$f": cell("$_ALDFF_PN_", C=2, D=3, L=4, AD="1", Q=10)},
    ],
)
def test_asynchronous_controls_a_step_reproduces_are_imported(cells):
    imported = import_netlist(flop_netlist(cells))
    assert "async_reset" in imported.registers[0]


def test_latches_are_feedback_with_complete_influence_lists(core):
    cells = {"$l": cell("$_DLATCH_PN0_", E=2, R=3, D=4, Q=10), "$s": cell("$_SR_PN_", S=2, R=3, Q=11)}
    imported = import_netlist(flop_netlist(cells))
    assert imported.latches == 2 and imported.registers == [] and imported.clocks == []
    busses = {b["id"]: b for b in imported.document["component"]["busses"]}
    assert "q0" in busses["q0"]["influence_list"] and "q1" in busses["q1"]["influence_list"]
    component = core.Renderer(imported.text()).component
    steps = [({"a": "1", "b": "1", "c": "1"}, "11"), ({"c": "0"}, "01"), ({"a": "0"}, "01"), ({"b": "0"}, "00"),
             ({"b": "1", "a": "1"}, "01")]
    for inputs, q in steps:
        values = component.update_and_get(inputs)
        assert values["q0"] + values["q1"] == q, inputs


@pytest.mark.parametrize(
    "nets, readers, folded",
    [
        ({}, {}, True),  # an unnamed AND read by the inverter only: one bus
        ({"t": {"hide_name": 0, "bits": [5]}}, {}, False),  # the design names it
        ({}, {"h": cell("$_OR_", A=5, B=2, Y=6)}, False),  # read twice
    ],
)
def test_an_inverter_takes_the_gate_only_it_reads(core, nets, readers, folded):
    cells = {"$g": cell("$_AND_", A=2, B=3, Y=5), "$n": cell("$_NOT_", A=5, Y=4), **readers}
    doc = netlist(cells)
    doc["modules"]["m"]["netnames"] = nets
    imported = import_netlist(doc)
    busses = {b["id"]: b for b in imported.document["component"]["busses"]}
    assert ("$5" not in busses and "t" not in busses) == folded and imported.gates == 2 + len(readers)
    component = core.Renderer(imported.text()).component
    for a, b in ("00", "01", "10", "11"):
        assert component.update_and_get({"a": a, "b": b})["y"] == str(1 - (int(a) & int(b)))


def test_undriven_and_unknown_bits_read_as_zero_with_a_warning(core):
    ports = {"a": {"direction": "input", "bits": [2]}, "y": {"direction": "output", "bits": [4, "x", 9]}}
    cells = {"g": dict(cell("$_OR_", A=2, B=8, Y=4), attributes={"src": "u.v:3.1-3.9"}), "h": dict(cell("$_AND_", A=2, B="z", Y=5), attributes={"src": "u.v:4.1-4.9"})}
    doc = netlist(cells, ports)
    doc["modules"]["m"]["netnames"] = {"w": {"hide_name": 0, "bits": [8]}, "$x": {"hide_name": 1, "bits": [9]}}
    imported = import_netlist(doc)
    assert [str(f) for f in imported.findings] == [
        "2 net bits that nothing drives read as 0 (nimbo is two-state; Verilog reads them as z): 'w'",
        "2 constant bits x or z read as 0 (at u.v:4): nimbo is two-state",
    ]
    component = core.Renderer(imported.text()).component
    values = component.update_and_get({"a": "1"})
    assert port_values(imported.ports, values)["y"] == "100"


@pytest.mark.parametrize(
    "doc, top, message",
    [
        ({}, None, "no 'modules'"),
        (netlist({}), "other", "no module 'other'"),
        ({"modules": {"p": {}, "q": {}}}, None, "no single top; name one with --top"),
        ({"modules": {"m": 5}}, None, "module 'm' is malformed"),
        ({"modules": {"m": {"attributes": 3}, "n": {}}}, None, "no single top"),
    ],
)
def test_module_choice(doc, top, message):
    with pytest.raises(ImportFailure, match=message):
        import_netlist(doc, top)


def test_deeply_nested_json_is_refused():
    with pytest.raises(ImportFailure, match="invalid JSON: nested too deeply"):
        import_text("[" * 100_000)


@needs_yosys
def test_yosys_errors_are_one_line(tmp_path):
    bad = tmp_path / "bad.v"
    bad.write_text("module bad(input a, output y); assign y = ; endmodule\n")
    with pytest.raises(ImportFailure, match=r"Yosys failed: .*bad.v:1: ERROR: syntax error") as info:
        synthesize([str(bad)], "bad")
    assert "\n" not in str(info.value)


@needs_yosys
def test_cli_imports_verilog_and_json_alike(core, tmp_path, capsys):
    status, text = run_cli("import", DESIGNS / "adder8.v", "--top", "adder8", "-o", tmp_path / "a.ir.json")
    assert status == 0 and text.startswith("adder8: ") and "-> " in text
    (tmp_path / "n.json").write_text(synthesize([str(DESIGNS / "adder8.v")], "adder8"))
    status, text = run_cli("import", tmp_path / "n.json", "-q")
    assert status == 0
    assert json.loads(text) == json.loads((tmp_path / "a.ir.json").read_text())


def test_cli_imports_a_netlist_from_a_pipe(core, tmp_path):
    text = json.dumps(netlist({"g": cell("$_NOT_", A=2, Y=4)}))
    done = subprocess.run([sys.executable, "-m", "nimbo", "import", "/dev/stdin", "-q"], input=text,
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == json.loads(import_text(text).text())


@pytest.mark.parametrize(
    "argv, status, needle",
    [
        (["import", "{dir}/missing.json"], 1, "missing.json: no such file"),
        (["import", "{dir}/missing.v"], 1, "missing.v: no such file"),
        (["import", "{dir}/garbage.json"], 1, "garbage.json: invalid JSON"),
        (["import", "{dir}/dff.json"], 1, "dff.json: register 'y' is clocked by '$5', which is not an input port"),
        (["import", "{dir}/dff.json", "-o", "{dir}/dff.json"], 2, "that is the input file"),
        (["import", "{dir}/a.json", "{dir}/b.json"], 2, "one Yosys JSON netlist"),
        (["import", "{designs}/dff.v", "{dir}/dff.json"], 2, "not both"),
        (["import", "{designs}/adder8.v", "--yosys", "no-such-yosys"], 1, "Yosys not found: 'no-such-yosys'"),
        (["import", "{designs}/adder8.v", "--top", "a b"], 1, "'a b' is not a module name"),
    ],
)
def test_cli_import_errors_are_one_line(argv, status, needle, tmp_path, capsys):
    (tmp_path / "garbage.json").write_text("{")
    gated = {"g": cell("$_AND_", A=2, B=3, Y=5), "r": cell("$_DFF_P_", C=5, D=3, Q=4)}
    (tmp_path / "dff.json").write_text(json.dumps(netlist(gated)))
    argv = [a.format(dir=tmp_path, designs=DESIGNS) for a in argv]
    got, _ = run_cli(*argv)
    err = capsys.readouterr().err
    assert got == status
    assert len(err.strip().splitlines()) == 1 and err.startswith("nimbo: error: ") and needle in err, err


@needs_yosys
def test_run_writes_and_shows_whole_ports(core, tmp_path, capsys):
    ir = tmp_path / "adder8.ir.json"
    assert run_cli("import", DESIGNS / "adder8.v", "-q", "-o", ir)[0] == 0
    (tmp_path / "v.jsonl").write_text('{"a": "11111111", "b": "10000000"}\n{"cin": "1", "b[1]": "1"}\n')
    status, text = run_cli("run", ir, "--set", "a=10100000", "--vectors", tmp_path / "v.jsonl", "--format", "json")
    assert status == 0
    rows = [json.loads(line)["values"] for line in text.splitlines()]
    assert list(rows[0]) == ["a", "b", "cin", "sum", "cout"]
    assert [(r["sum"], r["cout"]) for r in rows] == [("0x05", "0"), ("0x00", "1"), ("0x03", "1")]
    status, text = run_cli("run", ir, "--busses", "--format", "json")
    assert status == 0 and "a[7]" in json.loads(text)
    assert run_cli("run", ir, "--set", "a=1010101010")[0] == 1
    assert '--set: port a: "1010101010" does not fit in 8 bits (as a number' in capsys.readouterr().err
