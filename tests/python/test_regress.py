"""nimbo.regress and `nimbo regress`: vector sets on a local Dask cluster."""

import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import threading
from contextlib import ExitStack, contextmanager

import pytest

if os.environ.get("CI"):
    import distributed  # noqa: F401  (the test set-up installs it: these tests must run)
else:
    pytest.importorskip("distributed")

from conftest import EXAMPLES, limit_file_size, random_circuit, random_vectors, run_cli, run_python  # noqa: E402

from nimbo import Simulator, VectorError  # noqa: E402
from nimbo.ir import build_document, gate, ref  # noqa: E402
from nimbo.regression import KEEPS, RenderError, connect, regress, split_set  # noqa: E402

FULL_ADDER = (EXAMPLES / "full_adder.json").read_text()
# A bound that only stops a command that hangs; a slow or loaded machine never comes near it.
HUNG = 1800


@pytest.fixture(scope="module")
def clusters():
    """Local clusters by their number of workers, started once each."""
    with ExitStack() as stack:
        made = {}

        def get(workers):
            if workers not in made:
                made[workers] = stack.enter_context(connect(workers=workers, quiet=True))
            return made[workers]

        yield get


def alone(ir, vectors, show):
    """The reference: the set on a fresh simulator, (rows, (index, bus, reason) or None)."""
    try:
        return Simulator(ir).run(vectors, show), None
    except VectorError as error:
        return error.results, (error.index, error.bus, error.reason)


def jsonl(vectors, blank_every=0):
    lines = [json.dumps(v) for v in vectors]
    if blank_every:
        lines = [line + ("\n  " if k % blank_every == 0 else "") for k, line in enumerate(lines)]
    return ("\n".join(lines) + "\n").encode()


@pytest.mark.parametrize("workers", [1, 2])
def test_each_set_gives_what_it_gives_alone(clusters, workers):
    client = clusters(workers)
    for shape in (dict(), dict(feedback=True), dict(drop_influence=3)):
        for seed in (0, 2, 3):  # circuits that settle (one that does not takes seconds per vector)
            rng = random.Random(seed)
            ir, inputs = random_circuit(rng, **shape)
            assert Simulator(ir).feedback == bool(shape.get("feedback"))
            sets = {f"s{k}": random_vectors(rng, inputs, rng.randrange(1, 80)) for k in range(5)}
            sets["s2"][-1] = {next(iter(inputs)): "z"}  # a bad vector fails its set only
            show = list(Simulator(ir).bus_ids[1::2])
            regression = regress(ir, sets, show=show, client=client, chunk=0)
            assert [r.name for r in regression.results] == list(sets)
            for result, vectors in zip(regression.results, sets.values()):
                rows, fault = alone(ir, vectors, show)
                assert result.values == rows
                # Values are read as `nimbo run` reads them: the message is its own.
                assert (result.fault and result.fault.index) == (fault and fault[0])
                assert result.vectors == len(rows)


BAD_LINES = {
    "width": lambda inputs: json.dumps({next(b for b, w in inputs.items() if w): "1" * 200}),
    "json": lambda inputs: '{"n0": "1",}',
    "type": lambda inputs: json.dumps({next(iter(inputs)): [1]}),
}


