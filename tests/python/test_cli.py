"""The nimbo command line, run in-process on the shipped examples."""

import json
import pathlib
import random
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("nimbo.core")
from conftest import EXAMPLES, bus, gate, make_ir, ref, run_cli  # noqa: E402

from nimbo.cli import main  # noqa: E402



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


def number(row, name, width):
    return sum(int(row[f"{name}{i}"]) << i for i in range(width))


EXAMPLE_RUNS = [
    ("full_adder", lambda rows: all(int(r["sum"]) + 2 * int(r["cout"]) == int(r["a"]) + int(r["b"]) + int(r["cin"])
                                    for r in rows[1:])),
    ("ripple_adder4", lambda rows: all(number(r, "s", 4) + (int(r["cout"]) << 4) == number(r, "a", 4)
                                       + number(r, "b", 4) + int(r["cin"]) for r in rows[1:])),
    # initial, set, hold, reset, hold, set, hold
    ("sr_latch", lambda rows: [r["q"] + r["q_n"] for r in rows] == ["01", "10", "10", "01", "01", "10", "10"]),
]


@pytest.mark.parametrize("name, holds", EXAMPLE_RUNS)
def test_the_examples_compute_what_they_are_meant_to(name, holds):
    assert holds(run_steps(name))


def test_vcd_is_accepted_by_a_real_consumer(tmp_path):
    vcd = tmp_path / "latch.vcd"
    run_steps("sr_latch", "--vcd", vcd)
    text = vcd.read_text()
    assert "$var wire 1" in text and "$enddefinitions" in text
    # Six vectors at #1..#6 after the initial dump at #0; the file ends at #7.
    assert [line for line in text.splitlines() if line.startswith("#")][-1] == "#7"
    if shutil.which("vcd2fst"):
        subprocess.run(["vcd2fst", str(vcd), str(tmp_path / "latch.fst")], check=True, capture_output=True)


RING = make_ir([bus("x", "0", gate("not", ref("x")), influence=["x"])], component_id="ring")


@pytest.mark.parametrize(
    "argv, status, needle",
    [
        (["run", "missing.json"], 1, "missing.json: no such file"),
        (["run", "{dir}/broken.json"], 1, "Failed to render circuit: Failed to parse IR JSON"),
        (["check", "{dir}/broken.json"], 1, "line 2"),
        (["check", "{dir}/no_component.json"], 1, "Failed to render circuit: Missing 'component' in IR"),
        (["run", "{ex}/full_adder.json", "--set", "a"], 2, "--set expects ID=VALUE, got \"a\" (see 'nimbo run --help')"),
        (["run", "{ex}/full_adder.json", "--cycles", "-1"], 2, "--cycles must be 0 or more, not -1 (see 'nimbo run"),
        (["run", "{ex}/full_adder.json", "--frob"], 2, "unrecognized arguments: --frob (see 'nimbo run --help')"),
        (["check", "{ex}/full_adder.json", "--format", "xml"], 2, "invalid choice: 'xml'"),
        (["run", "{dir}/adder.v"], 1, "adder.v: Failed to render circuit: Failed to parse IR JSON: line 1, column 1: "
         "invalid literal 'module'; this looks like Verilog: turn it into IR with: nimbo import "),
        (["check", "{dir}/adder.v"], 1, "Failed to parse IR JSON: line 1, column 1"),
        (["run", "{ex}/full_adder.json", "--vectors", "{dir}/bad.jsonl"], 1, "bad.jsonl:2: invalid JSON"),
        (["run", "{dir}/ring.json"], 1, "settle"),
        (["run", "{ex}/full_adder.json", "--vectors", "{dir}/long.jsonl"], 1,
         'long.jsonl:2: bus b: "1111111111111111111111111111111111111111"... (100000 characters) does not fit in 1 bit'),
        (["run", "{ex}/full_adder.json", "--vcd", "{dir}/missing/w.vcd"], 1, "w.vcd: no such directory: "),
        (["run", "{ex}/full_adder.json", "--vcd", "{dir}"], 1, "is a directory\n"),
        (["run"], 2, "IR.json"),
        (["frob"], 2, "invalid choice"),
    ],
)
def test_errors_are_one_line_with_a_status(argv, status, needle, tmp_path, capsys):
    (tmp_path / "broken.json").write_text('{"component":\n  {"id": "x",, }}')
    (tmp_path / "no_component.json").write_text("[]")
    (tmp_path / "bad.jsonl").write_text('{"a": "1"}\n{"a": 1\n')
    (tmp_path / "ring.json").write_text(RING)
    (tmp_path / "long.jsonl").write_text('{"a": "1"}\n{"b": "%s"}\n' % ("1" * 100_000))
    (tmp_path / "adder.v").write_text("module adder(input a, output y); assign y = a; endmodule\n")
    argv = [a.format(dir=tmp_path, ex=EXAMPLES) for a in argv]
    got, _ = run_cli(*argv)
    err = capsys.readouterr().err
    assert got == status
    assert len(err.strip().splitlines()) == 1
    assert err.startswith("nimbo: error: ") and needle in err, err


