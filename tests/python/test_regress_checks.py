"""Regressions that check: names, values, expected values, references, lanes."""

import json
import random

import pytest

pytest.importorskip("distributed")

from clocked_model import random_clocked_circuit  # noqa: E402
from conftest import EXAMPLES, random_vectors, run_cli  # noqa: E402

from nimbo import Simulator  # noqa: E402
from nimbo.regression.expect import ExpectError, matches, pattern  # noqa: E402
from nimbo._engine import parse_value  # noqa: E402
from nimbo.regression import pieces as piece_module  # noqa: E402
from nimbo.regression.pieces import Piece, run_piece, run_pieces  # noqa: E402
from nimbo.regression import UnknownName, connect, regress  # noqa: E402
from nimbo.ports import ports_from_text  # noqa: E402

ALU = (EXAMPLES / "alu8.json").read_text()
COUNTER = (EXAMPLES / "counter.json").read_text()


@pytest.fixture(scope="module")
def client():
    with connect(workers=2, quiet=True) as made:
        yield made


@pytest.mark.parametrize(
    "value, width, expected",
    [
        (11, 4, "1101"),
        ("x", 4, "xxxx"),
        (None, 2, "xx"),
        ("1x0?", 4, "1x0x"),
        ("8'b1xxx_0000", 8, "0000xxx1"),
        ("4'hb", 4, "1101"),
        ("0101", 4, "0101"),
        ("10", 4, "0101"),  # 0s and 1s of another count than the width: ten, as for inputs
        ("101", 2, ExpectError),
        (16, 4, ExpectError),
        ("4'b1x", 4, ExpectError),
        ([1], 4, ExpectError),
    ],
)
def test_expected_values_read_as_inputs_do(value, width, expected):
    if expected is ExpectError:
        with pytest.raises(ExpectError):
            pattern(value, width, parse_value)
    else:
        assert pattern(value, width, parse_value) == expected


@pytest.mark.parametrize(
    "expected, got, same", [("1x0x", "1101", True), ("1x0x", "0101", False), ("11", "11", True), ("xx", "01", True)]
)
def test_dont_care_bits_match_anything(expected, got, same):
    assert matches(expected, got) is same


def adder_sets(tmp_path, lines_by_name):
    paths = []
    for name, lines in lines_by_name.items():
        path = tmp_path / f"{name}.jsonl"
        path.write_text("".join(json.dumps(line) + "\n" for line in lines))
        paths.append(path)
    return paths


def test_sets_name_ports_and_are_checked(client, tmp_path, capsys):
    """Ports take whole values (numbers or bit strings), expected values are
    compared after the step, records hold ports in the radix, and the summary
    counts checked sets."""
    ports = ports_from_text(COUNTER)
    names = list(ports)
    ir = tmp_path / "counter.json"
    ir.write_text(COUNTER)
    sim = Simulator(COUNTER)
    inputs = [n for n in names if ports[n].direction == "input" and n not in sim.clocks]
    outputs = [n for n in names if ports[n].direction == "output"]
    assert inputs and outputs
    rng = random.Random(3)
    good, bad = [], []
    for k in range(6):
        vector = {name: rng.randrange(1 << ports[name].width) if ports[name].width > 1 else rng.choice("01")
                  for name in inputs}
        bus_inputs = {}
        for name, value in vector.items():
            width = ports[name].width
            bits = value if isinstance(value, str) else parse_value(f"{value:+d}", width)
            bus_inputs.update(ports[name].split(bits) if width > 1 else {ports[name].bits[0]: bits})
        sim.step(bus_inputs)
        got = {name: ports[name].join(sim.values()) for name in outputs}
        good.append({**vector, "expect": {name: int(bits[::-1], 2) for name, bits in got.items()}})
        wrong = dict(got)
        if k == 4:
            first = outputs[0]
            wrong[first] = "".join("1" if c == "0" else "0" for c in got[first])
        bad.append({**vector, "expect": wrong})
    bad[2]["expect"][outputs[-1]] = "x" * len(bad[2]["expect"][outputs[-1]])
    only = [{name: 0 for name in inputs}]
    # Expected values that are all "don't care" check nothing: run only.
    dont_care = [{**vector, "expect": {name: "x" for name in outputs}} for vector in good]
    paths = adder_sets(tmp_path, {"good": good, "bad": bad, "only": only, "dont_care": dont_care})
    status, out = run_cli("regress", ir, *paths, "--radix", "dec", "--scheduler", client.scheduler.address)
    assert status == 1
    records = [json.loads(line) for line in out.splitlines()]
    assert [(r["status"], r["checked"], r["vectors"]) for r in records] == [
        ("passed", True, 6), ("failed", True, 5), ("passed", False, 1), ("passed", False, 6)]
    assert list(records[0]["values"][0]) == names and records[0]["radix"] == "dec"
    error = records[1]["error"]
    assert (error["vector"], error["line"], error["bus"]) == (4, 5, outputs[0])
    assert error["expected"] != error["got"]
    err = capsys.readouterr().err.splitlines()
    assert f"{paths[1]}:5: port {outputs[0]}: expected {error['expected']}, got {error['got']}" in err[0]
    assert err[-1].startswith("4 sets: 3 passed (1 checked, 2 run only), 1 failed;")


