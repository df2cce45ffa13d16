"""Memories kept as memories (--memories keep) together with the rest of the
import: the size guard, which holds only for memories that are mapped; the
findings of memories without initial contents, as for mapped ones; the
notes of memories mapped although kept, which strict imports do not refuse;
the options and the cache; and the named nets beside the memories."""

import io
import os
import shutil
import subprocess
import sys
import warnings

import pytest

from nimbo.cli import main
from nimbo.verilog.cache import imported_ir
from nimbo.verilog.errors import SimulationWarning, StrictFailure
from nimbo.verilog.options import ImportOptions
from nimbo.verilog.yosys import ImportFailure, import_verilog

YOSYS = shutil.which("yosys")
pytestmark = pytest.mark.skipif(YOSYS is None, reason="yosys is not installed")

# A RAM of WORDS words of 32 bits, written at the clock, read asynchronously.
RAM = """module ram #(parameter WORDS = 16) (input clk, input we, input [12:0] a, input [31:0] d, output [31:0] q);
  reg [31:0] mem [0:WORDS-1];
  always @(posedge clk) if (we) mem[a] <= d;
  assign q = mem[a];
endmodule
"""

# A memory that --memories keep maps all the same (no_rw_check), its first
# words initialised from loose.hex, beside a register.
LOOSE = """module loose #(parameter WORDS = 8) (input clk, input we, input [14:0] a, input [7:0] d,
             output reg [7:0] q);
  (* no_rw_check *) reg [7:0] mem [0:WORDS-1];
  initial begin
    $readmemh("loose.hex", mem);
    q = 8'd0;
  end
  always @(posedge clk) begin
    if (we) mem[a] <= d;
    q <= mem[a];
  end
endmodule
"""

# A synchronous read, a state register and a memory, none with an initial value.
UNSET = """module unset(input clk, input we, input [3:0] a, input [7:0] d, output reg [7:0] q, output odd);
  reg [7:0] mem [0:15];
  reg [2:0] state;
  always @(posedge clk) begin
    if (we) mem[a] <= d;
    q <= mem[a];
    state <= state + 3'd1;
  end
  assign odd = state[0];
endmodule
"""


