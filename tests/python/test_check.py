"""`nimbo check`: one finding per kind of misleading IR, and silence on what the builder and importer produce."""

import json
import pathlib
import shutil

import pytest

pytest.importorskip("nimbo.core")
from conftest import EXAMPLES, bus, gate, make_ir, ref, run_cli  # noqa: E402

DESIGNS = pathlib.Path(__file__).resolve().parent / "designs"


def check(tmp_path, text, *extra):
    path = tmp_path / "c.json"
    path.write_text(text)
    return run_cli("check", path, *extra)


def findings(tmp_path, busses, **ports):
    doc = json.loads(make_ir(busses))
    if ports:
        doc["component"]["ports"] = ports
    status, text = check(tmp_path, json.dumps(doc), "--format", "json")
    assert status == 0
    report = json.loads(text)
    return [(f["kind"], f["busses"], f["message"]) for f in report["warnings"] + report["notes"]]


NOT_A = gate("not", ref("a"))


@pytest.mark.parametrize(
    "busses, expected",
    [
        # a reader missing from the influence list of the bus it reads
        ([bus("a", "0", influence=[]), bus("y", "0", NOT_A)],
         [("missing-influence", ["y", "a"], "bus 'y' reads 'a' but is missing from the influence list of 'a'")]),
        # a reference to a bus that does not exist
        ([bus("a", "0", influence=["y"]), bus("y", "0", gate("and", ref("a"), ref("ghost")))],
         [("missing-bus", ["y", "ghost"], "bus 'y' reads 'ghost', which does not exist (it reads as one 0 bit)")]),
        # initial values that are not bit strings
        ([bus("a", "01x"), bus("b", 5), bus("c", {"v": 1}), bus("d", [1, True]), bus("e", [True, False]), bus("f")],
         [("bad-value", ["a"], "the character 'x'; the bus starts as one 0 bit"),
          ("bad-value", ["b"], "a JSON number is not a bit string"),
          ("bad-value", ["c"], "a JSON object is not a bit string"),
          ("bad-value", ["d"], "items other than true and false, which read as 0")]),
        # declared width against the assignment's, also through a chain
        ([bus("a", "11", influence=["y"]), bus("y", "0", NOT_A, influence=["z"]),
          bus("z", "00", gate("not", ref("y")))],
         [("width", ["y"], "bus 'y' is declared with 1 bit but its assignment gives 2 bits; it has 2 bits after")]),
        ([bus("a", "1", influence=["y"]), bus("y", "000", NOT_A)],
         [("width", ["y"], "declared with 3 bits but its assignment gives 1 bit")]),
        # a chain declared in reverse order: the widths reach its end through the influence lists
        ([bus("z", "0", gate("not", ref("y"))), bus("y", "0", gate("not", ref("x")), influence=["z"]),
          bus("x", "0", NOT_A, influence=["y"]), bus("a", "11", influence=["x"])],
         [("width", ["z"], "bus 'z' is declared with 1 bit but its assignment gives 2 bits"),
          ("width", ["y"], "bus 'y' is declared with 1 bit"), ("width", ["x"], "bus 'x' is declared with 1 bit")]),
        # ... and without the entry for z, z keeps its old width after the first update
        ([bus("z", "0", gate("not", ref("y"))), bus("y", "0", NOT_A), bus("a", "11", influence=["y"])],
         [("width", ["y"], "bus 'y' is declared with 1 bit but its assignment gives 2 bits"),
          ("missing-influence", ["z", "y"], "bus 'z' reads 'y' but is missing from the influence list of 'y'")]),
        # never read and never driven
        ([bus("a", "0", influence=["y"]), bus("y", "0", NOT_A), bus("lonely", "1")],
         [("unused", ["lonely"], "bus 'lonely' is never read and never driven")]),
        # feedback, with one example cycle
        ([bus("x", "0", gate("not", ref("x")), influence=["x"])],
         [("feedback", ["x"], "feedback: 1 loop over 1 bus, e.g. x -> x")]),
        ([bus("s", "1", influence=["q", "qn"]), bus("q", "0", gate("nand", ref("s"), ref("qn")), influence=["qn"]),
          bus("qn", "1", gate("nand", ref("s"), ref("q")), influence=["q"])],
         [("feedback", ["q", "qn"], "1 loop over 2 busses, e.g. q -> qn -> q (each reads the next)")]),
    ],
)
def test_each_kind_of_finding(tmp_path, busses, expected):
    kinds = {kind for kind, _, _ in expected}
    got = [f for f in findings(tmp_path, busses) if f[0] in kinds]
    assert len(got) == len(expected), got
    for (kind, names, message), (want_kind, want_names, needle) in zip(got, expected):
        assert (kind, names) == (want_kind, want_names)
        assert needle in message