@pytest.mark.parametrize("keep", KEEPS)
@pytest.mark.parametrize("bad", [None, *BAD_LINES])
def test_splitting_a_set_changes_nothing(clusters, tmp_path, keep, bad):
    rng = random.Random(7)
    ir, inputs = random_circuit(rng, busses=40)
    assert Simulator(ir).one_pass
    vectors = random_vectors(rng, inputs, 3000)
    vectors[5]["no_such_bus"] = "1"
    vectors[1500]["other_unknown"] = "1"
    lines = jsonl(vectors, blank_every=97).split(b"\n")
    if bad:  # a bad line in the last chunk
        lines[2900] = BAD_LINES[bad](inputs).encode()
    data = b"\n".join(lines)
    spans = split_set(data, 1024, inputs)
    assert len(spans) == 3 and spans[2].preamble

    show = list(Simulator(ir).bus_ids[::3])
    (tmp_path / "set.jsonl").write_bytes(data)
    # Bytes, and a file that the workers of a local cluster read themselves.
    runs = [regress(ir, {"set": source}, show=show, keep=keep, chunk=chunk, client=clusters(2),
                    allow_unknown=True, warn=lambda message: None).results[0]
            for source, chunk in ((data, 1024), (data, 0), (tmp_path / "set.jsonl", 1024))]
    assert runs[0].record() == runs[1].record() == runs[2].record()
    # ... and all are what the engine gives for the whole text at once.
    try:
        rows, unknown = Simulator(ir).run_jsonl(data, show)
        fault = None
    except VectorError as error:
        rows, unknown, fault = error.results, [], (error.index, error.line, error.bus, error.reason)
    result = runs[0]
    assert (result.fault and (result.fault.index, result.fault.line)) == (fault and fault[:2])
    assert result.vectors == len(rows)
    if keep == "all":
        assert result.values == [dict(zip(show, row)) for row in rows]
    elif keep == "last":
        assert result.last == dict(zip(show, rows[-1]))
    else:  # the digest as the module documents it
        blocks = b"".join(
            hashlib.sha256(b"".join(" ".join(row).encode() + b"\n" for row in rows[k : k + 1024])).digest()
            for k in range(0, len(rows), 1024)
        )
        assert result.digest == hashlib.sha256(json.dumps(show).encode() + b"\n" + blocks).hexdigest()


def test_results_come_in_order_however_long_each_set_is(clusters):
    rng = random.Random(11)
    ir, inputs = random_circuit(rng, busses=30)
    sets = [random_vectors(rng, inputs, 6000)] + [random_vectors(rng, inputs, 20) for _ in range(12)]
    order = []
    regression = regress(ir, sets, keep="last", chunk=1024, client=clusters(2),
                         on_result=lambda r: order.append(r.name))
    assert order == [f"set {k}" for k in range(13)] == [r.name for r in regression.results]
    for result, vectors in zip(regression.results, sets):
        assert result.last == Simulator(ir).run(vectors)[-1]


@pytest.mark.parametrize(
    "vectors, fault",
    [
        ([{"a": "1"}, ["a", "1"]], (1, None, "expected an object of bus or port name to value")),
        ([{"b": "1"}, {"a": b"1"}], (1, None, "the value of a must be a string or a whole number")),
    ],
)
def test_a_list_set_fails_at_the_vector_json_cannot_hold(clusters, vectors, fault):
    result = regress(FULL_ADDER, [vectors], client=clusters(2)).results[0]
    index, bus, reason = fault
    assert (result.fault.index, result.fault.line, result.fault.bus, result.fault.reason) == (index, None, bus, reason)
    assert result.vectors == index == len(result.values)


def test_a_vcd_per_set_holds_each_vector_at_its_step(clusters, tmp_path):
    from test_cli_vcd import at, read_vcd

    vectors = [{"a": "1"}, {"b": "1"}, {"cin": "1"}, {"a": "0", "b": "0"}]
    result = regress(FULL_ADDER, {"t/one.jsonl": vectors}, show=["sum", "cout"], vcd_dir=tmp_path,
                     client=clusters(2)).results[0]
    assert result.vcd == tmp_path / "one.vcd"
    variables = read_vcd(result.vcd.read_text())
    values = [{"sum": "0", "cout": "0"}] + Simulator(FULL_ADDER).run(vectors, ["sum", "cout"])
    for k, expected in enumerate(values):  # a step records what changed
        assert {name: str(at(variables[name][2], k)) for name in expected} == expected, k


