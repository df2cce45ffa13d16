"""`nimbo run` over steps: values written as numbers, the radix values are
shown in, names that must exist, --cycles and designs with registers, each
compared with a plain model (bit strings through nimbo.Simulator, or the
clocked model stepping nimbo.core)."""

import json
import random
import subprocess
import sys

import pytest

pytest.importorskip("nimbo.core")
from clocked_model import ClockedModel, random_clocked_circuit  # noqa: E402
from conftest import EXAMPLES, bus, gate, json_steps, make_ir, random_circuit, random_vectors, ref, run_cli  # noqa: E402

from nimbo import Simulator  # noqa: E402

ALU = EXAMPLES / "alu8.json"
FULL_ADDER = EXAMPLES / "full_adder.json"
COUNTER = EXAMPLES / "counter.json"


def number(bits):
    """The number a bit string (element 0 first) stands for."""
    return int(bits[::-1], 2)


def shown(bits, radix):
    """How the command line shows a value, written out here for the test."""
    if len(bits) <= 1:
        return bits
    if radix == "bin":
        return "0b" + bits[::-1]
    if radix == "hex":
        return "0x" + format(number(bits), f"0{(len(bits) + 3) // 4}x")
    return str(number(bits))


def from_shown(text, width):
    """The bit string (element 0 first) of a value the command line showed."""
    if width <= 1:
        return text
    return format(int(text, 0), f"0{width}b")[::-1]


def ported_ir(path):
    """y = a + b over 4-bit ports written bit by bit, and a 4-bit bus w that is a port of one bus."""
    from nimbo.build import Circuit

    c = Circuit("p")
    a, b, w = c.input("a", 4), c.input("b", 4), c.input("w", 4)
    c.output("y", a + b)
    c.output("z", w ^ 0b0101)
    path.write_text(c.to_ir())
    return path


# ---------------------------------------------------------------- values

VALUES = [
    # --set values for the 8-bit bus a of alu8 and what a shows (hex)
    ("a=0x53", 0, "0x53"),
    ("a=83", 0, "0x53"),
    ("a=8'b0101_0011", 0, "0x53"),
    ("a=-1", 0, "0xff"),
    ("a=11001010", 0, "0x53"),  # 0s and 1s of the width: a bit string, element 0 first
    ("a=10", 0, "0x0a"),  # of another count: a decimal number
    ("a=101010101", 1, 'nimbo: error: --set: bus a: "101010101" does not fit in 8 bits'
                       " (as a number; a bit string has exactly 8 digits)"),
    ("a=16'h53", 1, "nimbo: error: --set: bus a: \"16'h53\" has 16 bits but the value needs 8"),
    ("a=", 1, 'nimbo: error: --set: bus a: "" is neither a bit string nor a number'),
]


@pytest.mark.parametrize("setting, status, expected", VALUES)
def test_set_takes_bit_strings_and_numbers(setting, status, expected, capsys):
    got, text = run_cli("run", ALU, "--set", setting, "--show", "a", "--format", "json")
    err = capsys.readouterr().err
    assert got == status
    if status:
        assert err.startswith(expected) and err.count("\n") == 1, err
    else:
        assert json.loads(text) == {"a": expected}


PORT_VALUES = [
    # the port a (4 busses) and the port w (one 4-bit bus)
    (["a=5", "b=0x3"], {"a": "0x5", "b": "0x3", "y": "0x8"}),
    (["a=1010", "b=-1"], {"a": "0x5", "b": "0xf", "y": "0x4"}),  # 1010 is a bit string: five
    (["a[0]=1", "a[3]=1"], {"a": "0x9", "y": "0x9"}),
    (["w=4'd12"], {"w": "0xc", "z": "0x9"}),
    (["w=0011"], {"w": "0xc", "z": "0x9"}),
]