def test_ports_count_as_used(tmp_path):
    busses = [bus("a", "0", influence=["y"]), bus("spare", "0"), bus("y", "0", NOT_A)]
    assert findings(tmp_path, busses, spare={"direction": "input", "bits": ["spare"]}) == []


def test_ports_are_read_as_nimbo_run_reads_them(tmp_path, capsys):
    busses = [bus("a", "0", influence=["y"]), bus("y", "0", NOT_A)]
    assert findings(tmp_path, busses, y={"direction": "output", "bits": ["nope"]}) == [
        ("missing-bus", ["nope"], "port 'y' names the bus 'nope', which the circuit lacks")]
    doc = json.loads(make_ir(busses))
    doc["component"]["ports"] = {"a": {"direction": "sideways", "bits": ["a"]}}
    assert check(tmp_path, json.dumps(doc))[0] == 1
    assert "port 'a' has no direction input, output or inout" in capsys.readouterr().err


def test_named_nets_count_as_read_and_name_busses_that_exist(tmp_path, capsys):
    busses = [bus("a", "0", influence=["y"]), bus("spare", "0"), bus("y", "0", NOT_A)]
    doc = json.loads(make_ir(busses))
    doc["component"]["nets"] = {"pair": ["spare", "a"]}
    status, text = check(tmp_path, json.dumps(doc), "--strict", "--format", "json")
    assert status == 0 and json.loads(text)["nets"] == 1 and json.loads(text)["warnings"] == []
    doc["component"]["nets"] = {"pair": ["spare", "gone"]}
    status, text = check(tmp_path, json.dumps(doc))
    assert status == 0 and "nets:          1" in text.splitlines()
    assert "warning: net 'pair' names the bus 'gone', which the circuit lacks" in text.splitlines()
    doc["component"]["nets"] = {"pair": []}
    assert check(tmp_path, json.dumps(doc))[0] == 1  # as Design reads it
    assert "net 'pair' must list its bus ids" in capsys.readouterr().err


def test_text_report_keeps_the_summary_and_strict_fails_on_warnings(tmp_path):
    text = make_ir([bus("a", "0", influence=[]), bus("y", "0", NOT_A)])
    status, out = check(tmp_path, text)
    assert status == 0
    assert out.splitlines()[:5] == ["component:     top", "busses:        2", "driven busses: 1", "gates:         1",
                                    "widest bus:    a (1 bit)"]
    assert out.splitlines()[5].startswith("warning: bus 'y' reads 'a'")
    assert check(tmp_path, text, "--strict")[0] == 1
    sr_latch = (EXAMPLES / "sr_latch.json").read_text()
    assert check(tmp_path, sr_latch, "--strict")[0] == 0  # a feedback note is no warning


@pytest.mark.parametrize("name", ["full_adder", "ripple_adder4", "alu8", "sr_latch", "counter"])
def test_examples_have_no_warnings(tmp_path, name):
    status, out = check(tmp_path, (EXAMPLES / f"{name}.json").read_text(), "--strict")
    assert status == 0 and "warning" not in out


@pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")
@pytest.mark.parametrize("design, memories", [(d, "map") for d in ("adder8", "alu4", "shapes", "prio", "mul6")]
                         + [("ram", "keep"), ("dual_ram", "keep")])
def test_imported_designs_have_no_findings(tmp_path, design, memories):
    from nimbo.verilog.yosys import import_text, synthesize

    imported = import_text(synthesize([str(DESIGNS / f"{design}.v")], design, memories=memories), memories=memories)
    status, out = check(tmp_path, imported.text(), "--strict", "--format", "json")
    report = json.loads(out)
    assert status == 0 and report["warnings"] == report["errors"] == report["notes"] == []


def clocked(busses, registers):
    doc = json.loads(make_ir(busses))
    doc["component"]["registers"] = registers
    return json.dumps(doc)


