"""Import options: macros (-D), include folders (-I), parameters of the top
module (-G), SystemVerilog (--sv), all part of the cache key; and the sizes
refused before Yosys maps them, and how a Yosys that dies is reported."""

import json
import os
import shutil

import pytest

from conftest import run_cli

from nimbo.verilog.cache import cache_key
from nimbo.verilog.options import ImportOptions, OptionError
from nimbo.verilog.yosys import ImportFailure, import_verilog

YOSYS = shutil.which("yosys")
needs_yosys = pytest.mark.skipif(YOSYS is None, reason="yosys is not installed")

# Every option shows in a port: its width, or the constant it drives.
CONFIGURED = """module cfg #(parameter W = 4, parameter [7:0] K = 8'h01, parameter S = "abc") (
    input [W-1:0] a, output [W-1:0] y, output [7:0] k, output flag, output named);
`include "step.vh"
  assign y = a + STEP;
  assign k = K;
`ifdef FLAG
  assign flag = 1'b1;
`else
  assign flag = 1'b0;
`endif
  assign named = S == `MSG;
endmodule
"""


@pytest.fixture
def configured(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "inc").mkdir()
    (tmp_path / "src" / "cfg.v").write_text(CONFIGURED)
    (tmp_path / "inc" / "step.vh").write_text("localparam STEP = 3;\n")
    return tmp_path


def outputs(imported, **inputs):
    """The outputs of a combinational design for the given input values."""
    from nimbo import Design

    return Design(imported.text()).settle(**inputs)


@needs_yosys
def test_defines_include_folders_and_parameters_reach_the_design(configured):
    pytest.importorskip("nimbo.core")
    options = ImportOptions.make({"FLAG": None, "MSG": '"x y"'}, ["inc"], {"W": 8, "K": "8'h2a", "S": '"x y"'})
    synthesis, imported = import_verilog(["src/cfg.v"], options=options)
    assert imported.ports["y"].width == 8 and synthesis.top == "cfg"
    assert outputs(imported, a=250) == {"y": 253, "k": 42, "flag": 1, "named": 1}
    options = ImportOptions.make(["MSG=\"abc\""], ["inc"], {"K": -3})  # a negative number, in two's complement
    _, imported = import_verilog(["src/cfg.v"], "cfg", options=options)
    assert outputs(imported, a=1) == {"y": 4, "k": 253, "flag": 0, "named": 1}


@needs_yosys
def test_the_command_line_takes_the_options(configured, capsys):
    status, _ = run_cli("import", "src/cfg.v", "-I", "inc", "-D", "FLAG", "-D", 'MSG="x y"', "-G", "W=6", "-G",
                        'S="x y"', "-o", "cfg.json")
    assert status == 0, capsys.readouterr().err
    ports = json.loads((configured / "cfg.json").read_text())["component"]["ports"]
    assert len(ports["y"]["bits"]) == 6
    status, _ = run_cli("import", "src/cfg.v", "-D", "MSG=1", "-o", "cfg.json")  # no -I: step.vh is not found
    assert status == 1 and "step.vh" in capsys.readouterr().err


@pytest.mark.parametrize(
    "argv, needle",
    [
        (["-G", "W"], "-G W: write NAME=VALUE"),
        (["-G", "W=1", "-G", "W=2"], "-G W is given twice"),
        (["-G", "W=4.5"], "parameter W: '4.5' is no Verilog number"),
        (["-G", "1W=4"], "parameter '1W': a parameter name is a Verilog identifier"),
        (["-D", "A-B=1"], "define 'A-B': a macro name is a Verilog identifier"),
        (["-I", "nowhere"], "include folder 'nowhere' does not exist"),
        (["-I", "with space"], "Yosys cannot take a folder whose name is empty or has a space"),
    ],
)
def test_option_mistakes_are_one_line(configured, capsys, argv, needle):
    (configured / "with space").mkdir()
    status, _ = run_cli("import", "src/cfg.v", *argv, "-o", "cfg.json")
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1 and needle in err, err