@pytest.mark.parametrize(
    "lines, show, message",
    [
        ([{"a": "1"}, {"cn": "1"}], [], "set.jsonl:2: no bus named cn (did you mean cin?)"),
        ([{"a": "1", "expect": {"sun": 1}}], [], "set.jsonl:1: expect: no bus named sun (did you mean sum?)"),
        ([{"a": "1"}], ["sum,cot"], "--show: no bus named cot (did you mean cout?)"),
    ],
)
def test_unknown_names_stop_the_run_before_it_starts(tmp_path, capsys, lines, show, message):
    # No cluster is started: the names are checked first (no --scheduler, no --workers needed).
    ir = tmp_path / "fa.json"
    ir.write_text((EXAMPLES / "full_adder.json").read_text())
    path = tmp_path / "set.jsonl"
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    status, _ = run_cli("regress", ir, path, *(["--show", *show] if show else []))
    assert status == 1
    err = capsys.readouterr().err.strip()
    assert message in err and "--allow-unknown" in err


def test_allow_unknown_warns_and_api_raises(client, tmp_path):
    full_adder = (EXAMPLES / "full_adder.json").read_text()
    with pytest.raises(UnknownName, match=r"set 0:1: no bus named cn \(did you mean cin\?\)"):
        regress(full_adder, [[{"cn": "1"}]], client=client)
    warned = []
    run = regress(full_adder, [[{"cn": "1", "a": "1"}]], client=client, allow_unknown=True, warn=warned.append)
    assert run.passed and warned == ["set 0:1: no bus named cn; ignored"]


@pytest.mark.parametrize("kind", ["bytes", "file"])
@pytest.mark.parametrize(
    "late, reason",
    [
        ({"cn": "1"}, "line 40 no bus named cn (did you mean cin?)"),
        ({"a": "1", "expect": {"carry": 1}}, "line 40 expect: no bus named carry"),
    ],
)
def test_a_name_past_the_checked_start_fails_its_set_there(client, tmp_path, monkeypatch, kind, late, reason):
    # Only the start of each set is read before the run; the rest is read
    # where it runs, and a name that is not there fails the set there,
    # never passes it.
    monkeypatch.setattr("nimbo.regression.coordinator._CHECKED_BYTES", 64)
    data = "".join(json.dumps({"a": str(i % 2)}) + "\n" for i in range(39)) + json.dumps(late) + "\n"
    source = data.encode() if kind == "bytes" else tmp_path / "late.jsonl"
    if kind == "file":
        source.write_text(data)
    full_adder = (EXAMPLES / "full_adder.json").read_text()
    result = regress(full_adder, {"late": source}, client=client, keep="last").results[0]
    assert not result.passed
    assert result.fault.index == 39
    assert f"line {result.fault.line} {result.fault.reason}".startswith(reason)
    allowed = regress(full_adder, {"late": source}, client=client, keep="last", allow_unknown=True, warn=print)
    assert allowed.results[0].passed and allowed.results[0].vectors == 40


@pytest.mark.parametrize(
    "lines, reason",
    [
        ([{"a": "1"}, {"a": "10"}], 'line 2 bus a: "10" does not fit in 1 bit'),
        ([{"a": "1", "expected": {"sum": 1}}],
         "line 1 the value of expected must be a string or a whole number (did you mean 'expect'?)"),
        ([{"a": 2}], "line 1 bus a"),
        ([{"a": "1", "expect": {"sum": "3'b1x1"}}], "line 1 expect: bus sum"),
    ],
)
def test_bad_values_fail_their_set_with_the_line(client, lines, reason):
    data = "".join(json.dumps(line) + "\n" for line in lines).encode()
    result = regress((EXAMPLES / "full_adder.json").read_text(), {"s": data}, client=client).results[0]
    assert not result.passed
    assert f"line {result.fault.line} {result.fault.reason}".startswith(reason)