# clk, clk2 and a 2-bit q driven through d = not q; en, rst 1-bit inputs.
REGISTER_BUSSES = [bus("clk", "0"), bus("clk2", "0"), bus("en", "0"), bus("rst", "0"), bus("q", "00", influence=["d"]),
                   bus("r", "0"), bus("d", "00", gate("not", ref("q")))]


def test_registers_are_counted_per_clock_and_edge(tmp_path):
    registers = [{"q": "q", "d": "d", "clock": "clk", "enable": "en", "async_reset": "rst"},
                 {"q": "r", "d": "en", "clock": "clk", "edge": "negedge"},
                 {"q": "s", "d": "r", "clock": "clk2", "async_reset": "rst"}]
    text = clocked(REGISTER_BUSSES + [bus("s", "1")], registers)
    status, out = check(tmp_path, text)
    assert status == 0
    assert out.splitlines()[5:] == [
        "registers:     3 (4 bits) in 3 clock domains",
        "  clk posedge: 1 (2 bits), 1 with an enable, 1 with an asynchronous reset",
        "  clk negedge: 1 (1 bit)",
        "  clk2 posedge: 1 (1 bit), 1 with an asynchronous reset",
        "warning: bus 's' is the q of a register, but nothing reads it",
    ]
    report = json.loads(check(tmp_path, text, "--format", "json")[1])
    assert report["registers"]["count"] == 3 and report["registers"]["bits"] == 4
    assert report["registers"]["domains"][0] == {"clock": "clk", "edge": "posedge", "registers": 1, "bits": 2,
                                                 "enables": 1, "async_resets": 1}
    assert report["errors"] == []


def test_register_busses_count_as_read_and_driven(tmp_path):
    # r is read only by the register s, whose q a port shows; q is read by d
    registers = [{"q": "q", "d": "d", "clock": "clk", "enable": "en", "async_reset": "rst"},
                 {"q": "r", "d": "en", "clock": "clk2"}, {"q": "s", "d": "r", "clock": "clk2"}]
    doc = json.loads(clocked(REGISTER_BUSSES + [bus("s", "0")], registers))
    doc["component"]["ports"] = {"s": {"direction": "output", "bits": ["s"]}}
    status, out = check(tmp_path, json.dumps(doc), "--strict", "--format", "json")
    assert status == 0 and json.loads(out)["warnings"] == []


@pytest.mark.parametrize(
    "registers, message",
    [
        ([{"q": "q", "d": "en", "clock": "clk"}], "registers[0] (q 'q'): d 'en' has 1 bit but q has 2"),
        ([{"q": "q", "d": "d"}], "registers[0]: 'clock' is missing"),
        ({"q": "q"}, "'registers' must be an array"),
    ],
)
def test_register_records_the_simulator_refuses_are_errors(registers, message, tmp_path):
    text = clocked(REGISTER_BUSSES, registers)
    status, out = check(tmp_path, text)
    assert status == 1
    errors = [line for line in out.splitlines() if line.startswith("error: ")]
    assert len(errors) == 1 and errors[0].startswith("error: Failed to render circuit: ") and message in errors[0]
    status, out = check(tmp_path, text, "--format", "json")
    assert status == 1 and message in json.loads(out)["errors"][0]["message"]


def test_a_clock_taken_as_data_is_a_warning(tmp_path):
    registers = [{"q": "q", "d": "d", "clock": "clk", "enable": "clk2"},
                 {"q": "r", "d": "en", "clock": "clk2", "edge": "negedge", "async_reset": "clk"}]
    status, out = check(tmp_path, clocked(REGISTER_BUSSES, registers), "--strict")
    assert status == 1
    assert [line for line in out.splitlines() if "clock '" in line] == [
        "warning: registers[0] (q 'q') takes the clock 'clk2' as its enable: it sees the level the clock has "
        "at each edge (0 before the rising one, 1 before the falling one)",
        "warning: registers[1] (q 'r') takes the clock 'clk' as its async_reset: it sees the level the clock has "
        "at each edge (0 before the rising one, 1 before the falling one)",
    ]


