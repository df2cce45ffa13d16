"""What every surface writes and reports: only inputs are written (state is
poked), a circuit that does not settle names what kept changing and where,
registers without an initial value start as --x-initial says, and nets are
names like ports."""

import json
import shutil

import pytest

pytest.importorskip("nimbo.core")
from conftest import bus, gate, make_ir, ref, run_cli  # noqa: E402

from nimbo import Design, Simulator, VectorError  # noqa: E402
from nimbo.build import Circuit  # noqa: E402
from nimbo.core import Renderer  # noqa: E402
from nimbo.regression.pieces import Piece, run_piece  # noqa: E402
from nimbo.ports import ports_from_text  # noqa: E402


def counter_ir():
    """en, x (4 bits) in; register r (4 bits, no initial value) takes x while
    en is 1, w (64 bits, no initial value) and k (4 bits, initial 9) hold;
    q = r and y = NOT r out; the net `state` is r."""
    c = Circuit("ctr")
    en, x = c.input("en"), c.input("x", 4)
    r = c.register("r", 4, d=x, enable=en)
    w = c.register("w", 64)
    w.next = w
    k = c.register("k", 4, init=9)
    k.next = k
    c.output("q", r)
    c.output("y", ~r)
    c.output("wo", w)
    c.output("ko", k)
    doc = json.loads(c.to_ir())
    for record in doc["component"]["registers"]:
        if record["q"] in ("r", "w"):
            record["uninitialised"] = True
    doc["component"]["nets"] = {"state": ["r"]}
    return json.dumps(doc)


def piece(text, show=("q",)):
    return Piece(text.encode(), None, 0, 0, 1, None, tuple(show), True, False)


def piece_fault(ir, text, show=("q",)):
    """The fault a regression's worker reports for a set."""
    doc = json.loads(ir)
    return run_piece(Simulator(ir), piece(text, show), ports_from_text(ir), doc["component"].get("nets")).fault


# ---------------------------------------------------------------- only inputs

REFUSED = [
    ("q", 3, "bus q is not an input: driven by logic; only inputs are written"),
    ("y", 3, "bus y is not an input: driven by logic; only inputs are written"),
    ("r", 3, "bus r is not an input: a register's state; only inputs are written (--poke NAME=VALUE"),
    ("state", 3, "net state is not an input: a register's state; only inputs are written (--poke"),
]


@pytest.mark.parametrize("surface", ["--set", "vector line", "regression"])
@pytest.mark.parametrize("name, value, reason", REFUSED)
def test_every_surface_refuses_a_write_that_is_no_input(surface, name, value, reason, tmp_path, capsys):
    ir = counter_ir()
    path = tmp_path / "ctr.json"
    path.write_text(ir)
    line = json.dumps({name: value})
    if surface == "--set":
        status, _ = run_cli("run", path, "--set", "en=1", "--set", f"{name}={value}")
        assert status == 1
        assert capsys.readouterr().err.startswith(f"nimbo: error: --set: {reason}")
    elif surface == "vector line":
        (tmp_path / "v.jsonl").write_text('{"en": 1}\n' + line + "\n")
        status, out = run_cli("run", path, "--vectors", tmp_path / "v.jsonl", "--format", "json")
        assert status == 1
        assert len(out.splitlines()) == 2  # step 0 and the line before
        assert capsys.readouterr().err.startswith(f"nimbo: error: {tmp_path / 'v.jsonl'}:2: {reason}")
    else:
        fault = piece_fault(ir, '{"en": 1}\n' + line + "\n")
        assert (fault.index, fault.line) == (1, 2)
        assert fault.reason.startswith(reason)