LONG_ID = "n" * 100_000
LONG_ID_SHOWN = '"' + "n" * 40 + '"... (100000 characters)'


@pytest.mark.parametrize(
    "name, shown",
    [("nope", "nope"), ("n" * 40, "n" * 40), (LONG_ID, LONG_ID_SHOWN), ("é" * 41, '"' + "é" * 40 + '"... (41 characters)')],
)
@pytest.mark.parametrize("given", ["--set", "vector", "port vector"])
def test_unknown_id_allowed_is_a_warning_cut_as_values_are(given, name, shown, tmp_path, capsys):
    ir = EXAMPLES / "full_adder.json" if given != "port vector" else ported_ir(tmp_path / "p.json")
    vectors = tmp_path / "v.jsonl"
    # A line that names a port is read in Python, the others natively.
    vectors.write_text(json.dumps({name: "1", "a": "2" if given == "port vector" else "0"}) + "\n")
    where = ["--set", f"{name}=1", "--set", "b=1"] if given == "--set" else ["--vectors", vectors]
    status, text = run_cli("run", ir, *where, "--allow-unknown", "--format", "json")
    assert status == 0
    if given == "--set":
        assert json.loads(text)["sum"] == "1"
    kind = "port or bus" if given == "port vector" else "bus"
    source = "--set" if given == "--set" else f"{vectors}:1"
    assert capsys.readouterr().err == f"nimbo: warning: {source}: no {kind} named {shown}; ignored\n"


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
    from nimbo.waves.vcd import vcd_name

    assert vcd_name(bus_id) == name


def test_vcd_keeps_colliding_names_apart(tmp_path):
    ir = tmp_path / "c.json"
    ir.write_text(make_ir([bus("", "1"), bus('""', "0")], component_id="c"))
    assert run_cli("run", ir, "--vcd", tmp_path / "c.vcd")[0] == 0
    text = (tmp_path / "c.vcd").read_text()
    assert ' "" $end' in text and ' ""_2 $end' in text


def test_one_version_everywhere(capsys):
    import importlib.metadata

    import nimbo
    import nimbo.core

    assert main(["--version"]) == 0
    assert capsys.readouterr().out == f"nimbo {nimbo.__version__}\n"
    assert nimbo.__version__ == nimbo.core.__version__ == importlib.metadata.version("nimbo")


def test_run_renders_the_ir_once_natively(monkeypatch):
    import nimbo.ir
    import nimbo.ports

    def second_parse(*args, **kwargs):
        raise AssertionError("the IR was parsed a second time in Python")

    monkeypatch.setattr(nimbo.ir, "circuit_from_document", second_parse)
    monkeypatch.setattr(nimbo.ports, "_decode", second_parse)
    monkeypatch.setattr(nimbo.ports, "_parse_whole", second_parse)
    status, text = run_cli("run", EXAMPLES / "full_adder.json", "--vectors", EXAMPLES / "full_adder.vectors.jsonl")
    assert status == 0 and len(text.splitlines()) == 10