def test_a_clocked_sets_vcd_has_its_inputs_half_a_cycle_before_the_edge(clusters, tmp_path):
    from test_cli_vcd import read_vcd

    counter = (EXAMPLES / "counter.json").read_text()
    vectors = [{"en": "1"}, {}, {"en": "0"}]
    result = regress(counter, {"c.jsonl": vectors}, show=["value", "en"], vcd_dir=tmp_path, client=clusters(1)).results[0]
    variables = read_vcd(result.vcd.read_text())
    assert variables["en"][2] == {0: 0, 1: 1, 5: 0} and variables["value"][2] == {0: 0, 2: 1, 4: 2}
    assert variables["clk"][2] == {0: 0, 2: 1, 3: 0, 4: 1, 5: 0, 6: 1, 7: 0}


def test_a_split_stops_where_a_line_is_unclear():
    inputs = {"a": 1, "b": 2}
    lines = [json.dumps({"a": "1", "b": "01"})] * 2048 + ['{"b": "1"}'] + [json.dumps({"a": "0"})] * 2048
    spans = split_set("\n".join(lines).encode(), 1024, inputs)
    # The third chunk writes a bad width to b: it runs with everything after it.
    assert [s.first_line for s in spans] == [1, 1025, 2049]
    assert spans[1].preamble == {"a": "1", "b": "01"} and spans[2].end == len("\n".join(lines))


def layered_dag(gates, inputs=16, seed=5):
    rng = random.Random(seed)
    busses = [(f"i{k}", "0", None) for k in range(inputs)]
    for k in range(gates):
        left, right = (busses[rng.randrange(len(busses))][0] for _ in range(2))
        busses.append((f"g{k}", "0", gate(rng.choice(["and", "or", "xor", "nand"]), ref(left), ref(right))))
    return json.dumps(build_document("dag", busses)), [f"i{k}" for k in range(inputs)]


def test_a_killed_worker_loses_nothing(tmp_path):
    from distributed import WorkerPlugin

    class KillOnce(WorkerPlugin):
        """Kills its worker as the worker starts a task of the run, once in
        the cluster: the marker file tells a worker that restarts."""

        def __init__(self, marker):
            self.marker = marker

        def transition(self, key, start, finish, **kwargs):
            if finish == "executing" and "-task-" in str(key):
                try:
                    os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
                except FileExistsError:
                    return
                os.kill(os.getpid(), signal.SIGKILL)

    ir, inputs = layered_dag(5000)
    rng = random.Random(1)
    count, size = 12, 500
    sets = {f"t{k}": [dict(zip(inputs, f"{rng.getrandbits(16):016b}")) for _ in range(size)] for k in range(count)}
    show = ["g4999", "g4998"]
    delivered = []
    marker = tmp_path / "killed"
    with connect(workers=2, quiet=True) as client:
        client.register_plugin(KillOnce(str(marker)))
        regression = regress(ir, sets, show=show, keep="last", client=client,
                             on_result=lambda result: delivered.append(result.name))
    assert marker.exists(), "no worker was killed"
    assert delivered == list(sets)
    assert [(r.vectors, r.fault) for r in regression.results] == [(size, None)] * count
    # Every vector writes every input of this one-pass circuit: the last
    # values follow from the last vector alone.
    simulator = Simulator(ir)
    assert simulator.one_pass
    for result, vectors in zip(regression.results, sets.values()):
        simulator.update(vectors[-1])
        assert result.last == simulator.values(show)


@contextmanager
def fed_through(kind, folder, data):
    """A path whose reading gives `data` once: a named pipe, or /dev/fd/N of
    a pipe, as a shell's <(...) gives."""
    if kind == "pipe":
        read_end, write_end = os.pipe()
        os.write(write_end, data)  # less than a pipe holds
        os.close(write_end)
        try:
            yield f"/dev/fd/{read_end}"
        finally:
            os.close(read_end)
        return
    folder.mkdir()
    fifo = folder / "set.fifo"
    os.mkfifo(fifo)

    def write():
        try:
            with open(fifo, "wb") as stream:
                stream.write(data)
        except BrokenPipeError:  # the reader went away without reading
            pass

    writer = threading.Thread(target=write)
    writer.start()
    try:
        yield str(fifo)
    finally:
        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))  # lets a writer still waiting for a reader go
        writer.join()