@pytest.mark.parametrize("settings, expected", PORT_VALUES)
def test_ports_take_numbers_as_their_busses_do(settings, expected, tmp_path):
    ir = ported_ir(tmp_path / "p.json")
    argv = [arg for setting in settings for arg in ("--set", setting)]
    status, text = run_cli("run", ir, *argv, "--format", "json")
    assert status == 0
    values = json.loads(text)
    assert {name: values[name] for name in expected} == expected


@pytest.mark.parametrize("block", [40, 1 << 20])
@pytest.mark.parametrize("seed", range(3))
def test_numbers_in_vector_lines_give_what_their_bit_strings_give(seed, block, tmp_path, monkeypatch):
    """Lines that write numbers (JSON numbers, 0x.., Verilog literals) and
    lines of bit strings, mixed: the run equals that of the same values as
    bit strings, which the simulator reads itself."""
    from nimbo.cli.files import VectorBlocks

    rng = random.Random(seed)
    ir = ported_ir(tmp_path / "p.json")
    names = {"a": 4, "b": 4, "w": 4, "a[2]": 1}
    as_bits, as_numbers = [], []
    for index in range(60):
        line_bits, line_numbers = {}, {}
        for name in rng.sample(sorted(names), rng.randrange(1, 4)):
            width = names[name]
            value = rng.randrange(2**width)
            bits = format(value, f"0{width}b")[::-1]
            line_bits[name] = bits
            form = rng.randrange(5) if index > 20 else 0  # the first lines run natively
            line_numbers[name] = [bits, value, hex(value), f"{width}'d{value}", f"'b{format(value, 'b')}"][form]
        as_bits.append(line_bits)
        as_numbers.append(line_numbers)
    monkeypatch.setattr(VectorBlocks, "BLOCK", block)
    runs = []
    for lines in (as_bits, as_numbers):
        vectors = tmp_path / "v.jsonl"
        vectors.write_text("".join(json.dumps(line) + "\n" for line in lines))
        runs.append(run_cli("run", ir, "--vectors", vectors, "--format", "json", "--radix", "dec"))
    assert runs[0] == runs[1]
    status, text = runs[0]
    assert status == 0 and len(text.splitlines()) == 61


@pytest.mark.parametrize("form", ["json", "table"])
def test_a_number_after_native_lines_keeps_the_rows_before_it(form, tmp_path, capsys):
    vectors = tmp_path / "v.jsonl"
    vectors.write_text('{"a": "00000011"}\n{"b": "0xff"}\n{"b": 7}\n{"a": 300}\n{"a": "0"}\n')
    status, text = run_cli("run", ALU, "--vectors", vectors, "--show", "a,b,y_and", "--format", form)
    assert status == 1
    assert capsys.readouterr().err == (
        f'nimbo: warning: {vectors}:1: bus a: "00000011" is read as a bit string, element 0 (the least significant'
        " bit) first: 0xc0; for the binary number write 0b00000011\n"
        f"nimbo: error: {vectors}:4: bus a: 300 does not fit in 8 bits\n")
    if form == "json":
        assert json_steps(text) == [
            {"a": "0x00", "b": "0x00", "y_and": "0x00"}, {"a": "0xc0", "b": "0x00", "y_and": "0x00"},
            {"a": "0xc0", "b": "0xff", "y_and": "0xc0"}, {"a": "0xc0", "b": "0x07", "y_and": "0x00"}]
    else:
        assert text.splitlines()[-1] == "     3  0xc0  0x07  0x00"


# ---------------------------------------------------------------- radix