@pytest.fixture
def sources(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # messages name the sources as given
    for name, text in (("ram.v", RAM), ("loose.v", LOOSE), ("unset.v", UNSET), ("loose.hex", "0 1 2 3 4 5 6 7\n")):
        (tmp_path / name).write_text(text)
    return tmp_path


def words(count: int) -> ImportOptions:
    return ImportOptions.make(parameters={"WORDS": count})


@pytest.mark.parametrize(
    "source, mode, count, message",
    [
        # 262,144 bits: too many to map (a memory of the IR all the same when kept, below)
        ("ram.v", "map", 8192, "memory 'mem' (ram.v:2) has 8,192 words × 32 bits = 262,144 bits: nimbo maps memories "
         "to one register per bit"),
        # kept, but a memory that cannot stay one is mapped, with the reason
        ("loose.v", "keep", 32768, "memory 'mem' (loose.v:3) has 32,768 words × 8 bits = 262,144 bits: it cannot stay "
         "a memory (its read port 0 returns x when write port 0 writes the same address at the same edge "
         "(no_rw_check)), so nimbo maps it to one register per bit, and more than 131,072 bits"),
        # larger than a memory of the IR holds: refused before mapping
        ("ram.v", "keep", (1 << 23) + 1, "memory 'mem' (ram.v:2) cannot be kept as a memory: it has 8,388,609 words "
         "× 32 bits = 268,435,488 bits, and a memory of the IR holds at most 16,777,216 words of at most 65,536 bits, "
         "268,435,456 bits in all"),
    ],
)
def test_the_size_guard_holds_for_the_memories_that_are_mapped(sources, source, mode, count, message):
    with pytest.raises(ImportFailure) as refused:
        import_verilog([source], memories=mode, options=words(count))
    assert str(refused.value).startswith(message)
    if source == "ram.v" and mode == "map":
        _, imported = import_verilog(["ram.v"], memories="keep", options=words(count))
        (memory,) = imported.memories
        assert (memory["name"], memory["words"], memory["width"]) == ("mem", 8192, 32)


def test_kept_memories_without_initial_contents_are_found_as_mapped_ones_are(sources):
    found = {}
    for mode in ("map", "keep"):
        _, imported = import_verilog(["unset.v"], memories=mode)
        assert bool(imported.memories) == (mode == "keep")
        found[mode] = sorted(str(f) for f in imported.findings)
    assert found["keep"] == found["map"]
    assert any(text.startswith("1 memory without initial contents starts at 0 in every word") and "'mem' (unset.v:2)"
               in text for text in found["keep"])  # fmt: skip
    registers = next(text for text in found["keep"] if text.startswith("2 registers without an initial value"))
    assert "'q'" in registers and "'state'" in registers


def test_a_strict_import_refuses_a_kept_memory_without_initial_contents(sources, tmp_path):
    from nimbo import Design

    with pytest.raises(StrictFailure) as refused:
        Design.from_verilog("unset.v", memories="keep", strict=True, cache_dir=tmp_path / "cache")
    assert any("memory without initial contents" in f.text for f in refused.value.findings)


def test_a_memory_mapped_although_kept_is_a_note_no_warning(sources, tmp_path, capsys):
    pytest.importorskip("nimbo.core")
    from nimbo import Design

    _, imported = import_verilog(["loose.v"], memories="keep")
    assert imported.memories == [] and imported.findings == [imported.findings[0]]
    (note,) = imported.findings
    assert note.note and note.where == "loose.v:3" and note.text.startswith("memory 'mem' is imported as registers")

    cache = tmp_path / "cache"
    for _ in range(2):  # imported, then from the cache
        result = imported_ir(["loose.v"], None, "auto", None, cache, memories="keep")
        assert result.findings == [note]
        with warnings.catch_warnings():
            warnings.simplefilter("error", SimulationWarning)
            design = Design.from_verilog("loose.v", cache_dir=cache, memories="keep", strict=True)
        assert design.step(we=0, a=3)["q"] == 3
    assert len(list(cache.glob("*/*.json"))) == 1

    out = io.StringIO()
    assert main(["import", "loose.v", "--memories", "keep", "--strict", "-o", "loose.json"], out=out) == 0
    assert f"note: loose.v:3: {note.text}\n" in out.getvalue()
    assert "warning" not in capsys.readouterr().err
    assert main(["import", "loose.v", "--memories", "keep", "-q", "-o", "loose.json"], out=out) == 0


def test_the_fixture_takes_memories_with_the_other_options(sources):
    (sources / "test_memories.py").write_text(
        "def test_note(nimbo_design):\n"
        "    loose = nimbo_design('loose.v', memories='keep', strict=True, parameters={'WORDS': 8})\n"
        "    assert loose.step(a=5)['q'] == 5\n"
        "def test_kept(nimbo_design):\n"
        "    nimbo_design('unset.v', memories='keep')\n"
        "def test_warned(nimbo_design):\n"
        "    nimbo_design('unset.v', sv=True)\n"
        "def test_too_large(nimbo_design):\n"
        "    nimbo_design('loose.v', memories='keep', parameters={'WORDS': 32768})\n"
        "def test_ir_file(nimbo_design):\n"
        "    nimbo_design('loose.json', memories='keep')\n"
    )
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-rf", "-W", "default", "-p", "no:xdist"],
                          cwd=sources, env={**os.environ, "PYTEST_ADDOPTS": "", "COLUMNS": "1000"},
                          capture_output=True, text=True)  # fmt: skip
    out = done.stdout + done.stderr
    assert "2 failed, 3 passed" in out, out
    failures = {line.split("::")[1].split(" ")[0]: line for line in out.splitlines() if line.startswith("FAILED")}
    assert "it cannot stay a memory (its read port 0 returns x" in failures["test_too_large"]
    assert failures["test_ir_file"].endswith("without top or import options")
    summary = out.split("warnings summary")[1]
    assert summary.count("SimulationWarning") == 4 and "test_warned" in summary and "test_note" not in summary, out


def test_named_nets_and_kept_memories_share_the_ir_and_nimbo_check(sources, tmp_path):
    (tmp_path / "both.v").write_text("""module both(input clk, input we, input [3:0] a, input [7:0] d, output [7:0] q);
  reg [7:0] mem [0:15];
  reg [3:0] last = 4'd0;
  always @(posedge clk) begin
    if (we) mem[a] <= d;
    last <= a;
  end
  assign q = mem[last];
endmodule
""")
    _, imported = import_verilog(["both.v"], memories="keep")
    component = imported.document["component"]
    assert list(component) == ["id", "ports", "nets", "registers", "memories", "busses"]
    assert component["nets"]["last"] == ["last[0]", "last[1]", "last[2]", "last[3]"]
    (memory,) = component["memories"]
    assert memory["read_ports"][0]["address"] == component["nets"]["last"]
    (tmp_path / "both.json").write_text(imported.text())
    out = io.StringIO()
    assert main(["check", "both.json", "--strict"], out=out) == 0
    lines = out.getvalue().splitlines()
    assert "nets:          1" in lines and "memories:      1" in lines
    assert not any(line.startswith(("note:", "warning:", "error:")) for line in lines)


def test_a_netlist_written_with_kept_memories_imports_back_with_them(sources):
    first = ["import", "unset.v", "--memories", "keep", "-q", "-o", "a.json", "--write-netlist", "n.json"]
    assert main(first, out=io.StringIO()) == 0
    assert main(["import", "n.json", "--memories", "keep", "-q", "-o", "b.json"], out=io.StringIO()) == 0
    assert (sources / "a.json").read_text() == (sources / "b.json").read_text()
    assert main(["import", "n.json", "--memories", "map", "-q", "-o", "c.json"], out=io.StringIO()) == 1  # its memory cell, unmapped
