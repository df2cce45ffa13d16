"""What nimbo import refuses in Verilog that Yosys accepts (undeclared
identifiers, width mismatches, clocking a step cannot reproduce), the Yosys
warnings it shows, and the flow it picks."""

import json
import shutil

import pytest

from conftest import run_cli

from nimbo.verilog.yosys import ImportFailure, import_text, run_yosys

pytestmark = pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")

SUB = ("module sub(input [7:0] a, output [7:0] y);\n  assign y = ~a;\nendmodule\n"
       "module inv(input a, output y);\n  assign y = ~a;\nendmodule\n")


def design(tmp_path, body, ports="input [15:0] x, input [3:0] n, input a, input b, output [7:0] y, output w",
           extra=""):
    path = tmp_path / "top.v"
    path.write_text(f"module top({ports});\n{body}\nendmodule\n{extra}")
    return str(path)


@pytest.mark.parametrize(
    "body, line, needle",
    [
        ("  assign w = a & undeclared_b;", 2, "'undeclared_b' is not declared: declare it"),
        ("  reg r;\n  always @* r = a | typo;\n  assign w = r;", 3, "'typo' is not declared"),
    ],
)
def test_undeclared_identifiers_are_refused(tmp_path, body, line, needle):
    path = design(tmp_path, body, extra=SUB)
    with pytest.raises(ImportFailure) as info:
        run_yosys([path], "top")
    assert str(info.value).startswith(f"{path}:{line}: ") and needle in str(info.value), str(info.value)


@pytest.mark.parametrize(
    "body, line, needle",
    [
        ("  assign y = x;", 2, "'y' has 8 bits but is assigned a 16-bit value, which is cut to its low 8 bits"),
        ("  assign y = 16'h1234;", 2, "'y' has 8 bits but is assigned a 13-bit value"),
        ("  wire [3:0] t = x[7:0] + 1'b1;\n  assign w = t[0];", 2, "'t' has 4 bits but is assigned a 8-bit value"),
        ("  reg [7:0] r;\n  always @(posedge a) r <= {x[3:0], n, n};\n  assign y = r;", 3,
         "'r' has 8 bits but is assigned a 12-bit value"),
        ("  reg [3:0] m [0:3];\n  always @(posedge a) m[n[1:0]] <= x[7:0];\n  assign y = {m[0], m[1]};", 3,
         "memory 'm' has 4-bit words but is assigned a 8-bit value"),
        ("  assign {w, y[6:0]} = {x[7:0], a};", 2, "'{w, y[6:0]}' has 8 bits but is assigned a 9-bit value"),
        ("  sub u(.a(x), .y(y));", 2,
         "instance 'u' of 'sub' connects 16 bits ('x') to its 8-bit port 'a', which is cut to its low 8 bits"),
        ("  sub u(.a(x[7:0]), .y(y[3:0]));", 2,
         "instance 'u' of 'sub' connects 4 bits ('y[3:0]') to its 8-bit port 'y', which is extended to 8 bits"),
    ],
)
def test_width_cuts_are_findings_with_their_place(tmp_path, body, line, needle):
    path = design(tmp_path, body, extra=SUB)
    cuts = [str(f) for f in run_yosys([path], "top").findings if "bits" in f.text]
    assert len(cuts) == 1 and cuts[0].startswith(f"{path}:{line}: ") and needle in cuts[0], cuts


@pytest.mark.parametrize(
    "body",
    [
        "  inv u(.a(a), .y(imp));\n  assign w = imp;\n  assign y = x[7:0];",  # an implicit net of a port connection
        "  assign imp = a & b;\n  assign w = imp;\n  assign y = x[15:8];",  # of a continuous assignment's target
        "  assign y = {x[3:0], n} + 1;\n  assign w = a;",  # an unsized constant counts what it needs
        "  assign y = n;\n  assign w = &x;",  # a narrower value is extended
        "  localparam K = 200;\n  assign y = K;\n  assign w = x > 16'd3;",
        "  reg [7:0] r = 8'd0;\n  always @(posedge a) r <= b ? x[15:8] : r + 8'd1;\n  assign y = r;",
        "  assign y = {4{b, a}};\n  assign w = ^x;",
        "  assign y = 'hff;\n  assign w = 'd5 + 8'd1 > 8'd3;",  # constants count what their value needs
    ],
)
def test_sound_verilog_is_accepted(tmp_path, body):
    path = design(tmp_path, body, extra=SUB)
    import_text(run_yosys([path], "top").netlist)