@pytest.mark.parametrize("radix", ["bin", "hex", "dec"])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("feedback", [False, True])
def test_every_radix_shows_the_values_the_simulator_computes(radix, seed, feedback, tmp_path):
    # With feedback, declared values that the assignments contradict: an
    # unsettled start would show in step 0 and in every state after it.
    rng = random.Random(seed)
    ir, inputs = random_circuit(rng, busses=16, feedback=feedback)
    path = tmp_path / "c.json"
    path.write_text(ir)
    vectors = random_vectors(rng, inputs, 12)
    try:
        sim = Simulator(ir)
        expected = [sim.values()] + sim.run(vectors)
    except RuntimeError:
        return  # a circuit that does not settle: test_writes.py covers that
    (tmp_path / "v.jsonl").write_text("".join(json.dumps(v) + "\n" for v in vectors))
    status, text = run_cli("run", path, "--vectors", tmp_path / "v.jsonl", "--format", "json", "--radix", radix)
    assert status == 0
    assert json_steps(text) == [{b: shown(v, radix) for b, v in row.items()} for row in expected]
    status, table = run_cli("run", path, "--vectors", tmp_path / "v.jsonl", "--radix", radix)
    assert status == 0
    for step, (line, row) in enumerate(zip(table.splitlines()[1:], expected, strict=True)):
        assert line.split() == [str(step)] + [shown(v, radix) for v in row.values() if v]


def test_table_pads_decimal_numbers_to_their_width():
    status, text = run_cli("run", EXAMPLES / "counter.json", "--set", "en=1", "--cycles", "10", "--show", "value",
                           "--radix", "dec")
    assert status == 0
    assert text.splitlines()[:3] == ["  step  value", "     0   0", "     1   1"]
    assert text.splitlines()[-1] == "    10  10"


# ---------------------------------------------------------------- names

NAMES = [
    (["--set", "cinn=1"], 1, "nimbo: error: --set: no bus named cinn (did you mean cin?); "
                             "--allow-unknown skips names that are not there"),
    (["--set", "xyz=1"], 1, "nimbo: error: --set: no bus named xyz; --allow-unknown skips names that are not there"),
    (["--set", "su=1"], 1, "(did you mean sum?)"),
    (["--set", "cou=1", "--set", "cin=1"], 1, "(did you mean cout?)"),
    (["--show", "sum,couts"], 1, "nimbo: error: --show: no bus named couts (did you mean cout?)"),
    (["--vectors", "{dir}/v.jsonl"], 1, "nimbo: error: {dir}/v.jsonl:2: no bus named bb (did you mean b?)"),
    (["--show", "sum,couts", "--allow-unknown"], 0, "nimbo: warning: --show: no bus named couts; ignored\n"),
    (["--vectors", "{dir}/v.jsonl", "--allow-unknown"], 0, "nimbo: warning: {dir}/v.jsonl:2: no bus named bb; ignored\n"),
]


@pytest.mark.parametrize("argv, status, expected", NAMES)
def test_names_must_name_a_bus_or_a_port(argv, status, expected, tmp_path, capsys):
    (tmp_path / "v.jsonl").write_text('{"a": "1"}\n{"bb": "1", "cin": "1"}\n{"b": "1"}\n')
    argv = [a.replace("{dir}", str(tmp_path)) for a in argv]
    got, text = run_cli("run", FULL_ADDER, *argv, "--format", "json")
    err = capsys.readouterr().err
    assert got == status
    assert expected.replace("{dir}", str(tmp_path)) in err and err.count("\n") == 1, err
    if "--vectors" in argv:
        rows = json_steps(text)
        assert rows[1] == {"a": "1", "b": "0", "cin": "0", "p": "1", "sum": "1", "cout": "0"}
        # the faulty line and those after it are not shown; allowed, it applies without the unknown name
        assert len(rows) == (4 if status == 0 else 2)
        if status == 0:
            assert rows[2]["cin"] == "1"


@pytest.mark.parametrize("block", [1, 1 << 20])
@pytest.mark.parametrize("line, error", [
    ('{"zz": "1"}', "no bus named zz"),
    ('{"cin": "x"}', 'bus cin: "x" is neither a bit string nor a number (write 5, 0x1f, 0b101 or 8\'h1f)\n'),
])
def test_a_faulty_line_stops_the_run_at_its_line_in_every_block_size(block, line, error, tmp_path, monkeypatch,
                                                                      capsys):
    from nimbo.cli.files import VectorBlocks

    monkeypatch.setattr(VectorBlocks, "BLOCK", block)
    vectors = tmp_path / "v.jsonl"
    vectors.write_text('{"a": "1"}\n\n{"b": "1"}\n  \n' + line + '\n{"cin": "1"}\n')
    status, text = run_cli("run", FULL_ADDER, "--vectors", vectors, "--show", "sum")
    assert status == 1
    assert text.splitlines() == ["  step  sum", "     0  0", "     1  1", "     2  0"]
    assert capsys.readouterr().err.startswith(f"nimbo: error: {vectors}:5: {error}")