@pytest.mark.parametrize("kind", ["fifo", "pipe"])
def test_a_set_that_is_no_regular_file_is_read_by_the_coordinator(clusters, tmp_path, kind):
    from nimbo.regression.coordinator import DEFAULT_CHUNK, _load

    vectors = [{"a": "1"}, {"b": "1"}, {"cin": "1"}, {"a": "0"}]
    data = jsonl(vectors)
    # The workers of a local cluster read regular files themselves; this
    # one they would find without its writer, or not at all.
    with fed_through(kind, tmp_path / "looked_at", data) as path:
        loaded = _load(path, True, DEFAULT_CHUNK)
        assert (loaded.data, loaded.path) == (data, None)
    with fed_through(kind, tmp_path / "run", data) as path:
        result = regress(FULL_ADDER, [path], show=["sum", "cout"], client=clusters(2)).results[0]
    assert (result.name, result.fault) == (path, None)
    assert result.values == Simulator(FULL_ADDER).run(vectors, ["sum", "cout"])


def test_the_core_imports_no_dask():
    modules = run_python("import sys, nimbo, nimbo.core; print(sorted({m.split('.')[0] for m in sys.modules}))")
    assert "dask" not in modules and "distributed" not in modules


def test_api_refusals(clusters):
    with pytest.raises(RenderError, match="Failed to render circuit"):
        regress("{", [[{}]], client=clusters(2))
    with pytest.raises(ValueError, match="--show: no bus named nope"):
        regress(FULL_ADDER, [[{}]], show=["sum", "nope"], client=clusters(2))
    with pytest.raises(ValueError, match="multiple of 1024"):
        regress(FULL_ADDER, [[{}]], chunk=1000)


# ---------------------------------------------------------------- command line


@pytest.fixture
def sets(tmp_path):
    (tmp_path / "good.jsonl").write_text('{"a": "1"}\n{"b": "1"}\n\n{"cin": "1"}\n')
    (tmp_path / "bad.jsonl").write_text('{"a": "1"}\n\n{"a": "10"}\n{"b": "1"}\n')
    return tmp_path


def test_cli_writes_records_in_order_and_fails_on_a_bad_set(clusters, sets, tmp_path, capsys):
    ir = tmp_path / "fa.json"
    ir.write_text(FULL_ADDER)
    address = clusters(2).scheduler.address
    status, out = run_cli("regress", ir, sets / "good.jsonl", sets / "bad.jsonl", sets / "gone.jsonl",
                          "--show", "sum,cout", "--scheduler", address, "--vcd-dir", tmp_path / "vcd")
    assert status == 1
    records = [json.loads(line) for line in out.splitlines()]
    assert [(r["set"].rsplit("/", 1)[1], r["status"], r["vectors"]) for r in records] == [
        ("good.jsonl", "passed", 3), ("bad.jsonl", "failed", 1), ("gone.jsonl", "failed", 0)]
    assert records[0]["values"][-1] == {"sum": "1", "cout": "1"} and records[0]["checked"] is False
    reason = 'bus a: "10" does not fit in 1 bit (as a number; a bit string has exactly 1 digit)'
    assert records[1]["error"] == {"vector": 1, "line": 3, "bus": None, "reason": reason}
    err = capsys.readouterr().err.splitlines()
    assert f"nimbo: error: {sets / 'bad.jsonl'}:3: {reason}" in err
    assert f"nimbo: error: {sets / 'gone.jsonl'}: no such file" in err
    assert err[-1].startswith("3 sets: 1 passed (0 checked, 1 run only), 2 failed; 4 vectors in ")
    vcd = (tmp_path / "vcd" / "good.vcd").read_text()
    assert "$var wire 1 " in vcd and "#3" in vcd

    # A directory stands for its sets; with --out the summary goes to standard output.
    (sets / "bad.jsonl").unlink()
    status, out = run_cli("regress", ir, sets, "--keep", "digest", "--out", tmp_path / "r.jsonl",
                          "--scheduler", address)
    assert status == 0 and out.splitlines()[-1].startswith("1 set: 1 passed (0 checked, 1 run only), 0 failed")
    assert len(json.loads((tmp_path / "r.jsonl").read_text())["digest"]) == 64


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], 2, "cannot go with --scheduler"),
        (["--chunk", "1000"], 2, "--chunk must be 0 or a multiple of 1024"),
        (["--show", "sum,nope", "--scheduler", None], 1, "--show: no bus named nope"),
        (["--scheduler", "host:port"], 1, "not the address of a Dask scheduler"),
        (["--out", "SET"], 2, "that is the input file"),
    ],
)
def test_cli_refusals(clusters, sets, tmp_path, capsys, argv, status, message):
    ir = tmp_path / "fa.json"
    ir.write_text(FULL_ADDER)
    argv = [clusters(2).scheduler.address if a is None else sets / "good.jsonl" if a == "SET" else a for a in argv]
    assert run_cli("regress", ir, sets / "good.jsonl", *argv)[0] == status
    assert message in capsys.readouterr().err.splitlines()[-1]