def test_vcd_into_a_fifo_is_written_in_place(tmp_path):
    import os
    import stat
    import threading

    fifo = tmp_path / "wave.fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_text()))
    reader.start()
    assert run_cli("run", EXAMPLES / "full_adder.json", "--vcd", fifo)[0] == 0
    reader.join()
    assert stat.S_ISFIFO(fifo.stat().st_mode) and "$enddefinitions" in got[0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["wave.fifo"]


@pytest.mark.parametrize("existing_mode", [None, 0o640])
def test_vcd_gets_the_mode_a_plain_write_would(existing_mode, tmp_path):
    import os

    vcd = tmp_path / "w.vcd"
    if existing_mode is not None:
        vcd.write_text("old")
        vcd.chmod(existing_mode)
    mask = os.umask(0o022)
    try:
        assert run_cli("run", EXAMPLES / "full_adder.json", "--vcd", vcd)[0] == 0
    finally:
        os.umask(mask)
    assert vcd.stat().st_mode & 0o777 == (existing_mode or 0o644)


def test_show_picks_busses_for_the_table_the_json_and_the_vcd(tmp_path):
    vectors = EXAMPLES / "full_adder.vectors.jsonl"
    status, text = run_cli("run", EXAMPLES / "full_adder.json", "--vectors", vectors, "--show", "cout,sum",
                           "--vcd", tmp_path / "w.vcd")
    assert status == 0
    assert text.splitlines()[:2] == ["  step  cout  sum", "     0  0     0"]
    assert [line.split()[4] for line in (tmp_path / "w.vcd").read_text().splitlines() if line.startswith("$var")] == [
        "cout", "sum"]
    rows = run_steps("full_adder", "--show", "a", "--show", "cout")
    assert [list(row) for row in rows] == [["a", "cout"]] * len(rows)


def test_show_takes_an_id_with_a_comma_whole(tmp_path):
    ir = tmp_path / "c.json"
    ir.write_text(make_ir([bus("x,y", "1"), bus("z")], component_id="c"))
    status, text = run_cli("run", ir, "--show", "x,y", "--format", "json")
    assert status == 0 and json.loads(text) == {"x,y": "1"}


@pytest.mark.parametrize("block", [1, 7, 64])
def test_vectors_read_in_small_blocks_give_the_same_run(block, monkeypatch, tmp_path, capsys):
    from nimbo.cli.common import VectorBlocks

    vectors = tmp_path / "v.jsonl"
    vectors.write_text((EXAMPLES / "full_adder.vectors.jsonl").read_text() + '\n{"zz": "1"}\n{"a": "2"}')
    argv = ("run", EXAMPLES / "full_adder.json", "--vectors", vectors, "--allow-unknown")
    whole = run_cli(*argv), capsys.readouterr().err
    monkeypatch.setattr(VectorBlocks, "BLOCK", block)
    assert (run_cli(*argv), capsys.readouterr().err) == whole
    assert whole[0][0] == 1 and len(whole[0][1].splitlines()) == 11
    assert whole[1].splitlines() == [f"nimbo: warning: {vectors}:10: no bus named zz; ignored",
                                     f'nimbo: error: {vectors}:11: bus a: "2" does not fit in 1 bit']


def test_a_long_line_is_copied_a_bounded_number_of_times(tmp_path):
    """A line that takes many reads is joined once, not copied again at
    every read (which makes reading it quadratic)."""
    from nimbo.cli.common import VectorBlocks

    class Counted(bytes):
        """A read; concatenating it counts the bytes copied."""

        copied = 0

        def __add__(self, other):
            Counted.copied += len(self) + len(other)
            return Counted(bytes(self) + bytes(other))

        def __radd__(self, other):
            Counted.copied += len(self) + len(other)
            return Counted(bytes(other) + bytes(self))

    long_line = b'{"a": "' + b"1" * (24 << 20) + b'"}\n'
    data = b'{"b": "1"}\n' + long_line + b'{"cin": "1"}\n{"a": "0"}'
    path = tmp_path / "v.jsonl"
    path.write_bytes(data)
    with VectorBlocks(str(path)) as blocks:
        stream = blocks._stream
        blocks._stream = type("Reads", (), {"read1": lambda self, n: Counted(stream.read1(n)),
                                             "close": lambda self: stream.close()})()
        got = list(blocks)
    assert b"".join(block for block, _ in got) == data
    assert all(block.endswith(b"\n") for block, _ in got[:-1])
    assert [first for _, first in got] == [1 + b"".join(b for b, _ in got[:k]).count(b"\n") for k in range(len(got))]
    assert any(len(block) > len(long_line) - 1 for block, _ in got)
    assert Counted.copied <= 2 * len(data), f"{Counted.copied:,} bytes copied to read {len(data):,}"


@pytest.mark.parametrize(
    "ids, rows",
    [
        (["a", "b", "cin"], [("0", "1", "0"), ("1", "1", "1")]),  # uneven padding
        (["n1", "n2", "n3"], [("0", "1", "0"), ("1", "0", "1")]),  # one separator throughout
        (["wide", "z"], [("0101", ""), ("1111", "")]),  # a zero-width bus last
        (["x"], [("01",), ("10",)]),
        ([], [(), ()]),
    ],
)
def test_step_table_rows_are_aligned_cells_without_trailing_spaces(ids, rows):
    """Rows written here and by the simulator's row writer, from one layout."""
    from nimbo import Simulator
    from nimbo.cli.run import JsonSteps, StepTable

    table = StepTable(ids, rows[0])
    widths = [max(len(i), len(v)) for i, v in zip(ids, rows[0])]
    expected = ["  ".join([f"{step:>6}"] + [f"{v:<{w}}" for v, w in zip(row, widths)]).rstrip()
                for step, row in enumerate(rows, start=3)]
    assert table.rows(3, rows).splitlines() == expected
    sim = Simulator(make_ir([bus(i, value=v) for i, v in zip(ids, rows[0])]))
    lines = "".join(json.dumps(dict(zip(ids, row))) + "\n" for row in rows).encode()
    for steps in (table, JsonSteps(ids)):
        if (layout := steps.layout(3)) is not None:
            sim.reset()
            assert sim.run_jsonl(lines, ids, layout=layout)[0] == steps.rows(3, rows)


def ported_ir(path, ports_first=True, decoy=False, bits=("a[0]", "a[1]")):
    """y = a[0] xor a[1], with the ports a (two bits) and y recorded beside the busses."""
    busses = [
        bus("a[0]", influence=["y"]),
        bus("a[1]", influence=["y"]),
        bus("y", assignment=gate("xor", ref("a[0]"), ref("a[1]"))),
    ]
    if decoy:  # a key the renderer ignores, spelled like the ports
        busses[0]["ports"] = {"z": {"direction": "input", "bits": ["nowhere"]}}
    ports = {"a": {"direction": "input", "bits": list(bits)}, "y": {"direction": "output", "bits": ["y"]}}
    component = {"id": "p", "ports": ports, "busses": busses} if ports_first else {
        "id": "p", "busses": busses, "ports": ports}
    path.write_text(json.dumps({"component": component}))
    return path


@pytest.mark.parametrize("ports_first, decoy", [(True, False), (False, True)])
def test_run_reads_ports_without_a_second_parse(ports_first, decoy, tmp_path, monkeypatch):
    import nimbo.ports

    if ports_first:
        monkeypatch.setattr(nimbo.ports, "_parse_whole", lambda text: pytest.fail("parsed the whole IR again"))
    ir = ported_ir(tmp_path / "p.json", ports_first, decoy)
    (tmp_path / "v.jsonl").write_text('{"a": "10"}\n{"a[1]": "1"}\n')
    status, text = run_cli("run", ir, "--vectors", tmp_path / "v.jsonl", "--format", "json")
    assert status == 0
    assert [json.loads(line)["values"] for line in text.splitlines()] == [
        {"a": "0x0", "y": "0"}, {"a": "0x1", "y": "1"}, {"a": "0x3", "y": "0"}]


def test_the_builder_writes_the_ports_before_the_busses(tmp_path, monkeypatch):
    """... where nimbo run finds them without parsing the busses."""
    import nimbo.ports
    from nimbo.build import Circuit

    circuit = Circuit("x")
    a = circuit.inputs("a", 2)
    circuit.output("y", a[0] ^ a[1])
    ir = circuit.to_ir()
    assert list(json.loads(ir)["component"]) == ["id", "ports", "busses"]
    (tmp_path / "x.json").write_text(ir)
    decoded = []
    decode = nimbo.ports._decode
    monkeypatch.setattr(nimbo.ports, "_decode", lambda text, at: decoded.append(decode(text, at)[0]) or decode(text, at))
    monkeypatch.setattr(nimbo.ports, "_parse_whole", lambda text: pytest.fail("parsed the whole IR again"))
    status, text = run_cli("run", tmp_path / "x.json", "--set", "a=10", "--format", "json")
    assert status == 0 and json.loads(text) == {"a": "0x1", "y": "1"}
    assert decoded == ["x", json.loads(ir)["component"]["ports"]]  # the id and the ports, not the busses


DECOY = {"z": {"direction": "input", "bits": ["a[0]"]}}  # over busses the circuit has


def json_object(members):
    """An object from (key as JSON text, value) pairs: keys may repeat or be spelled with escapes."""
    return "{" + ", ".join(f"{key}: {value if isinstance(value, str) else json.dumps(value)}"
                           for key, value in members) + "}"


@pytest.mark.parametrize(
    "where, shown",
    [
        ("ports in a bus's notes, none for the component", ["a[0]", "a[1]", "y"]),
        ("ports beside the component", ["a[0]", "a[1]", "y"]),
        ("the component's ports after a bus's notes", ["a", "y"]),
    ],
)
def test_run_shows_only_the_components_ports(where, shown, tmp_path):
    ir = json.loads(ported_ir(tmp_path / "p.json", ports_first=False).read_text())
    component = ir["component"]
    component["busses"][0]["notes"] = {"ports": DECOY}
    if where != "the component's ports after a bus's notes":
        ir["ports"] = component.pop("ports")
    if where == "ports beside the component":
        del component["busses"][0]["notes"]
    (tmp_path / "p.json").write_text(json.dumps(ir))
    status, text = run_cli("run", tmp_path / "p.json", "--format", "json")
    assert status == 0 and list(json.loads(text)) == shown


def test_ports_from_text_agrees_with_parsing_the_whole_document():
    """On documents laid out every which way: the ports of the component,
    with repeated keys (the last one counts) and keys spelled with escapes."""
    from nimbo.ports import ports_from_document, ports_from_text

    rng = random.Random(5)
    ports = [{"a": {"direction": "input", "bits": ["a[0]", "a[1]"]}}, {"y": {"direction": "output", "bits": ["y"]}},
             DECOY]
    busses = [{"id": "a[0]"}, {"id": "a[1]", "notes": {"ports": DECOY}}, {"id": "y"}]
    spellings = {"ports": ['"ports"', '"p\\u006frts"', '"port"'], "component": ['"component"', '"c\\u006fmponent"']}
    for _ in range(400):
        members = [('"id"', '"p"'), ('"busses"', busses)]
        members += [(rng.choice(spellings["ports"]), rng.choice(ports)) for _ in range(rng.randrange(3))]
        rng.shuffle(members)
        component = json_object(members)
        top = [(rng.choice(spellings["component"]), component) for _ in range(rng.randrange(1, 3))]
        top += [('"ports"', json_object([('"ports"', rng.choice(ports))]))] * rng.randrange(2)
        rng.shuffle(top)
        text = json_object(top)
        assert ports_from_text(text) == ports_from_document(json.loads(text)), text


@pytest.mark.parametrize(
    "bits, argv, status, expected",
    [
        ("a[0] a[1]", ["--vectors", "{dir}/v.jsonl"], 1,
         'nimbo: error: {dir}/v.jsonl:2: port a: "111" does not fit in 2 bits (as a number; a bit string has exactly 2 digits)'),
        ("a[0] a[1]", ["--show", "y,a[1]", "--format", "json"], 0, '{"y": "0", "a[1]": "0"}'),
        # --busses shows busses; inputs still name ports
        ("a[0] a[1]", ["--busses", "--set", "a=01", "--format", "json"], 0, '{"a[0]": "0", "a[1]": "1", "y": "1"}'),
        ("a[0] a[1]", ["--busses", "--show", "a", "--set", "a=2", "--format", "json"], 0, '{"a": "0x2"}'),
        ("a[0] a[9]", [], 1, "nimbo: error: {dir}/p.json: port a names the bus a[9], which the circuit lacks"),
    ],
)
def test_ports_in_inputs_and_outputs(bits, argv, status, expected, tmp_path, capsys):
    ir = ported_ir(tmp_path / "p.json", bits=bits.split())
    (tmp_path / "v.jsonl").write_text('{"a": "01"}\n{"a": "111"}\n')
    got, text = run_cli("run", ir, *[a.replace("{dir}", str(tmp_path)) for a in argv])
    assert got == status
    assert expected.replace("{dir}", str(tmp_path)) in text + capsys.readouterr().err


def ported_design(path, clocked):
    """Ports of every shape: a of 5 one-bit busses, w one 6-bit bus, s one
    bit; with a register, its clock clk and the 6-bit q."""
    from nimbo.build import Circuit

    c = Circuit("ported")
    a, w, s = c.inputs("a", 5), c.input("w", 6), c.input("s")
    c.output("y", (a[0] & s) ^ a[4])
    c.output("z", ~w)
    if clocked:
        c.output("q", c.register("r", 6, d=w ^ c.input("m", 6), enable=s))
    path.write_text(c.to_ir())
    return path


def renamed_ports(path):
    """ported_design's IR with two ports of one bus each, named apart from
    their busses: p over the 6-bit bus w, one over the 1-bit bus s."""
    doc = json.loads(ported_design(path, clocked=True).read_text())
    doc["component"]["ports"].update({"p": {"direction": "input", "bits": ["w"]},
                                      "one": {"direction": "input", "bits": ["s"]}})
    path.write_text(json.dumps(doc))
    return path


# A value and why the reader refuses it, as nimbo run words it (None: taken).
READER_REASONS = [
    ('"p": "0x3f"', None),  # a port of one bus takes a number of that bus's width
    ('"p": 63', None),
    ('"p": "0x40"', 'port p: "0x40" does not fit in 6 bits'),
    ('"one": "0x5"', 'port one: "0x5" does not fit in 1 bit'),
    ('"one": "1"', None),
    ('"p": "1111111"', 'port p: "1111111" does not fit in 6 bits (as a number; a bit string has exactly 6 digits)'),
    ('"a": 31, "a": "0x20"', 'port a: "0x20" does not fit in 5 bits'),  # the last value of a name counts
    ('"w": 64', "bus w: 64 does not fit in 6 bits"),
    ('"w": "6\'d1"', None),
    ('"w": "5\'d1"', "bus w: \"5'd1\" has 5 bits but the value needs 6"),
    ('"w": "zz"', 'bus w: "zz" is neither a bit string nor a number (write 5, 0x1f, 0b101 or 8\'h1f)'),
    ('"w": true', "the value of w must be a string or a whole number"),
    ('"w": 1.5', "the value of w must be a string or a whole number"),
    ('"clk": 1', "bus 'clk' is a clock: every step is one cycle of it, so a step does not write it"),
]


@pytest.mark.parametrize("member, reason", READER_REASONS)
@pytest.mark.parametrize("given", ["--set", "--vectors"])
def test_the_reader_says_why_it_refuses_a_value(given, member, reason, tmp_path, capsys):
    ir = renamed_ports(tmp_path / "p.json")
    vectors = tmp_path / "v.jsonl"
    vectors.write_text('{"m": 1}\n{' + member + "}\n")
    if given == "--set":
        name, value = member.split(": ", 1)
        if member.count(":") > 1 or not isinstance(json.loads(value), str):
            return  # a line's own forms: JSON numbers and other values, a name twice
        argv = ["--set", f"{json.loads(name)}={json.loads(value)}"]
    else:
        argv = ["--vectors", vectors]
    status, text = run_cli("run", ir, *argv, "--format", "json")
    err = capsys.readouterr().err
    assert status == (reason is not None), err
    if reason is not None:
        place = "--set" if given == "--set" else f"{vectors}:2"
        assert err == f"nimbo: error: {place}: {reason}\n"
        assert len(text.splitlines()) == (0 if given == "--set" else 2)  # the steps before it


@pytest.mark.parametrize(
    "lines, error, steps",
    [
        ('{"m": 1}\n{"a": ', "v.jsonl:2: invalid JSON: column 7: unexpected end of text", 2),
        ('{"m": 1}\n[1]', "v.jsonl:2: expected an object of bus or port name to value", 2),
        # A name that names nothing stops the run at its line, before a bad value after it.
        ('{"m": 1}\n{"zz": 1}\n{"w": 99}', "v.jsonl:2: no port or bus named zz", 2),
        ('{"m": 1}\n{"zz": 1, "w": 99}', "v.jsonl:2: bus w: 99 does not fit in 6 bits", 2),
        ("\n".join(['{"m": 1}'] * 9) + '\n{"w": 1%s}' % ("0" * 5000), "v.jsonl:10: bus w: 1000000000", 10),
    ],
)
def test_a_refused_line_keeps_the_rows_before_it(lines, error, steps, tmp_path, capsys):
    ir = renamed_ports(tmp_path / "p.json")
    (tmp_path / "v.jsonl").write_text(lines + "\n")
    status, text = run_cli("run", ir, "--vectors", tmp_path / "v.jsonl", "--format", "json")
    err = capsys.readouterr().err
    assert status == 1 and len(text.splitlines()) == steps
    assert err.startswith(f"nimbo: error: {tmp_path}/{error}") and err.count("\n") == 1, err


def walk_through():
    """(command, expected output) for each `$ nimbo ...` of the command line page's walk-through."""
    import shlex

    root = EXAMPLES.parent
    text = (root / "docs" / "cli.md").read_text()
    section = text[text.index("## Walk-through"):text.index("## Examples")]
    found = []
    for block in section.split("```")[1::2]:
        command, output = None, []
        for line in block.strip("\n").splitlines() + [""]:
            if line.startswith("$ "):
                command, output = shlex.split(line[2:], comments=True), []
            elif command is not None and line:
                output.append(line)
            elif command is not None:
                if all((root / arg).exists() for arg in command if arg.endswith((".json", ".jsonl", ".v"))):
                    found.append(pytest.param(command, output, id=" ".join(command[1:3])))
                command = None
    return found


@pytest.mark.parametrize("command, expected", walk_through())
def test_the_walk_through_runs_as_written(command, expected):
    assert command[0] == "nimbo"
    done = subprocess.run([sys.executable, "-m", "nimbo", *command[1:]], cwd=EXAMPLES.parent, capture_output=True,
                          text=True, timeout=120)
    assert (done.stdout + done.stderr).splitlines() == expected