def test_port_names_are_suggested_too(tmp_path, capsys):
    ir = ported_ir(tmp_path / "p.json")
    assert run_cli("run", ir, "--set", "aa=1")[0] == 1
    assert "--set: no port or bus named aa (did you mean a?)" in capsys.readouterr().err


def test_vectors_from_standard_input(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "nimbo", "run", str(FULL_ADDER), "--vectors", "-", "--show", "sum,cout",
         "--format", "json"],
        input='{"a": "1"}\n{"b": 1}\n{"cin": "x"}\n', capture_output=True, text=True, timeout=120, cwd=tmp_path,
    )
    assert done.returncode == 1
    assert json_steps(done.stdout) == [{"sum": "0", "cout": "0"}, {"sum": "1", "cout": "0"}, {"sum": "0", "cout": "1"}]
    assert done.stderr.startswith('nimbo: error: <stdin>:3: bus cin: "x" is neither a bit string nor a number')


def test_the_progress_bar_counts_vectors_and_cycles(tmp_path, monkeypatch):
    import nimbo.cli.run as run_module

    counted = []

    class Bar:
        def __init__(self, total):
            counted.append([total])

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            pass

        def update(self, n):
            counted[-1].append(n)

    monkeypatch.setattr(run_module, "progress_wanted", lambda out: True)
    monkeypatch.setattr(run_module, "_progress", lambda total, show: Bar(total))
    vectors = tmp_path / "v.jsonl"
    vectors.write_text('{"a": "1"}\n\n{"b": "1"}\n{"cin": "1"}')  # a blank line, no newline at the end
    for argv, total in ((["--vectors", vectors], 4), (["--vectors", vectors, "--cycles", "3"], 7),
                        (["--cycles", "5"], 5)):
        assert run_cli("run", FULL_ADDER, *argv)[0] == 0
        assert counted[-1][0] == total and sum(counted[-1][1:]) == total


# ---------------------------------------------------------------- clocked designs


def decode(rows, widths):
    return [{b: from_shown(v, widths[b]) for b, v in row.items()} for row in rows]


def settling_design(rng, **shape):
    """A random design with registers whose initial state settles."""
    while True:
        ir, inputs = random_clocked_circuit(rng, **shape)
        try:
            return ir, inputs, ClockedModel(ir)
        except RuntimeError:
            continue


@pytest.mark.parametrize("seed", range(10))
def test_a_clocked_design_from_the_command_line_gives_the_plain_model(seed, tmp_path, capsys):
    rng = random.Random(300 + seed)
    chains = dict(widths=(1, 3), reset_chains=seed % 3 == 2, clocks_as_data=seed % 5 == 3) if seed >= 5 else {}
    ir, inputs, model = settling_design(rng, feedback=seed == 6, drop_influence=3 if seed % 4 == 1 else 0, **chains)
    path = tmp_path / "c.json"
    path.write_text(ir)
    setting = {b: "".join(rng.choice("01") for _ in range(w)) for b, w in inputs.items() if rng.randrange(2)}
    steps = [{b: "".join(rng.choice("01") for _ in range(w)) for b, w in inputs.items() if rng.randrange(3) == 0}
             for _ in range(25)]
    cycles = rng.randrange(0, 6)
    (tmp_path / "v.jsonl").write_text("".join(json.dumps(s) + "\n" for s in steps))
    expected, error = [], None
    try:
        model.settle(setting)  # step 0: the settings with every clock at 0, and the resets
        expected.append(model.values())
        for step in steps + [{}] * cycles:
            expected.append(model.step(step))
    except RuntimeError as failed:
        error = str(failed)
    argv = [a for b, v in setting.items() for a in ("--set", f"{b}={v}")]
    status, text = run_cli("run", path, *argv, "--vectors", tmp_path / "v.jsonl", "--cycles", cycles,
                           "--format", "json", "--radix", rng.choice(["bin", "hex", "dec"]))
    assert status == (1 if error else 0)
    widths = {b: len(v) for b, v in ClockedModel(ir).values().items()}
    assert decode(json_steps(text), widths) == expected
    if error:
        assert error in capsys.readouterr().err