@needs_yosys
def test_a_parameter_the_top_lacks_is_named_with_those_it_has(configured):
    options = ImportOptions.make({"MSG": '"a"'}, ["inc"], {"WIDTH": 8})
    with pytest.raises(ImportFailure, match=r"^module 'cfg' has no parameter 'WIDTH' \(its parameters: W, K, S\)$"):
        import_verilog(["src/cfg.v"], options=options)


def test_netlist_options_are_for_verilog_only(tmp_path, capsys):
    (tmp_path / "n.json").write_text("{}")
    for argv in (["-D", "X"], ["-G", "W=1"], ["--sv"], ["--write-netlist", "o.v"]):
        assert run_cli("import", tmp_path / "n.json", *argv)[0] == 2
        assert "is for Verilog sources" in capsys.readouterr().err


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: ImportOptions.make(defines="X"), TypeError),
        (lambda: ImportOptions.make(defines={"X": 1.5}), TypeError),
        (lambda: ImportOptions.make(defines={"X": "a\nb"}), OptionError),
        (lambda: ImportOptions.make(include_dirs="inc"), TypeError),
        (lambda: ImportOptions.make(parameters={"W": True}), TypeError),
        (lambda: ImportOptions.make(parameters={"S": '"a"b"'}), OptionError),
        (lambda: ImportOptions.make(sv=1), TypeError),
    ],
)
def test_python_option_mistakes_raise_exactly(call, error):
    with pytest.raises(error):
        call()


@needs_yosys
def test_systemverilog_by_extension_or_by_choice(tmp_path):
    text = "module s(input logic clk, input logic d, output logic q);\n  initial q = 0;\n  always_ff @(posedge clk) q <= d;\nendmodule\n"
    for name in ("s.sv", "s.v"):
        (tmp_path / name).write_text(text)
    import_verilog([str(tmp_path / "s.sv")])
    import_verilog([str(tmp_path / "s.v")], options=ImportOptions.make(sv=True))
    with pytest.raises(ImportFailure, match="syntax error"):
        import_verilog([str(tmp_path / "s.v")])


@needs_yosys
def test_every_option_is_part_of_the_cache_key(configured):
    def key(memories="map", **given):
        options = ImportOptions.make(**{"include_dirs": ["inc"], **given})
        return cache_key(["src/cfg.v"], None, "auto", YOSYS, options, memories)

    keys = [key(), key(defines={"FLAG": None}), key(defines={"FLAG": "2"}), key(parameters={"W": 5}),
            key(parameters={"W": 6}), key(sv=True), key(recode_fsm=True), key(include_dirs=["inc", "src"]),
            key("keep"), key("keep", sv=True)]
    assert None not in keys and len(set(keys)) == len(keys)
    assert key() == key()
    (configured / "inc" / "step.vh").write_text("localparam STEP = 4;\n")  # an included file found through -I
    assert key() != keys[0]


@needs_yosys
def test_the_include_beside_the_current_directory_is_the_one_keyed(tmp_path, monkeypatch):
    # Yosys takes an include from the current directory before the including file's.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "t.v").write_text('module t(output [3:0] y);\n`include "v.vh"\n  assign y = V;\nendmodule\n')
    (tmp_path / "sub" / "v.vh").write_text("localparam V = 2;\n")
    (tmp_path / "v.vh").write_text("localparam V = 1;\n")
    before = cache_key(["sub/t.v"], None, "auto", YOSYS)
    (tmp_path / "v.vh").write_text("localparam V = 3;\n")
    assert cache_key(["sub/t.v"], None, "auto", YOSYS) != before


@needs_yosys
def test_a_memory_too_large_to_map_is_refused_before_mapping(tmp_path):
    path = tmp_path / "m.v"
    path.write_text("module m(input clk, input we, input [19:0] a, input [31:0] d, output [31:0] q);\n"
                    "  reg [31:0] mem [0:1<<20];\n  always @(posedge clk) if (we) mem[a] <= d;\n"
                    "  assign q = mem[a];\nendmodule\n")
    with pytest.raises(ImportFailure) as info:
        import_verilog([str(path)], memories="map")
    assert str(info.value).startswith(f"memory 'mem' ({path}:2) has 1,048,577 words × 32 bits = 33,554,464 bits: ")
    assert "-G NAME=VALUE" in str(info.value)