def nimbo_cli(*argv, **options):
    return subprocess.run([sys.executable, "-m", "nimbo", *map(str, argv)], capture_output=True, text=True,
                          timeout=HUNG, **options)


def test_a_vcd_that_cannot_be_written_fails_its_set_only(clusters, tmp_path):
    ir = tmp_path / "fa.json"
    ir.write_text(FULL_ADDER)
    vcd = tmp_path / "vcd"
    vcd.mkdir()
    (vcd / "big.vcd").write_text("an earlier recording\n")
    sets = {"small": [{"a": "1"}], "big": [{"a": "1"}, {"a": "0"}] * 1000, "after": [{"b": "1"}]}
    for name, vectors in sets.items():
        (tmp_path / f"{name}.jsonl").write_bytes(jsonl(vectors))
    # The small recordings fit under the limit, the big one does not.
    done = nimbo_cli("regress", ir, *(tmp_path / f"{name}.jsonl" for name in sets), "--show", "sum,cout",
                     "--keep", "last", "--vcd-dir", vcd, "--scheduler", clusters(1).scheduler.address,
                     preexec_fn=limit_file_size(4096))
    assert done.returncode == 1, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(r["set"], r["status"], r["vectors"]) for r in records] == [
        (str(tmp_path / "small.jsonl"), "passed", 1), (str(tmp_path / "big.jsonl"), "failed", 2000),
        (str(tmp_path / "after.jsonl"), "passed", 1)]
    failure = f"{vcd / 'big.vcd'}: File too large; the VCD was not written"
    assert records[1]["error"] == {"vector": None, "line": None, "bus": None, "reason": failure}
    assert records[1]["last"] == {"sum": "0", "cout": "0"}
    assert f"nimbo: error: {tmp_path / 'big.jsonl'}: {failure}" in done.stderr.splitlines()
    assert "Traceback" not in done.stderr
    assert (vcd / "big.vcd").read_text() == "an earlier recording\n"
    assert sorted(p.name for p in vcd.iterdir()) == ["after.vcd", "big.vcd", "small.vcd"]


# In the worker processes of a local cluster (started by multiprocessing's
# spawn), the first to start dies at once.
FIRST_WORKER_DIES = """
import os, sys
if "spawn_main" in " ".join(getattr(sys, "orig_argv", ())):
    try:
        os.close(os.open(os.environ["NIMBO_TEST_MARKER"], os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        pass
    else:
        os._exit(3)
"""