def test_step_zero_applies_asynchronous_resets(tmp_path):
    from nimbo.build import Circuit

    c = Circuit("ar")
    arst, x = c.input("arst"), c.input("x", 4)
    c.output("q", c.register("r", 4, async_reset=arst, init=5, d=x))
    (tmp_path / "ar.json").write_text(c.to_ir())
    for settings, q in ((["--poke", "r=3"], "0x3"), (["--poke", "r=3", "--set", "arst=1"], "0x5"), (["--set", "x=9"], "0x5")):
        argv = settings
        status, text = run_cli("run", tmp_path / "ar.json", *argv, "--show", "q", "--format", "json")
        assert status == 0 and json.loads(text) == {"q": q}
    status, text = run_cli("run", tmp_path / "ar.json", "--set", "x=9", "--cycles", "1", "--show", "q", "--format", "json")
    assert json_steps(text) == [{"q": "0x5"}, {"q": "0x9"}]


def test_counter_steps_once_per_vector_and_per_cycle(tmp_path):
    (tmp_path / "v.jsonl").write_text('{"en": 1}\n{}\n{"rst": 1}\n{"rst": 0}\n')
    status, text = run_cli("run", COUNTER, "--vectors", tmp_path / "v.jsonl", "--cycles", "2", "--show", "value,en",
                           "--format", "json")
    assert status == 0
    assert [(row["value"], row["en"]) for row in json_steps(text)] == [
        ("0x0", "0"), ("0x1", "1"), ("0x2", "1"), ("0x0", "1"), ("0x1", "1"), ("0x2", "1"), ("0x3", "1")]


@pytest.mark.parametrize("argv, where", [(["--set", "clk=1"], "--set"), (["--vectors", "{dir}/v.jsonl"], "{dir}/v.jsonl:2")])
def test_a_clock_is_not_an_input(argv, where, tmp_path, capsys):
    (tmp_path / "v.jsonl").write_text('{"en": 1}\n{"clk": 1}\n')
    argv = [a.replace("{dir}", str(tmp_path)) for a in argv]
    assert run_cli("run", COUNTER, *argv)[0] == 1
    assert capsys.readouterr().err == (
        f"nimbo: error: {where.replace('{dir}', str(tmp_path))}: bus 'clk' is a clock: every step is one cycle of it, "
        "so a step does not write it\n")


def test_cycles_of_a_design_without_registers_repeat_the_state():
    status, text = run_cli("run", FULL_ADDER, "--set", "a=1", "--cycles", "2", "--show", "sum", "--format", "json")
    assert status == 0 and json_steps(text) == [{"sum": "1"}] * 3


def test_a_cycle_that_fails_is_named(tmp_path, capsys):
    # q toggles each cycle; x = q and not x never settles once q is 1
    ir = make_ir([bus("clk", "0"), bus("q", "0", influence=["nq", "x"]), bus("nq", "1", gate("not", ref("q"))),
                  bus("x", "0", gate("and", ref("q"), gate("not", ref("x"))), influence=["x"])])
    doc = json.loads(ir)
    doc["component"]["registers"] = [{"q": "q", "d": "nq", "clock": "clk"}]
    (tmp_path / "c.json").write_text(json.dumps(doc))
    status, text = run_cli("run", tmp_path / "c.json", "--cycles", "3", "--show", "q")
    assert status == 1 and text.splitlines() == ["  step  q", "     0  0"]
    assert capsys.readouterr().err.startswith("nimbo: error: --cycles, cycle 1: Circuit did not settle")