def test_a_module_used_only_with_other_parameters_is_judged_by_its_instances(tmp_path):
    # Its default parameters would cut the value; the design uses it with W = 16.
    extra = "module p #(parameter W = 4) (input [15:0] a, output [W-1:0] y);\n  assign y = a;\nendmodule\n"
    path = design(tmp_path, "  wire [15:0] t;\n  p #(.W(16)) u(.a(x), .y(t));\n  assign y = t[7:0];", extra=extra)
    run_yosys([path], "top")


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize(
    "text, needle",
    [
        ("module r(input clk, input d, output reg q);\n  reg [1:0] div = 0;\n  always @(posedge clk) div <= div + 2'd1;\n"
         "  always @(posedge div[1]) q <= d;\nendmodule\n",
         "{path}:4) is clocked by 'div[1]', which is not an input port; nimbo clocks registers only from input "
         "ports: clock it from the input clock and turn the derived or gated clock into a clock enable"),
        ("module r(input clk, input en, input d, output reg q);\n  wire gclk = clk & en;\n"
         "  always @(posedge gclk) q <= d;\nendmodule\n", "{path}:3) is clocked by 'gclk'"),
        ("module r(input clk, input s, input c, input d, output reg q);\n  always @(posedge clk or posedge s or posedge c)\n"
         "    if (c) q <= 0; else if (s) q <= 1; else q <= d;\nendmodule\n",
         "{path}:2) has an asynchronous reset and an asynchronous set"),
        ("module r(input clk, input l, input ad, input d, output reg q);\n  always @(posedge clk or posedge l)\n"
         "    if (l) q <= ad; else q <= d;\nendmodule\n", "{path}:2) loads 'ad' asynchronously"),
        ("module r(input clk, input a, input b, input d, output reg q);\n  wire c = a & b;\n"
         "  always @(posedge clk or posedge c)\n    if (c) q <= 0; else q <= d;\nendmodule\n",
         "{path}:3) has an asynchronous reset driven by logic ('c')"),
        ("module r(input clk, input d, output reg q);\n  initial q = 0;\n  always @(posedge clk) q <= d ^ clk;\nendmodule\n",
         "{path}:3) takes the clock 'clk' into its data: at the edge Verilog sees the clock's new value"),
    ],
)
def test_registers_a_step_cannot_clock_exactly_are_refused_by_their_names(tmp_path, text, needle):
    path = write(tmp_path, "r.v", text)
    with pytest.raises(ImportFailure) as info:
        import_text(run_yosys([path], "r").netlist)
    assert str(info.value).startswith("register 'q' (") and needle.format(path=path) in str(info.value)


@pytest.mark.parametrize(
    "text, flow",
    [
        ("module g(input a, input b, input c, output y, output z);\n  wire t = a & ~b;\n  assign y = t ^ c;\n"
         "  assign z = ~(t | c);\nendmodule\n", "light"),
        ("module g(input clk, input a, output reg y);\n  initial y = 0;\n  always @(posedge clk) y <= y ^ a;\nendmodule\n",
         "light"),
        ("module g(input [3:0] a, input [3:0] b, output [4:0] y, output z);\n  assign y = a + b;\n"
         "  assign z = a == b;\nendmodule\n", "full"),
    ],
)
def test_the_flow_follows_the_input_and_the_summary_says_which_ran(tmp_path, capsys, text, flow):
    path = write(tmp_path, "g.v", text)
    status, out = run_cli("import", path, "-o", tmp_path / "g.json")
    assert status == 0
    script = "techmap" if flow == "light" else "synth -flatten -nofsm -top g"
    assert f"; Yosys flow {flow} ({script}) -> " in out
    forced = {"light": "full", "full": "light"}[flow]
    status, out = run_cli("import", path, "--flow", forced, "-o", tmp_path / "h.json")
    assert status == 0 and f"Yosys flow {forced} " in out


def test_summary_counts_registers_clocks_and_latches(tmp_path, capsys):
    text = ("module s(input ck_a, input ck_b, input e, input [1:0] d, output reg [1:0] p, output reg q, output reg l);\n"
            "  initial begin p = 0; q = 0; end\n  always @(posedge ck_a) p <= d;\n  always @(negedge ck_b) q <= d[0];\n"
            "  always @* if (e) l = d[1];\nendmodule\n")
    status, out = run_cli("import", write(tmp_path, "s.v", text), "-o", tmp_path / "s.json")
    assert status == 0
    assert "3 registers, 2 clocks (ck_a, ck_b), 1 latch; Yosys flow" in out
    assert ("nimbo: warning: 1 latch without an initial value starts at 0 (nimbo is two-state; Verilog starts it "
            f"at x): 'l' ({tmp_path / 's.v'}:5)") in capsys.readouterr().err
    registers = json.loads((tmp_path / "s.json").read_text())["component"]["registers"]
    assert sorted((r["q"], r["clock"], r["edge"]) for r in registers) == [
        ("p[0]", "ck_a", "posedge"), ("p[1]", "ck_a", "posedge"), ("q", "ck_b", "negedge")]


def test_yosys_warnings_are_shown_with_their_place_unless_quiet(tmp_path, capsys):
    path = write(tmp_path, "n.v", "module n(input a, output y, output z);\n  assign y = ~a;\n  assign z = 8'd300 != 0;\n"
                 "endmodule\n")
    assert run_cli("import", path, "-o", tmp_path / "n.json")[0] == 0
    err = capsys.readouterr().err
    assert f"nimbo: warning: yosys: {path}:3: " in err
    assert run_cli("import", path, "-q", "-o", tmp_path / "n.json")[0] == 0
    assert capsys.readouterr().err == ""


def test_refusals_are_one_line_on_the_command_line(tmp_path, capsys):
    path = design(tmp_path, "  assign w = a & undeclared_b;\n  assign y = x & ~nothing_here;")
    status, _ = run_cli("import", path, "-o", tmp_path / "t.json")
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1
    assert err.startswith(f"nimbo: error: {path}:2: 'undeclared_b' is not declared") and "(and 1 more mistake)" in err
    assert not (tmp_path / "t.json").exists()


@pytest.mark.parametrize("name", ["my design.v", "-design.v"])
def test_messages_name_sources_as_given(tmp_path, monkeypatch, capsys, name):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).write_text("module t(input a, output y);\n  assign y = a & typo;\nendmodule\n")
    status, _ = run_cli("import", "--", name)
    assert status == 1
    prefix = f"./{name}" if name.startswith("-") else name
    assert capsys.readouterr().err.startswith(f"nimbo: error: {prefix}:2: 'typo' is not declared")
