"""What nimbo import says it simulates otherwise than Verilog (delays, system
tasks, x and z, combinational loops, logic on clocks, registers without an
initial value, cut values), with file, line and the design's names; and the
strict import that refuses them, from the command line, Python and the
fixture."""

import shutil
import warnings

import pytest

from conftest import run_cli

from nimbo.verilog.differences import scan, strong_loops
from nimbo.verilog.yosys import ImportFailure, StrictFailure, import_verilog

needs_yosys = pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")


def write(tmp_path, text, name="t.v"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def findings(tmp_path, text, flow="auto"):
    path = write(tmp_path, text)
    return path, [str(f) for f in import_verilog([path], flow=flow)[1].findings]


@needs_yosys
@pytest.mark.parametrize(
    "text, expected",
    [
        # The delay the background of this check came from: flag is 1 from step 0.
        ("module t(input clk, input a, output reg flag);\n  initial begin\n    flag = 0;\n    #10 flag = 1;\n"
         "    $display(\"set\");\n  end\nendmodule\n",
         ["{p}:4: 'flag' is assigned after a delay (#10) in an initial block: nimbo is cycle-based: an initial "
          "block's assignments all take effect at step 0, and delays are ignored",
          "{p}:5: $display in an initial block is not run: nimbo prints nothing"]),
        ("module t(input clk, input a, output reg q, output w);\n  initial q = 0;\n"
         "  always @(posedge clk) begin\n    q <= #2 a; // #3 in a comment\n    $display(\"q=%d #4\", q);\n"
         "  end\n  assign #1 w = a;\nendmodule\n",
         ["{p}:4: 'q' is assigned after a delay (#2) in an always block: nimbo is cycle-based: delays are ignored",
          "{p}:5: $display in an always block is not run: nimbo prints nothing",
          "{p}:7: 'w' is assigned after a delay (#1): nimbo is cycle-based: delays are ignored"]),
        # Parameters of modules and instances are no delays; macros and conditional code as Yosys reads them.
        ("`define D 5\nmodule s #(parameter W = 1) (input [W-1:0] a, output [W-1:0] y);\n  assign y = a;\n"
         "endmodule\nmodule t(input a, output y, output reg r);\n  s #(1) u(.a(a), .y(y));\n"
         "  initial begin r = 0; #`D r = 1; end\n`ifndef SYNTHESIS\n  initial #7 $display(\"sim\");\n`endif\n"
         "endmodule\n",
         ["{p}:7: 'r' is assigned after a delay (#5) in an initial block: nimbo is cycle-based: an initial block's "
          "assignments all take effect at step 0, and delays are ignored"]),
        ("module t(input [1:0] s, input [3:0] a, output reg [3:0] y, output [1:0] k);\n"
         "  always @* casez (s) 2'b1?: y = a; default: y = 4'bx; endcase\n  assign k = 2'bz1;\nendmodule\n",
         ["{p}:2: the value of 'y' has x or z bits (4'bxxxx): nimbo is two-state: the import gives x and z bits "
          "the value 0 or 1",
          "{p}:3: the value of 'k' has x or z bits (2'bz1): nimbo is two-state: the import gives x and z bits the "
          "value 0 or 1"]),
        ("module t(input clk, input d, output reg [1:0] q, output l);\n  reg [3:0] mem [0:1];\n"
         "  always @(posedge clk) begin q <= {q[0], d}; mem[d] <= {2{q}}; end\n  assign l = mem[~d][0];\nendmodule\n",
         ["1 register without an initial value starts at 0 (nimbo is two-state; Verilog starts it at x): 'q' "
          "({p}:3); give it an initial value, or reset it before reading; --x-initial ones or random (x_initial= "
          "in Python) starts it otherwise",
          "1 memory without initial contents starts at 0 in every word (nimbo is two-state; Verilog starts it at "
          "x): 'mem' ({p}:2); give it an initial value, or reset it before reading; --x-initial ones or "
          "random (x_initial= in Python) starts it otherwise"]),
        ("module t(input a, input b, output q, output qn);\n  assign q = ~(a | qn);\n  assign qn = ~(b | q);\n"
         "endmodule\n",
         ["{p}:2: combinational loop through 'q', 'qn': nimbo re-evaluates it until no value changes (it holds a "
          "value like a latch), and an update fails when it does not settle"]),
        ("module t(input clk, input en, input d, output y, output reg q);\n  initial q = 0;\n"
         "  wire gated = clk & en;\n  assign y = gated;\n  always @(posedge clk) q <= d;\nendmodule\n",
         ["clock 'clk' drives logic ('gated'): a step raises and lowers every clock and reads the values after it, "
          "so logic on a clock shows its value with the clock low; use clocks only to clock registers (for a "
          "gated clock, a clock enable)"]),
        ("module t(input clk, input hi, input [63:0] rd, output reg [31:0] q);\n"
         "  initial q = 0;\n  always @(posedge clk) q <= hi ? rd >> 32 : rd;\nendmodule\n",
         ["{p}:3: 'q' has 32 bits but is assigned a 64-bit value, which is cut to its low 32 bits: select the bits "
          "you mean to say so"]),
    ],
    ids=["initial delay", "always and assign delays", "parameters and macros", "x and z", "uninitialised",
         "combinational loop", "logic on a clock", "width cut"],
)
def test_findings_name_the_place_and_the_signals(tmp_path, text, expected):
    path, got = findings(tmp_path, text)
    assert got == [e.format(p=path) for e in expected]


@needs_yosys
def test_a_loop_is_found_after_either_flow(tmp_path):
    text = "module t(input a, input b, output q, output qn);\n  assign q = ~(a | qn);\n  assign qn = ~(b | q);\nendmodule\n"
    for flow in ("full", "light"):
        _, got = findings(tmp_path, text, flow)
        assert len(got) == 1 and "combinational loop through 'q', 'qn'" in got[0], (flow, got)


@needs_yosys
def test_a_cut_the_design_means_imports_and_simulates_as_the_cut(tmp_path):
    pytest.importorskip("nimbo.core")
    if shutil.which("iverilog") is None:
        pytest.skip("iverilog is not installed")
    import random

    from clocked_model import ClockedModel
    from nimbo.ports import expand_inputs, port_values
    from nimbo.verilog import icarus

    source = write(tmp_path, "/* verilator lint_off WIDTH */\nmodule cut(input clk, input hi, input [63:0] rd, "
                             "output reg [31:0] q);\n  initial q = 0;\n  always @(posedge clk) q <= hi ? rd >> 32 : rd;"
                             "\nendmodule\n")
    _, imported = import_verilog([source], "cut")
    rng = random.Random(3)
    vectors = [{"hi": rng.choice("01"), "rd": "".join(rng.choice("01") for _ in range(64))} for _ in range(40)]
    expected = icarus.run([source], "cut", imported.ports, vectors, tmp_path, clocks=["clk"]).outputs
    model = ClockedModel(imported.text())
    outs = {n: p for n, p in imported.ports.items() if p.direction == "output"}
    assert [port_values(outs, model.step(expand_inputs(imported.ports, v))) for v in vectors] == expected


DELAYED = "module t(input a, output reg y);\n  initial begin y = 0; #5 y = 1; end\nendmodule\n"


@needs_yosys
def test_the_command_line_warns_and_strict_refuses_every_finding(tmp_path, capsys):
    path = write(tmp_path, "module t(input clk, input a, output reg y);\n  initial begin y = 0; #5 y = 1; end\n"
                           "  always @(posedge clk) $display(\"%d\", y);\nendmodule\n")
    status, _ = run_cli("import", path, "-o", tmp_path / "t.json")
    err = capsys.readouterr().err.splitlines()
    assert status == 0 and err == [f"nimbo: warning: {path}:2: 'y' is assigned after a delay (#5) in an initial block: "
                                   "nimbo is cycle-based: an initial block's assignments all take effect at step 0, "
                                   "and delays are ignored",
                                   f"nimbo: warning: {path}:3: $display in an always block is not run: nimbo prints nothing"]
    (tmp_path / "t.json").unlink()
    status, _ = run_cli("import", path, "--strict", "-o", tmp_path / "t.json")
    err = capsys.readouterr().err.splitlines()
    assert status == 1 and not (tmp_path / "t.json").exists()
    assert [line.split(": ", 2)[1] for line in err] == ["error"] * 3
    assert err[0].startswith(f"nimbo: error: {path}:2: 'y' is assigned after a delay")
    assert err[-1] == "nimbo: error: --strict refuses the 2 findings above (without --strict they are warnings)"
    assert run_cli("import", path, "-q", "-o", tmp_path / "t.json")[0] == 0
    assert capsys.readouterr().err == ""


@needs_yosys
def test_python_warns_once_per_finding_and_strict_raises(tmp_path):
    pytest.importorskip("nimbo.core")
    from nimbo import Design
    from nimbo.verilog import SimulationWarning

    path = write(tmp_path, DELAYED)
    for cache in (tmp_path / "cache", tmp_path / "cache", None):  # imported, then from the cache, then without
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            design = Design.from_verilog(path, cache_dir=cache)
        assert [(w.category, str(w.message)) for w in caught] == [(SimulationWarning, (
            f"{path}:2: 'y' is assigned after a delay (#5) in an initial block: nimbo is cycle-based: an initial "
            "block's assignments all take effect at step 0, and delays are ignored"))]
        assert design["y"] == 1  # the initial block's last value, from step 0 on
        with pytest.raises(StrictFailure) as info:
            Design.from_verilog(path, cache_dir=cache, strict=True)
        assert isinstance(info.value, ImportFailure) and len(info.value.findings) == 1
        assert str(info.value).startswith(f"{path}:2: 'y' is assigned after a delay")
    with pytest.raises(TypeError, match="strict is True or False"):
        Design.from_verilog(path, strict="yes")


def test_scan_follows_includes_and_skips_comments_strings_and_parameters():
    # As Yosys writes it: the rest of the include line after `file_pop.
    text = ('`file_push "a.v"\n\nmodule m #(parameter P = 1) (input x);\n`file_push "inc.vh"\n  initial #3 y = 1;\n'
            '`file_pop\n\n  sub #(2) u(); sub #4 v(); /* #9 */ initial $display("#7 $finish");\n'
            '  always @(posedge x) #(P+1) $finish;\nendmodule\n`file_pop\n')
    marks = [(m.file, m.line, m.text) for m in scan(text)]
    assert marks == [("inc.vh", 1, "#3"), ("a.v", 4, "$display"), ("a.v", 5, "#(P+1)"), ("a.v", 5, "$finish")]


@pytest.mark.parametrize(
    "edges, loops",
    [
        ([[1], [2], [0], []], [{0, 1, 2}]),
        ([[0], [], [1]], [{0}]),  # a node that reads itself
        ([[1], [0], [3], [2, 4], []], [{0, 1}, {2, 3}]),
        ([[1], [2], []], []),
    ],
)
def test_strong_loops(edges, loops):
    found = strong_loops(len(edges), lambda n: edges[n])
    assert sorted(map(set, found), key=min) == loops


@needs_yosys
def test_a_stop_outside_an_initial_block_is_refused_at_its_line(tmp_path):
    path = write(tmp_path, "module t(input clk, input a, output reg q);\n  initial q = 0;\n"
                           "  always @(posedge clk) begin q <= a; if (a) $finish; end\nendmodule\n")
    with pytest.raises(ImportFailure) as info:
        import_verilog([path])
    assert str(info.value).startswith(f"{path}:3: $finish outside an initial block cannot be imported: ")
    assert "`ifndef SYNTHESIS" in str(info.value)