def test_a_reference_run_fails_sets_that_differ(client, tmp_path, capsys):
    ir = tmp_path / "alu.json"
    ir.write_text(ALU)
    sim = Simulator(ALU)
    inputs = {b: w for b, w, d in zip(sim.bus_ids, sim.widths(), sim.driven) if not d}
    rng = random.Random(5)
    sets = {name: random_vectors(rng, inputs, 20) for name in ("one", "two")}
    paths = adder_sets(tmp_path, sets)
    for keep in ("all", "digest", "last"):
        reference = tmp_path / f"ref-{keep}.jsonl"
        assert run_cli("regress", ir, *paths, "--keep", keep, "--out", reference, "--scheduler", client.scheduler.address)[0] == 0
        assert run_cli("regress", ir, *paths, "--reference", reference, "--radix", "bin",
                   "--scheduler", client.scheduler.address)[0] == 0
        assert capsys.readouterr().err.splitlines()[-1].startswith("2 sets: 2 passed (2 checked, 0 run only)")
        changed = list(sets["two"])
        changed[-1] = {**changed[-1], next(iter(inputs)): "".join("1" if c == "0" else "0" for c in changed[-1].get(
            next(iter(inputs)), "0" * inputs[next(iter(inputs))]))}
        paths[1].write_text("".join(json.dumps(v) + "\n" for v in changed))
        status, _ = run_cli("regress", ir, *paths, "--reference", reference, "--scheduler", client.scheduler.address)
        detail = capsys.readouterr()
        assert status == 1
        if keep == "all":
            assert "step 20:" in detail.err
        elif keep == "digest":
            assert "digest differs from the reference" in detail.err
        paths[1].write_text("".join(json.dumps(v) + "\n" for v in sets["two"]))


@pytest.mark.parametrize("seed", range(12))
def test_lanes_give_what_steps_give(seed, monkeypatch):
    """Sets of a design with registers side by side (one lane each) against
    Simulator.step, set by set, each from the initial state; sets 1 and 2
    name ports (one per input bus) with numbers, set 3 writes an integer."""
    from nimbo.ports import Port

    rng = random.Random(seed)
    ir, inputs = random_clocked_circuit(rng)
    ports = {f"P{i}": Port(f"P{i}", "input", (bus,)) for i, bus in enumerate(inputs)}
    named = {port.bits[0]: name for name, port in ports.items()}
    sim = Simulator(ir)
    show = tuple(sim.bus_ids)
    texts, models = [], []
    for k in range(5):
        vectors = random_vectors(rng, inputs, rng.randrange(1, 30))
        stepped = Simulator(ir)
        rows = []
        for vector in vectors:
            stepped.step(vector)
            rows.append(tuple(stepped.values(show).values()))
        lines = [json.dumps(v) for v in vectors]
        if k in (1, 2):
            lines = [json.dumps({named[b]: hex(int(v[::-1] or "0", 2)) for b, v in vector.items()}) for vector in vectors]
        if k == 3 and vectors and inputs:  # a JSON integer
            name = next(iter(inputs))
            if name in vectors[0]:
                lines[0] = json.dumps({**vectors[0], name: int(vectors[0][name][::-1] or "0", 2)})
        texts.append(("\n".join(lines) + "\n").encode())
        models.append(rows)
    pieces = [Piece(text, None, 0, len(text), 1, None, show, True, False) for text in texts]
    ran_alone = []
    monkeypatch.setattr(piece_module, "run_piece", lambda *args: ran_alone.append(1) or run_piece(*args))
    outcomes = run_pieces(sim, pieces, ports)
    assert not ran_alone or not sim.clocks
    alone = [run_piece(Simulator(ir), piece, ports) for piece in pieces]
    for outcome, single, rows in zip(outcomes, alone, models):
        assert outcome.fault is None and single.fault is None
        assert outcome.rows == single.rows == rows


def test_sets_of_a_design_with_registers_are_never_split(client, tmp_path):
    counter = (EXAMPLES / "counter.json").read_text()
    assert Simulator(counter).one_pass and Simulator(counter).clocks
    data = b'{"en": "1"}\n' * 3000
    whole = regress(counter, {"s": data}, client=client, keep="last", chunk=1024, busses=True).results[0]
    model = Simulator(counter)
    for _ in range(3000):
        model.step({"en": "1"})
    assert whole.last == model.values()
