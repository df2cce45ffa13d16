"""The nimbo command line, run in-process on the shipped examples."""

import io
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("nimbo.core")
from nimbo.cli import main  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_cli(*argv):
    out = io.StringIO()
    status = main([str(a) for a in argv], out=out)
    return status, out.getvalue()


def run_steps(name, *extra):
    status, text = run_cli("run", EXAMPLES / f"{name}.json", "--vectors", EXAMPLES / f"{name}.vectors.jsonl",
                           "--format", "json", *extra)
    assert status == 0
    return [json.loads(line)["values"] for line in text.splitlines()]


def test_run_prints_aligned_table_in_declaration_order():
    status, text = run_cli("run", EXAMPLES / "full_adder.json", "--set", "a=1", "--set", "cin=1")
    assert status == 0
    assert text.splitlines() == [
        "bus   value",
        "a     1",
        "b     0",
        "cin   1",
        "p     1",
        "sum   0",
        "cout  1",
    ]


def test_full_adder_truth_table():
    for row in run_steps("full_adder")[1:]:
        total = int(row["a"]) + int(row["b"]) + int(row["cin"])
        assert (row["sum"], row["cout"]) == (str(total & 1), str(total >> 1))


def test_ripple_adder_adds_every_vector():
    for row in run_steps("ripple_adder4")[1:]:
        a = sum(int(row[f"a{i}"]) << i for i in range(4))
        b = sum(int(row[f"b{i}"]) << i for i in range(4))
        s = sum(int(row[f"s{i}"]) << i for i in range(4)) + (int(row["cout"]) << 4)
        assert s == a + b + int(row["cin"])


def test_sr_latch_sets_holds_and_resets():
    q = [row["q"] + row["q_n"] for row in run_steps("sr_latch")]
    # initial, set, hold, reset, hold, set, hold
    assert q == ["01", "10", "10", "01", "01", "10", "10"]


def test_alu_applies_bitwise_ops_from_element_zero():
    row = run_steps("alu8")[1]
    assert (row["a"], row["b"]) == ("11001010", "10100110")
    assert row["y_and"] == "10000010"
    assert row["y_xnor"] == "10010011"
    assert row["y_flip_b"] == "01010110"
    assert row["a_head"] == "1100"  # cut to the 4-bit constant keeps the first four elements


def test_check_prints_counts():
    status, text = run_cli("check", EXAMPLES / "alu8.json")
    assert status == 0
    counts = dict(line.split(":", 1) for line in text.splitlines())
    assert {k: v.strip() for k, v in counts.items()} == {
        "component": "alu8",
        "busses": "11",
        "driven busses": "9",
        "gates": "9",
        "widest bus": "a (8 bits)",
    }


def test_vcd_is_accepted_by_a_real_consumer(tmp_path):
    vcd = tmp_path / "latch.vcd"
    run_steps("sr_latch", "--vcd", vcd)
    text = vcd.read_text()
    assert "$var wire 1" in text and "$enddefinitions" in text
    # Six vectors at #1..#6 after the initial dump at #0; the file ends at #7.
    assert [line for line in text.splitlines() if line.startswith("#")][-1] == "#7"
    if shutil.which("vcd2fst"):
        subprocess.run(["vcd2fst", str(vcd), str(tmp_path / "latch.fst")], check=True, capture_output=True)


def test_vcd_declares_multi_bit_busses_with_their_width(tmp_path):
    vcd = tmp_path / "alu.vcd"
    run_steps("alu8", "--vcd", vcd)
    text = vcd.read_text()
    assert "$var wire 8 " in text and "$var wire 4 " in text
    assert "b11001010 " in text  # a's first vector, element 0 leftmost


RING = json.dumps({"component": {"id": "ring", "busses": [
    {"id": "x", "value": "0", "assignment": {"type": "not", "args": {"expr": {"type": "ref", "args": {"id": "x"}}}},
     "influence_list": ["x"]}]}})


@pytest.mark.parametrize(
    "argv, status, needle",
    [
        (["run", "missing.json"], 1, "missing.json: no such file"),
        (["run", "{dir}/broken.json"], 1, "Failed to render circuit: Failed to parse IR JSON"),
        (["check", "{dir}/broken.json"], 1, "line 2"),
        (["check", "{dir}/no_component.json"], 1, "Failed to render circuit: Missing 'component' in IR"),
        (["run", "{ex}/full_adder.json", "--set", "a=2"], 1, 'Invalid value "2"'),
        (["run", "{ex}/full_adder.json", "--set", "a=11"], 1, "must have 1 bits"),
        (["run", "{ex}/full_adder.json", "--set", "a"], 2, "--set expects ID=BITS"),
        (["run", "{ex}/full_adder.json", "--vectors", "{dir}/bad.jsonl"], 1, "bad.jsonl:2: invalid JSON"),
        (["run", "{dir}/ring.json"], 1, "settle"),
        (["run"], 2, "IR.json"),
        (["frob"], 2, "invalid choice"),
    ],
)
def test_errors_are_one_line_with_a_status(argv, status, needle, tmp_path, capsys):
    (tmp_path / "broken.json").write_text('{"component":\n  {"id": "x",, }}')
    (tmp_path / "no_component.json").write_text("[]")
    (tmp_path / "bad.jsonl").write_text('{"a": "1"}\n{"a": 1\n')
    (tmp_path / "ring.json").write_text(RING)
    argv = [a.format(dir=tmp_path, ex=EXAMPLES) for a in argv]
    got, _ = run_cli(*argv)
    err = capsys.readouterr().err
    assert got == status
    assert len(err.strip().splitlines()) == 1
    assert err.startswith("nimbo: error: ") and needle in err


def test_unknown_bus_is_a_warning_and_the_rest_applies(capsys):
    status, text = run_cli("run", EXAMPLES / "full_adder.json", "--set", "nope=1", "--set", "b=1", "--format", "json")
    assert status == 0
    assert json.loads(text)["sum"] == "1"
    assert capsys.readouterr().err.strip() == "nimbo: warning: --set: no bus named 'nope'; ignored"


def test_module_entry_point_runs():
    done = subprocess.run([sys.executable, "-m", "nimbo", "check", str(EXAMPLES / "full_adder.json")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "gates:         5" in done.stdout


@pytest.mark.parametrize(
    "bus_id, name",
    [
        ("sum[0]", "sum[0]"),
        ("9lives", "9lives"),
        ("a b", "a\\u{20}b"),
        ("ç", "\\u{e7}"),
        ("a\\b", "a\\\\b"),
        ("tab\t", "tab\\u{9}"),
        ("$end", "\\u{24}end"),
        ("", '""'),
    ],
)
def test_vcd_names_keep_printable_ascii_and_escape_the_rest(bus_id, name):
    from nimbo.vcd import vcd_name

    assert vcd_name(bus_id) == name


def test_vcd_keeps_colliding_names_apart(tmp_path):
    doc = {"component": {"id": "c", "busses": [{"id": "", "value": "1"}, {"id": '""', "value": "0"}]}}
    ir = tmp_path / "c.json"
    ir.write_text(json.dumps(doc))
    assert run_cli("run", ir, "--vcd", tmp_path / "c.vcd")[0] == 0
    text = (tmp_path / "c.vcd").read_text()
    assert ' "" $end' in text and ' ""_2 $end' in text


def test_one_version_everywhere(capsys):
    import importlib.metadata

    import nimbo
    import nimbo.core

    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out == f"nimbo {nimbo.__version__}\n"
    assert nimbo.__version__ == nimbo.core.__version__ == importlib.metadata.version("nimbo")
