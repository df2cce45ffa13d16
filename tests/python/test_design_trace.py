"""Design.trace and the fixture's --nimbo-waves: the VCD of a testbench
holds, at the edge of step k, the values Design.step returned, with the
inputs half a cycle earlier; the file is complete however the trace ends."""

import gc
import json
import pathlib
import subprocess
import sys
import textwrap

import pytest

from nimbo import Design
from nimbo.build import Circuit
from nimbo.design import UnknownNameError

from test_cli_vcd import at, read_vcd


def accumulator_ir():
    c = Circuit("acc")
    en, arst, x = c.input("en"), c.input("arst"), c.input("x", 4)
    total = c.register("total", 4, enable=en, async_reset=arst, init=1)
    total.next = total + x
    c.output("y", total)
    c.wire("twice", total + total)
    return c.to_ir()


def test_the_vcd_holds_what_the_steps_returned(tmp_path):
    design = Design(accumulator_ir())
    design.step(en=1, x=2)  # before the trace: not recorded
    design.trace(tmp_path / "t.vcd")
    calls = [("step", {"en": 1, "x": 3}), ("step", {"x": 5}), ("settle", {"arst": 1}), ("settle", {"arst": 0}),
             ("step", {"en": 0}), ("poke", {"total[0]": 0}), ("step", {"en": 1, "x": 1})]
    expected = [(0, {"y": 3, "en": 1, "x": 2, "arst": 0})]
    time = 0
    for name, given in calls:
        outputs = getattr(design, name)(given) or {}
        time += 2
        expected.append((time, {**{k: design[k] for k in ("en", "x", "arst")}, "y": design["y"], **outputs}))
    design.trace(None)
    variables = read_vcd((tmp_path / "t.vcd").read_text())
    assert list(variables) == ["en", "arst", "x", "clk", "y"]  # every port
    for time, values in expected:
        for name, value in values.items():
            assert at(variables[name][2], time) == value, (name, time)
    # Inputs of a step change with the falling edge before it; a settle has no edge.
    assert variables["x"][2][1] == 3 and variables["x"][2][3] == 5
    assert variables["arst"][2] == {0: 0, 6: 1, 8: 0}
    assert variables["clk"][2] == {0: 0, 2: 1, 3: 0, 4: 1, 5: 0, 10: 1, 11: 0, 14: 1, 15: 0}


def test_signals_choose_what_is_recorded_and_unknown_names_are_refused(tmp_path):
    design = Design(accumulator_ir())
    with pytest.raises(UnknownNameError, match=r"no port or bus named 'yy' \(did you mean 'y'"):
        design.trace(tmp_path / "t.vcd", ["x", "yy"])
    design.trace(tmp_path / "t.vcd", ["y", "x"])
    design.step(en=1, x=3)
    design.trace(tmp_path / "u.vcd")  # ends the first trace, starts another
    variables = read_vcd((tmp_path / "t.vcd").read_text())
    assert list(variables) == ["clk", "y", "x"]  # the clock first when no signal names it
    assert variables["y"][2] == {0: 1, 2: 4} and variables["x"][2] == {0: 0, 1: 3}


def test_dropping_the_design_or_exiting_completes_the_file(tmp_path):
    design = Design(accumulator_ir())
    design.trace(tmp_path / "dropped.vcd")
    design.step(en=1, x=1)
    del design
    gc.collect()
    assert (tmp_path / "dropped.vcd").read_text().rstrip().endswith("#4")
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        from test_design_trace import accumulator_ir
        from nimbo import Design
        design = Design(accumulator_ir())
        design.trace({str(tmp_path / "exit.vcd")!r})
        design.step(en=1, x=1)
        design.step()
    """)
    subprocess.run([sys.executable, "-c", script], check=True)
    assert read_vcd((tmp_path / "exit.vcd").read_text())["y"][2] == {0: 1, 2: 2, 4: 3}
    assert (tmp_path / "exit.vcd").read_text().rstrip().endswith("#6")


def test_the_fixture_keeps_the_waves_of_failing_tests(tmp_path):
    (tmp_path / "acc.json").write_text(accumulator_ir())
    (tmp_path / "test_acc.py").write_text(
        "def test_passes(nimbo_design):\n"
        "    assert nimbo_design('acc.json').step(en=1, x=1)['y'] == 2\n"
        "def test_fails(nimbo_design):\n"
        "    nimbo_design('acc.json')\n"
        "    assert nimbo_design('acc.json').step(en=1, x=2)['y'] == 4\n"
    )
    waves = tmp_path / "waves"
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:xdist", "-p", "no:cacheprovider", "--nimbo-waves", str(waves)],
        cwd=tmp_path, capture_output=True, text=True, env={**__import__("os").environ, "PYTEST_ADDOPTS": ""},
    )
    out = done.stdout + done.stderr
    assert done.returncode == 1 and "1 failed, 1 passed" in out, out
    kept = sorted(p.name for p in waves.iterdir())
    assert kept == ["test_acc.py_test_fails-2.vcd", "test_acc.py_test_fails.vcd"]
    assert f"waveform: {waves / 'test_acc.py_test_fails-2.vcd'}" in out
    assert at(read_vcd((waves / kept[0]).read_text())["y"][2], 2) == 3