def test_the_simulator_says_what_a_refused_name_is():
    sim = Simulator(counter_ir())
    ports = {"q": ["r"], "in": ["x"], "state": ["r"]}
    assert sim.read_inputs({"in": 3, "en": "1"}, ports=ports, input_ports=["in"]) == {"x": "1100", "en": "1"}
    for name, detail in (("q", "state"), ("y", "logic"), ("state", "state"), ("r", "state")):
        with pytest.raises(VectorError) as caught:
            sim.read_inputs({name: 1}, ports=ports, input_ports=["in"])
        assert (caught.value.kind, caught.value.bus, caught.value.detail) == ("input", name, detail)
        with pytest.raises(VectorError) as caught:
            sim.run_jsonl(b'{"en": "1"}\n' + json.dumps({name: 1}).encode() + b"\n", ports=ports, input_ports=["in"])
        assert (caught.value.kind, caught.value.index, caught.value.line) == ("input", 1, 2)
    with pytest.raises(TypeError, match="'input_ports' goes with argument 'ports'"):
        sim.read_inputs({}, input_ports=[])
    # Without input_ports every name is written, as before.
    assert sim.read_inputs({"q": 1}, ports=ports) == {"r": "1000"}


@pytest.mark.parametrize(
    "pokes, shown, error",
    [
        (["r=5"], {"q": "0x5", "state": "0x5"}, None),
        (["state=0xa", "k=1"], {"q": "0xa", "state": "0xa"}, None),
        (["en=1"], None, "--poke: bus en is not a register's state: an input; only registers are poked; --set writes inputs"),
        (["q=1"], None, "--poke: bus q is not a register's state: driven by logic; only registers are poked"),
        (["nope=1"], None, "--poke: no port, net or bus named nope"),
        (["r=0x1f"], None, "--poke: bus r: \"0x1f\" does not fit in 4 bits"),
    ],
)
def test_poke_sets_registers_in_step_zero_and_nothing_else(pokes, shown, error, tmp_path, capsys):
    path = tmp_path / "ctr.json"
    path.write_text(counter_ir())
    argv = [a for p in pokes for a in ("--poke", p)]
    status, out = run_cli("run", path, *argv, "--cycles", "1", "--show", "q,state", "--format", "json")
    if error:
        assert status == 1 and error in capsys.readouterr().err
        return
    assert status == 0
    steps = [json.loads(line)["values"] for line in out.splitlines()]
    assert steps == [shown, shown]  # en is 0: the register holds


# ---------------------------------------------------------------- did not settle

# en, a = NAND(en, c), b = NOT a, c = NOT b: with en 1 the ring oscillates.
RING = make_ir(
    [
        bus("en", "0", influence=["a"]),
        bus("a", "0", gate("nand", ref("en"), ref("c")), ["b"]),
        bus("b", "0", gate("not", ref("a")), ["c"]),
        bus("c", "0", gate("not", ref("b")), ["a"]),
    ]
)
CHANGING = "; busses still changing: a, b, c (a -> b -> c -> a)"


def core_message():
    component = Renderer(RING).component
    component.update_signals({})
    with pytest.raises(RuntimeError) as caught:
        component.update_signals({"en": "1"})
    return str(caught.value)


@pytest.mark.parametrize("surface", ["Simulator", "Design", "--set", "vector line", "regression"])
def test_a_circuit_that_does_not_settle_names_the_loop_and_the_step(surface, tmp_path, capsys):
    core = core_message()  # nimbo.core's own text, unchanged
    assert core.startswith("Circuit did not settle: stopped after ") and core.endswith(" evaluations")
    (tmp_path / "ring.json").write_text(RING)
    if surface == "Simulator":
        with pytest.raises(RuntimeError) as caught:
            Simulator(RING).update({"en": "1"})
        assert str(caught.value).endswith(CHANGING)
    elif surface == "Design":
        with pytest.raises(RuntimeError) as caught:
            Design(RING).settle(en=1)
        assert str(caught.value).endswith(CHANGING)
    elif surface == "--set":
        assert run_cli("run", tmp_path / "ring.json", "--set", "en=1")[0] == 1
        err = capsys.readouterr().err
        assert err.startswith("nimbo: error: step 0: Circuit did not settle") and err.endswith(CHANGING + "\n")
    elif surface == "vector line":
        (tmp_path / "v.jsonl").write_text('{"en": "0"}\n\n{"en": "1"}\n')
        assert run_cli("run", tmp_path / "ring.json", "--vectors", tmp_path / "v.jsonl")[0] == 1
        err = capsys.readouterr().err
        assert err.startswith(f"nimbo: error: {tmp_path / 'v.jsonl'}:3: Circuit did not settle")
        assert err.endswith(CHANGING + "\n")
    else:
        fault = piece_fault(RING, '{"en": "0"}\n{"en": "1"}\n', ("a",))
        assert fault.line == 2 and fault.reason.endswith(CHANGING)


