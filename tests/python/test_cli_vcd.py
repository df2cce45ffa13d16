"""The VCD of `nimbo run`: multi-bit values most significant bit first under
[W-1:0], as Icarus Verilog writes them for the same design, and clocks that
toggle once per step for a design with registers."""

import json
import pathlib
import random
import re
import shutil
import subprocess

import pytest

pytest.importorskip("nimbo.core")
from conftest import EXAMPLES, run_cli  # noqa: E402

DESIGNS = pathlib.Path(__file__).resolve().parent / "designs"

_VAR = re.compile(r"\$var\s+\w+\s+(\d+)\s+(\S+)\s+([^\s\[]+)\s*(\[\d+:\d+\])?\s*\$end")


def read_vcd(text):
    """{name: (width, range, {time: number})}: the declarations of one scope
    and every change, values read as numbers (most significant bit first)."""
    variables, codes = {}, {}
    for width, code, name, bits in _VAR.findall(text):
        variables[name] = (int(width), bits, {})
        codes[code] = name
    body = text[text.index("$enddefinitions"):]
    time = 0
    for word in body.split("\n"):
        word = word.strip()
        if word.startswith("#"):
            time = int(word[1:])
        elif word.startswith("b"):
            value, code = word[1:].split()
            variables[codes[code]][2][time] = int(value, 2)
        elif word[:1] in ("0", "1") and word[1:] in codes:
            variables[codes[word[1:]]][2][time] = int(word[0])
    return variables


def at(changes, time):
    """The value in force at `time`."""
    return changes[max(t for t in changes if t <= time)]


def test_a_clocked_design_has_step_k_at_2k_with_its_inputs_half_a_cycle_before(tmp_path):
    vcd = tmp_path / "c.vcd"
    (tmp_path / "v.jsonl").write_text('{"en": 1}\n{}\n{"en": 0}\n')
    status, _ = run_cli("run", EXAMPLES / "counter.json", "--vectors", tmp_path / "v.jsonl", "--cycles", "1",
                        "--show", "value,en", "--vcd", vcd)
    assert status == 0
    text = vcd.read_text()
    variables = read_vcd(text)
    assert {name: var[:2] for name, var in variables.items()} == {"clk": (1, ""), "value": (4, "[3:0]"), "en": (1, "")}
    assert variables["clk"][2] == {0: 0, 2: 1, 3: 0, 4: 1, 5: 0, 6: 1, 7: 0, 8: 1, 9: 0}
    assert variables["value"][2] == {0: 0, 2: 1, 4: 2}  # held while en is 0
    assert variables["en"][2] == {0: 0, 1: 1, 5: 0}  # with the falling edge before the one that samples it
    assert text.rstrip().endswith("#10")  # one unit after the last falling edge


def test_a_shown_clock_is_the_clock_variable(tmp_path):
    vcd = tmp_path / "c.vcd"
    assert run_cli("run", EXAMPLES / "counter.json", "--set", "en=1", "--cycles", "2", "--vcd", vcd)[0] == 0
    variables = read_vcd(vcd.read_text())
    assert list(variables) == ["en", "rst", "clk", "value", "wrap"]
    assert variables["clk"][2] == {0: 0, 2: 1, 3: 0, 4: 1, 5: 0}


@pytest.mark.skipif(shutil.which("yosys") is None or shutil.which("iverilog") is None,
                    reason="needs yosys and iverilog")
def test_the_vcd_shows_what_icarus_shows_for_the_same_design(tmp_path):
    ir = tmp_path / "adder8.json"
    assert run_cli("import", DESIGNS / "adder8.v", "--top", "adder8", "-o", ir)[0] == 0
    rng = random.Random(5)
    vectors = [{"a": rng.randrange(256), "b": rng.randrange(256), "cin": rng.randrange(2)} for _ in range(24)]
    (tmp_path / "v.jsonl").write_text("".join(json.dumps(v) + "\n" for v in vectors))
    status, _ = run_cli("run", ir, "--vectors", tmp_path / "v.jsonl", "--vcd", tmp_path / "nimbo.vcd")
    assert status == 0

    steps = "\n".join(f"    #1 a = 8'd{v['a']}; b = 8'd{v['b']}; cin = 1'b{v['cin']};" for v in vectors)
    (tmp_path / "tb.v").write_text(f"""`timescale 1ns/1ns
module tb;
  reg [7:0] a = 0; reg [7:0] b = 0; reg cin = 0;
  wire [7:0] sum; wire cout;
  adder8 dut(.a(a), .b(b), .cin(cin), .sum(sum), .cout(cout));
  initial begin
    $dumpfile("icarus.vcd");
    $dumpvars(1, dut);
{steps}
    #1 $finish;
  end
endmodule
""")
    subprocess.run(["iverilog", "-o", "tb.vvp", "tb.v", str(DESIGNS / "adder8.v")], cwd=tmp_path, check=True,
                   capture_output=True)
    subprocess.run(["vvp", "-n", "tb.vvp"], cwd=tmp_path, check=True, capture_output=True)
    ours, theirs = (read_vcd((tmp_path / name).read_text()) for name in ("nimbo.vcd", "icarus.vcd"))
    assert {n: v[:2] for n, v in ours.items()} == {n: v[:2] for n, v in theirs.items()} == {
        "a": (8, "[7:0]"), "b": (8, "[7:0]"), "cin": (1, ""), "sum": (8, "[7:0]"), "cout": (1, "")}
    for name in ours:
        for time in range(len(vectors) + 1):
            assert at(ours[name][2], time) == at(theirs[name][2], time), (name, time)
    last = vectors[-1]
    assert at(ours["sum"][2], len(vectors)) == (last["a"] + last["b"] + last["cin"]) % 256