def dying_yosys(folder, body):
    folder.mkdir(exist_ok=True)
    path = folder / "yosys"
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)
    return str(path)


@pytest.mark.parametrize(
    "body, message",
    [
        ("kill -KILL $$", "Yosys was killed (SIGKILL), most likely by the system for lack of memory: "),
        ("echo \"terminate called after throwing an instance of 'std::bad_alloc'\" >&2; kill -ABRT $$",
         "Yosys ran out of memory (SIGABRT): "),
        ("kill -SEGV $$", "Yosys was stopped by SIGSEGV: "),
        ("echo 'ERROR: Something else.' >&2; exit 1", "Yosys failed: ERROR: Something else."),
    ],
)
def test_a_yosys_that_dies_is_reported_as_it_died(tmp_path, body, message):
    (tmp_path / "t.v").write_text("module t(input a, output y);\n  assign y = a;\nendmodule\n")
    with pytest.raises(ImportFailure) as info:
        import_verilog([str(tmp_path / "t.v")], yosys=dying_yosys(tmp_path / "bin", body))
    assert str(info.value).startswith(message), str(info.value)
    assert "\n" not in str(info.value)


@needs_yosys
@pytest.mark.parametrize("suffix", [".v", ".json"])
def test_the_written_netlist_is_the_one_simulated(tmp_path, capsys, suffix):
    pytest.importorskip("nimbo.core")
    if shutil.which("iverilog") is None:
        pytest.skip("iverilog is not installed")
    import random

    from nimbo import Design
    from nimbo.verilog import icarus

    source = os.path.join(os.path.dirname(__file__), "designs", "counter.v")
    out = tmp_path / f"net{suffix}"
    status, _ = run_cli("import", source, "-o", tmp_path / "c.json", "--write-netlist", out)
    assert status == 0, capsys.readouterr().err
    if suffix == ".json":
        assert json.loads(out.read_text())["modules"]["counter"]["cells"]
        assert run_cli("import", out, "-o", tmp_path / "again.json")[0] == 0
        assert json.loads((tmp_path / "again.json").read_text()) == json.loads((tmp_path / "c.json").read_text())
        return
    design = Design.load(tmp_path / "c.json")
    rng = random.Random(1)
    vectors = [{"rst": "1" if rng.random() < 0.1 else "0", "en": rng.choice("01")} for _ in range(40)]
    from nimbo.ports import ports_from_text

    ports = ports_from_text((tmp_path / "c.json").read_text())
    # The netlist Yosys wrote runs under Icarus as the design under nimbo.
    expected = icarus.run([out], "counter", ports, vectors, tmp_path, clocks=["clk"]).outputs
    got = []
    for v in vectors:
        values = design.step(rst=int(v["rst"]), en=int(v["en"]))
        got.append({"count": format(values["count"], "04b")[::-1], "wrap": str(values["wrap"])})
    assert got == expected


def test_a_netlist_of_another_extension_is_refused(tmp_path, capsys):
    (tmp_path / "t.v").write_text("module t(input a, output y);\n  assign y = a;\nendmodule\n")
    assert run_cli("import", tmp_path / "t.v", "--write-netlist", tmp_path / "n.blif")[0] == 2
    assert "--write-netlist writes Verilog (.v) or Yosys JSON (.json), not" in capsys.readouterr().err


@needs_yosys
def test_a_yosys_error_is_told_from_the_sources_words(tmp_path):
    # The log holds the preprocessed sources: their "ERROR" and "out of memory" are no messages.
    (tmp_path / "t.v").write_text('module t(input a, output y);\n  initial $display("ERROR: out of memory");\n'
                                  "  nosuch u(.a(a));\n  assign y = a;\nendmodule\n")
    with pytest.raises(ImportFailure, match=r"^Yosys failed: ERROR: Module `.nosuch' referenced in module"):
        import_verilog([str(tmp_path / "t.v")])