# ---------------------------------------------------------------- x-initial


def start_values(ir, mode, seed, surface, tmp_path):
    """r, w and k as each surface starts them (bit strings)."""
    names = ["r", "w", "k"]
    if surface == "Simulator":
        sim = Simulator(ir, x_initial=mode, seed=seed)
        sim.step()
        sim.reset()  # back to the same start
        return sim.values(names)
    if surface == "Design":
        design = Design(ir, x_initial=mode, seed=seed)
        return {name: format(design.read(name), f"0{design.width(name)}b")[::-1] for name in names}
    if surface == "nimbo run":
        path = tmp_path / "ctr.json"
        path.write_text(ir)
        argv = ["--x-initial", mode] + (["--seed", seed] if seed is not None else [])
        status, out = run_cli("run", path, *argv, "--show", ",".join(names), "--radix", "bin", "--format", "json")
        assert status == 0
        return {name: value[2:][::-1] for name, value in json.loads(out).items()}
    sim = Simulator(ir, x_initial=mode, seed=seed)
    outcome = run_piece(sim, piece("{}\n", names), ports_from_text(ir))
    return dict(zip(names, outcome.rows[0]))


@pytest.mark.parametrize("surface", ["Simulator", "Design", "nimbo run", "regression"])
def test_x_initial_starts_uninitialised_registers_alike_everywhere(surface, tmp_path):
    ir = counter_ir()
    reference = Simulator(ir, x_initial="random", seed=5).values(["r", "w", "k"])
    assert reference != Simulator(ir, x_initial="random", seed=6).values(["r", "w", "k"])
    assert reference["k"] == "1001"  # an initial value stays what it is
    for mode, seed, expected in (
        ("zero", None, {"r": "0000", "w": "0" * 64, "k": "1001"}),
        ("ones", None, {"r": "1111", "w": "1" * 64, "k": "1001"}),
        ("random", 5, reference),
        ("random", None, Simulator(ir, x_initial="random", seed=0).values(["r", "w", "k"])),
    ):
        assert start_values(ir, mode, seed, surface, tmp_path) == expected, mode


def test_x_initial_starts_the_words_no_init_run_names():
    from nimbo.ir import build_document

    def memory(name, uninitialised, init):
        return {"name": name, "words": 4, "width": 70, "init": init, "uninitialised": uninitialised,
                "read_ports": [], "write_ports": []}  # fmt: skip

    ir = json.dumps(build_document("m", [("a", "0", None)], memories=[
        memory("u", True, [{"word": 1, "values": ["5"], "repeat": 2}]),
        memory("v", True, []), memory("k", False, [])]))  # fmt: skip
    ones = (1 << 70) - 1
    assert Simulator(ir).memory("u") == [0, 5, 5, 0]
    sim = Simulator(ir, x_initial="ones")
    assert [sim.memory(n) for n in "uvk"] == [[ones, 5, 5, ones], [ones] * 4, [0] * 4]
    sim.load_memory("v", [1])
    sim.reset()
    assert sim.memory("v") == [1, 0, 0, 0]  # a load replaces the start, for reset too
    random = Simulator(ir, x_initial="random", seed=7)
    u, v = random.memory("u"), random.memory("v")
    assert u[1:3] == [5, 5] and len({u[0], u[3], *v}) == 6 and max(v) >= 1 << 64
    assert (u, v) == (Simulator(ir, x_initial="random", seed=7).memory("u"), Simulator(ir, x_initial="random", seed=7).memory("v"))
    assert Simulator(ir, x_initial="random", seed=8).memory("v") != v


