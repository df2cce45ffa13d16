"""Design.from_verilog's import cache and the nimbo_design fixture, run in
pytest subprocesses on copies of examples/pytest."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from nimbo import Design
from nimbo.verilog.cache import cache_key, yosys_version
from nimbo.verilog.yosys import ImportFailure

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "pytest"
YOSYS = shutil.which("yosys")
needs_yosys = pytest.mark.skipif(YOSYS is None, reason="yosys is not installed (scripts/install-deps.sh test)")

COUNTER = "module c(input clk, output reg [1:0] q);\n  initial q = 0;\n  always @(posedge clk) q <= q + 1;\nendmodule\n"


def fake_yosys(folder, version):
    """A program named yosys that gives `version` for -V and fails otherwise:
    an import through it can only come from the cache."""
    folder.mkdir(exist_ok=True)
    path = folder / "yosys"
    path.write_text(f'#!/bin/sh\n[ "$1" = -V ] && {{ echo "{version}"; exit 0; }}\necho "ERROR: not run" >&2\nexit 1\n')
    path.chmod(0o755)
    return path


def run_pytest(folder, *args, path=None):
    env = {**os.environ, "PYTEST_ADDOPTS": "", "COLUMNS": "1000"}  # summary lines whole
    if path is not None:
        env["PATH"] = path
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:xdist", *args],
        cwd=folder, env=env, capture_output=True, text=True,
    )  # fmt: skip
    return done.returncode, done.stdout + done.stderr


@needs_yosys
def test_the_cache_imports_each_design_once(tmp_path):
    source = tmp_path / "c.v"
    source.write_text(COUNTER)
    cache = tmp_path / "cache"
    first = Design.from_verilog(str(source), cache_dir=cache)
    assert [first.step()["q"] for _ in range(5)] == [1, 2, 3, 0, 1]
    fake = fake_yosys(tmp_path / "bin", yosys_version(YOSYS))
    assert Design.from_verilog(source, cache_dir=cache, yosys=str(fake)).ir == first.ir
    for change in (lambda: source.write_text(COUNTER.replace("q + 1", "q + 2")), lambda: None):
        change()  # new contents, then another top: both import again (and fail through the fake)
        with pytest.raises(ImportFailure, match="Yosys failed: ERROR: not run"):
            Design.from_verilog([source], top="c" if change else None, cache_dir=cache, yosys=str(fake))
    assert Design.from_verilog(source, cache_dir=cache).step()["q"] == 2


@needs_yosys
def test_the_key_follows_includes(tmp_path):
    (tmp_path / "inc.vh").write_text("localparam STEP = 1;\n")
    source = tmp_path / "top.v"
    source.write_text('module t(input clk, output reg q);\n  `include "inc.vh"\n  always @(posedge clk) q <= STEP;\nendmodule\n')
    key = cache_key([str(source)], None, "auto", YOSYS)
    assert key is not None and key == cache_key([str(source)], None, "auto", YOSYS)
    assert cache_key([str(source)], None, "full", YOSYS) != key
    (tmp_path / "inc.vh").write_text("localparam STEP = 0;\n")
    assert cache_key([str(source)], None, "auto", YOSYS) not in (None, key)
    for text in ('`include "missing.vh"\n', "`define F \"inc.vh\"\n`include `F\n"):
        source.write_text(text + COUNTER)  # an include that cannot be followed: no caching
        assert cache_key([str(source)], None, "auto", YOSYS) is None


@pytest.mark.parametrize(
    "sources, yosys, message",
    [
        ([], None, r"^no Verilog sources given$"),
        (["nowhere.v"], None, r"^nowhere\.v: does not exist$"),
        (["."], None, r"^\.: is a directory$"),
        (["c.v"], "no-such-yosys", r"^Yosys not found: 'no-such-yosys'$"),
    ],
)
def test_import_failures_say_what_is_wrong(tmp_path, monkeypatch, sources, yosys, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "c.v").write_text(COUNTER)
    with pytest.raises(ImportFailure, match=message):
        Design.from_verilog(sources, yosys=yosys, cache_dir=tmp_path / "cache")


def fenced_blocks(text):
    return re.findall(r"^```\w*\n(.*?)^```$", text, re.M | re.S)


@pytest.mark.parametrize(
    "page, names",
    [
        ("README.md", ["counter8.v", "test_counter8.py"]),
        ("docs/guide.md", ["counter8.v", "alu16.v", "test_counter8.py", "test_alu16.py"]),
    ],
)
def test_the_docs_show_the_example_files_as_they_are(page, names):
    blocks = fenced_blocks((ROOT / page).read_text())
    for name in names:
        assert (EXAMPLE / name).read_text() in blocks, name


@needs_yosys
def test_the_example_runs_and_the_second_run_imports_nothing(tmp_path):
    project = tmp_path / "project"
    shutil.copytree(EXAMPLE, project)
    status, out = run_pytest(project)
    assert status == 0 and "6 passed" in out, out
    assert len(list((project / ".pytest_cache").rglob("nimbo-designs/*/*.json"))) == 2
    fake = fake_yosys(tmp_path / "bin", yosys_version(YOSYS))
    status, out = run_pytest(project, path=f"{fake.parent}{os.pathsep}{os.environ.get('PATH', '')}")
    assert status == 0 and "6 passed" in out, out
    status, out = run_pytest(project, "-p", "no:cacheprovider")  # a session directory instead
    assert status == 0 and "6 passed" in out, out


def test_the_fixture_fails_with_one_clear_line(tmp_path):
    (tmp_path / "c.v").write_text(COUNTER)
    (tmp_path / "bad.json").write_text('{"component": {"id": "x", "ports": 3, "busses": []}}')
    (tmp_path / "test_bad.py").write_text(
        "import pytest\n"
        "@pytest.mark.parametrize('args', [('c.v',), ('missing.json',), ('bad.json',), ('c.v', 'bad.json')])\n"
        "def test_load(nimbo_design, args):\n"
        "    nimbo_design(*args)\n"
    )
    status, out = run_pytest(tmp_path, "-rf", path=str(tmp_path / "empty"))  # no yosys on PATH
    assert status == 1 and "4 failed" in out, out
    failures = [line for line in out.splitlines() if line.startswith("FAILED")]
    assert failures[0].endswith("nimbo_design: Yosys not found: install it (Debian: apt-get install yosys; "
                                "scripts/install-deps.sh does) or name the program with yosys=PATH")
    assert failures[1].endswith("missing.json: No such file or directory")
    assert failures[2].endswith("bad.json: 'ports' must be an object of port name to port")
    assert failures[3].endswith("nimbo_design: give either Verilog sources or one IR file, not both")
    assert "Traceback" not in out


@needs_yosys
def test_the_fixture_takes_the_import_options_and_fails_once_unchained(tmp_path):
    (tmp_path / "inc").mkdir()
    (tmp_path / "inc" / "w.vh").write_text("localparam W = 3;\n")
    (tmp_path / "p.v").write_text(
        'module p #(parameter N = 1) (input clk, output reg [W-1:0] q, output [7:0] n);\n  `include "w.vh"\n'
        "  initial q = `START;\n  always @(posedge clk) q <= q + 1;\n  assign n = N;\nendmodule\n"
    )
    (tmp_path / "d.v").write_text("module d(input a, output reg y);\n  initial begin y = 0; #5 y = a; end\nendmodule\n")
    (tmp_path / "test_options.py").write_text(
        "import pytest\n"
        "def test_options(nimbo_design):\n"
        "    p = nimbo_design('p.v', include_dirs=['inc'], defines={'START': 5}, parameters={'N': 200})\n"
        "    assert p.outputs == {'q': 3, 'n': 8} and p.step() == {'q': 6, 'n': 200}\n"
        "def test_warned(nimbo_design):\n"
        "    nimbo_design('d.v')\n"
        "def test_strict(nimbo_design):\n"
        "    nimbo_design('d.v', strict=True)\n"
    )
    status, out = run_pytest(tmp_path, "-rf", "-W", "default")
    assert status == 1 and "1 failed, 2 passed" in out, out
    refused = "d.v:2: 'y' is assigned after a delay (#5) in an initial block"
    assert out.count(refused) == 3, out  # the warning's line and the failure's, in the report and the summary
    assert "SimulationWarning" in out and "During handling" not in out and "Traceback" not in out


@needs_yosys
def test_a_cache_that_cannot_be_written_is_one_warning(tmp_path):
    project = tmp_path / "project"
    shutil.copytree(EXAMPLE, project)
    (project / ".pytest_cache" / "d").mkdir(parents=True)
    (project / ".pytest_cache" / "d" / "nimbo-designs").write_text("not a folder")
    status, out = run_pytest(project, "-W", "default")
    assert status == 0 and "6 passed" in out, out
    assert out.count("nimbo_design: cannot write to") == 1 and "Traceback" not in out, out


def test_the_plugin_is_registered_and_loads_nothing_at_start():
    code = (
        "import sys, importlib.metadata as m\n"
        "points = [e.value for e in m.entry_points(group='pytest11') if e.name == 'nimbo']\n"
        "import nimbo.pytest_plugin\n"
        "print(points, sorted(n for n in sys.modules if n.startswith('nimbo')))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["['nimbo.pytest_plugin']", "['nimbo',", "'nimbo.pytest_plugin']"]