def test_a_worker_that_dies_as_the_cluster_starts_leaves_the_others(sets, tmp_path):
    ir = tmp_path / "fa.json"
    ir.write_text(FULL_ADDER)
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(FIRST_WORKER_DIES)
    path = os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path, "NIMBO_TEST_MARKER": str(tmp_path / "died")}
    done = nimbo_cli("regress", ir, sets / "good.jsonl", "--workers", "2", "--show", "sum,cout", "--keep", "last",
                     env=env)
    assert (tmp_path / "died").exists()
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["last"] == {"sum": "1", "cout": "1"}
    err = done.stderr.splitlines()
    assert err[0].startswith("nimbo: warning: 1 of 2 workers of the local cluster did not start"), err
    assert err[0].endswith("; going on with 1") and err[-1].endswith(" on 1 worker")


def test_cli_cuts_a_long_unknown_id(clusters, tmp_path, capsys):
    ir = tmp_path / "fa.json"
    ir.write_text(FULL_ADDER)
    (tmp_path / "long.jsonl").write_text(json.dumps({"n" * 100_000: "1"}) + "\n")
    assert run_cli("regress", ir, tmp_path / "long.jsonl", "--allow-unknown",
                   "--scheduler", clusters(1).scheduler.address)[0] == 0
    assert f'{tmp_path / "long.jsonl"}:1: no bus named "{"n" * 40}"... (100000 characters); ignored' in (
        capsys.readouterr().err.splitlines()[0])


def test_cli_without_dask_says_what_to_install(sets, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert run_cli("regress", tmp_path / "fa.json", sets / "good.jsonl")[0] == 1
    assert capsys.readouterr().err == (
        "nimbo: error: nimbo regress needs Dask: pip install 'dask[distributed]'"
        " (or install nimbo with its extra: pip install 'nimbo[distributed]')\n"
    )


def test_workers_start_uninitialised_registers_as_the_run_says(clusters, tmp_path):
    from test_writes import counter_ir

    ir = counter_ir()
    sets = [b'{"en": 1, "x": 3}\n{}\n', b"{}\n"]
    for x_initial, seed in (("ones", None), ("random", 5), ("random", 6)):
        start = Simulator(ir, x_initial=x_initial, seed=seed)
        start.step()
        held = start.values(["w"])["w"]
        result = regress(ir, sets, show=["r", "w"], x_initial=x_initial, seed=seed, client=clusters(2))
        assert [r.values for r in result.results] == [
            [{"r": "1100", "w": held}, {"r": "1100", "w": held}],
            [{"r": start.values(["r"])["r"], "w": held}],
        ]
    (tmp_path / "ctr.json").write_text(ir)
    (tmp_path / "s.jsonl").write_bytes(sets[1])
    status, out = run_cli("regress", tmp_path / "ctr.json", tmp_path / "s.jsonl", "--show", "w", "--radix", "bin",
                          "--x-initial", "random", "--seed", "6", "--scheduler", clusters(2).scheduler.address)
    assert status == 0
    assert json.loads(out.splitlines()[0])["values"] == [{"w": "0b" + held[::-1]}]


@pytest.mark.parametrize("first", ['{"a": 5, "b": 1}', '{"a": "0x5", "b": "1000"}', '{"a": "1010", "a[0]": "0"}'])
def test_a_split_set_carries_ports_and_numbers_into_the_next_chunk(clusters, first):
    from nimbo.build import Circuit

    c = Circuit("add")
    a, b = c.input("a", 4), c.input("b", 4)
    c.output("y", a + b)
    ir = c.to_ir()
    lines = (first + "\n" + '{"b": 1}\n' * 1500 + '{"expect": {"y": "x"}}\n' * 600).encode()
    split, whole = (
        regress(ir, [lines], show=["y", "a"], keep="all", chunk=chunk, client=clusters(2)).results[0]
        for chunk in (1024, 0)
    )
    assert split.fault is None and split.values == whole.values