def test_x_initial_arguments_are_checked(tmp_path, capsys):
    ir = counter_ir()
    for kwargs, error, match in (
        ({"x_initial": "x"}, ValueError, "expected 'zero', 'ones' or 'random'"),
        ({"x_initial": 1}, TypeError, "argument 'x_initial'"),
        ({"seed": 1}, ValueError, "goes with x_initial='random'"),
        ({"x_initial": "random", "seed": -1}, ValueError, "0 to 2\\*\\*64 - 1"),
        ({"x_initial": "random", "seed": 1 << 64}, ValueError, "0 to 2\\*\\*64 - 1"),
        ({"x_initial": "random", "seed": "1"}, TypeError, "argument 'seed'"),
    ):
        with pytest.raises(error, match=match):
            Simulator(ir, **kwargs)
    path = tmp_path / "ctr.json"
    path.write_text(ir)
    assert run_cli("run", path, "--seed", "3")[0] == 2
    assert "--seed goes with --x-initial random" in capsys.readouterr().err


@pytest.mark.skipif(shutil.which("yosys") is None, reason="Yosys is not installed")
def test_the_importer_marks_registers_without_an_initial_value(tmp_path):
    import warnings

    (tmp_path / "u.v").write_text(
        "module u(input clk, input d, output reg [1:0] q, output reg p);\n"
        "  initial p = 1'b1;\n"
        "  always @(posedge clk) begin q <= {q[0], d}; p <= ~p; end\n"
        "endmodule\n"
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # registers without an initial value: the point here
        ones = Design.from_verilog(tmp_path / "u.v", "u", x_initial="ones")
    records = {r["q"]: r.get("uninitialised", False) for r in json.loads(ones.ir)["component"]["registers"]}
    assert records == {"q[0]": True, "q[1]": True, "p": False}
    assert (ones.read("q"), ones.read("p")) == (3, 1)
    assert (Design(ones.ir).read("q"), Design(ones.ir).read("p")) == (0, 1)


# ---------------------------------------------------------------- nets


def test_nets_are_shown_recorded_and_expected_whole(tmp_path, capsys):
    ir = counter_ir()
    path = tmp_path / "ctr.json"
    path.write_text(ir)
    (tmp_path / "v.jsonl").write_text('{"en": 1, "x": 6}\n{"en": 0, "x": 1}\n')
    status, out = run_cli("run", path, "--vectors", tmp_path / "v.jsonl", "--show", "state", "--format", "json",
                          "--vcd", tmp_path / "run.vcd")
    assert status == 0
    assert [json.loads(line)["values"] for line in out.splitlines()] == [{"state": "0x0"}, {"state": "0x6"}] * 1 + [
        {"state": "0x6"}
    ]
    vcd = (tmp_path / "run.vcd").read_text()
    assert " state[3:0] $end" in vcd and "b0110 " in vcd
    good = '{"en": 1, "x": 6, "expect": {"state": 6}}\n{"en": 0, "expect": {"state": "0x6"}}\n'
    outcome = run_piece(Simulator(ir), piece(good, ("q",)), ports_from_text(ir), {"state": ["r"]})
    assert outcome.fault is None and outcome.compared == 2
    fault = piece_fault(ir, '{"en": 1, "x": 6, "expect": {"state": 7}}\n')
    assert (fault.line, fault.bus, fault.reason) == (1, "state", "net state: expected 1110, got 0110")


def test_a_net_is_never_written_even_where_unknown_names_are_skipped(tmp_path, capsys):
    path = tmp_path / "ctr.json"
    path.write_text(counter_ir())
    (tmp_path / "v.jsonl").write_text('{"en": 1, "zz": 1}\n{"state": 2}\n')
    status, out = run_cli("run", path, "--vectors", tmp_path / "v.jsonl", "--allow-unknown", "--format", "json")
    assert status == 1 and len(out.splitlines()) == 2
    err = capsys.readouterr().err.splitlines()
    assert err[0].endswith("no port, net or bus named zz; ignored")
    assert err[1].startswith(f"nimbo: error: {tmp_path / 'v.jsonl'}:2: net state is not an input: a register's state")