def test_a_design_that_does_not_settle_is_still_checked(tmp_path):
    # a ring of one inverter beside a register: not settling is nimbo run's to report
    busses = [bus("clk", "0"), bus("q", "0"), bus("x", "0", gate("not", ref("x")), influence=["x"])]
    status, out = check(tmp_path, clocked(busses, [{"q": "q", "d": "x", "clock": "clk"}]))
    assert status == 0 and "note: feedback" in out


def test_check_counts_the_example_counter(tmp_path):
    status, out = check(tmp_path, (EXAMPLES / "counter.json").read_text(), "--strict")
    assert status == 0
    assert out.splitlines()[5:] == ["registers:     4 (4 bits) in 1 clock domain", "  clk posedge: 4 (4 bits), 4 with an enable"]


def with_memories(busses, memories, registers=None):
    doc = json.loads(make_ir(busses))
    doc["component"]["memories"] = memories
    if registers is not None:
        doc["component"]["registers"] = registers
    return json.dumps(doc)


# A memory of 4 words of 2 bits: a RAM read asynchronously into q and synchronously into s on clk2.
MEMORY_BUSSES = [bus("clk", "0"), bus("clk2", "0"), bus("we", "0"), bus("a", "00"), bus("w", "00"),
                 bus("q", "00", influence=["y"]), bus("s", "00"), bus("y", "00", gate("not", ref("q")))]
RAM = {"name": "ram", "words": 4, "width": 2,
       "read_ports": [{"address": ["a"], "data": ["q"]}, {"clock": "clk2", "address": ["a"], "data": ["s"]}],
       "write_ports": [{"clock": "clk", "address": ["a"], "data": ["w"], "enable": ["we", "we"]}]}


def test_memories_are_listed_and_their_ports_read_and_drive_busses(tmp_path):
    doc = json.loads(with_memories(MEMORY_BUSSES, [RAM, {"name": "rom", "words": 16, "width": 1, "read_ports": [],
                                                          "write_ports": []}]))
    doc["component"]["ports"] = {"y": {"direction": "output", "bits": ["y"]}}
    status, out = check(tmp_path, json.dumps(doc))
    assert status == 0  # a warning
    assert out.splitlines()[5:] == [
        "memories:      2",
        "  ram: 4 words of 2 bits, 1 asynchronous read port, 1 synchronous read port, 1 write port",
        "  rom: 16 words of 1 bit, 0 write ports",
        "warning: bus 's' is the data of a memory read port, but nothing reads it",
    ]
    report = json.loads(check(tmp_path, json.dumps(doc), "--format", "json")[1])
    assert report["memories"][0] == {"name": "ram", "words": 4, "width": 2,
                                     "read_ports": {"asynchronous": 1, "synchronous": 1}, "write_ports": 1}
    assert report["errors"] == [] and report["notes"] == []


@pytest.mark.parametrize(
    "change, message",
    [
        ({"width": 3}, "read_ports[0]: data has 2 bits but the words have 3"),
        ({"write_ports": [{"clock": "y", "address": ["a"], "data": ["w"]}]},
         "write_ports[0]: clock 'y' has an assignment; a clock must be a bus without one (an input)"),
        ({"init": [{"word": 4, "values": ["1"]}]}, "init[0]: it runs past the last word, 3"),
        ({"read_ports": "none"}, "'read_ports' must be an array"),
    ],
)
def test_memory_records_the_simulator_refuses_are_errors(change, message, tmp_path):
    status, out = check(tmp_path, with_memories(MEMORY_BUSSES, [{**RAM, **change}]))
    assert status == 1
    errors = [line for line in out.splitlines() if line.startswith("error: ")]
    assert errors == [f"error: Failed to render circuit: memories[0] (name 'ram'): {message}"]
    assert "note: memories are not simulated yet" not in out


def test_a_memory_port_taking_a_clock_as_data_is_a_warning(tmp_path):
    ram = {**RAM, "write_ports": [{"clock": "clk", "address": ["a"], "data": ["w"], "enable": ["clk2", "we"]}]}
    status, out = check(tmp_path, with_memories(MEMORY_BUSSES, [ram]), "--strict")
    assert status == 1
    assert [line for line in out.splitlines() if "clock '" in line] == [
        "warning: memories[0] (name 'ram') write_ports[0] takes the clock 'clk2' as its enable: it sees the level "
        "the clock has at each edge (0 before the rising one, 1 before the falling one)",
    ]
