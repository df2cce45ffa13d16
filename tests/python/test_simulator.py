"""nimbo.Simulator's calls: arguments, faults and what they carry, JSON lines,
ports and Ctrl-C (test_clocked.py compares every batch form with the plain model)."""

import _thread
import functools
import json
import math
import operator
import random
import signal
import subprocess
import sys
import textwrap

import pytest

import nimbo
from nimbo import Simulator, VectorError
from nimbo.core import Renderer

from conftest import XOR_IR, bus, byte_grid, gate, make_ir, random_circuit, random_vectors, ref

FULL_ADDER = make_ir(
    [
        bus("a", "0", influence=["p", "cout"]),
        bus("b", "0", influence=["p", "cout"]),
        bus("cin", "0", influence=["sum", "cout"]),
        bus("p", "0", gate("xor", ref("a"), ref("b")), ["sum", "cout"]),
        bus("sum", "0", gate("xor", ref("p"), ref("cin"))),
        bus("cout", "0", gate("or", gate("and", ref("a"), ref("b")), gate("and", ref("p"), ref("cin")))),
    ]
)


def test_a_bad_vector_names_itself_and_keeps_the_good_ones():
    simulator = Simulator(FULL_ADDER)
    vectors = [{"a": "1"}, {"b": "1", "nope": "1"}, {"cin": "1", "a": "10"}, {"a": "0"}]
    with pytest.raises(VectorError) as caught:
        simulator.run(vectors, show=["sum", "cout"], allow_unknown=True)
    error = caught.value
    assert (error.index, error.bus, error.line) == (2, "a", None)
    assert error.reason == 'Invalid value "10". The value must have 1 bits.'
    assert str(error) == "vector 2, bus 'a': " + error.reason
    assert error.results == [{"sum": "1", "cout": "0"}, {"sum": "0", "cout": "1"}]
    # The state is that after vector 1: the bad vector wrote nothing (not even cin).
    assert simulator.values() == {"a": "1", "b": "1", "cin": "0", "p": "0", "sum": "0", "cout": "1"}


def test_an_iterator_that_fails_applies_the_vectors_before_it():
    simulator = Simulator(FULL_ADDER)

    def vectors():
        yield {"a": "1"}
        yield {"b": "1"}
        raise LookupError("source ran dry")

    with pytest.raises(LookupError, match="source ran dry"):
        simulator.run(vectors())
    assert simulator.values(["a", "b", "cout"]) == {"a": "1", "b": "1", "cout": "1"}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.run([["a", "1"]]), TypeError, "vector 0: expected 'dict', got 'list'"),
        (lambda s: s.run([{"a": 1}]), TypeError, "vector 0: expected 'str' value for key 'a', got 'int'"),
        (lambda s: s.run([{}], show=["nope"]), ValueError, "argument 'show': no bus named 'nope'"),
        (lambda s: s.update({"a": "1", "cn": "1"}), ValueError,
         r"argument 'inputs': no bus named 'cn' \(did you mean 'cin'\?\); allow_unknown=True skips"),
        (lambda s: s.step({"a": "1", "zz": "1"}), ValueError, "argument 'inputs': no bus named 'zz'; allow"),
        (lambda s: s.update({"q" * 100: "1"}), ValueError, r"no bus named 'q{40}'\.\.\. \(100 characters\);"),
        (lambda s: s.run([{"a": "0"}, {"bb": "1"}]), ValueError, r"vector 1: no bus named 'bb' \(did you mean 'b'\?\)"),
        (lambda s: s.update({"a": "2"}), RuntimeError, 'Invalid value "2"'),
        (lambda s: s.run_bits(["a", "b"], memoryview(b"\x00\x01\x01").cast("B", (1, 3)), ["sum"]),
         ValueError, "the inputs have 2 bits but the rows have 3 columns"),
        (lambda s: s.run_bits(["a"], b"\x01", ["sum"]), TypeError, "2-D buffer"),
        (lambda s: s.run_bits(["nope"], memoryview(b"\x01").cast("B", (1, 1)), ["sum"]),
         ValueError, "argument 'inputs': no bus named 'nope'"),
    ],
)
def test_argument_errors(call, error, message):
    simulator = Simulator(FULL_ADDER)
    with pytest.raises(error, match=message):
        call(simulator)
    assert simulator.values()["a"] == "0"


def test_names_that_are_not_there_are_skipped_when_allowed():
    simulator = Simulator(FULL_ADDER)
    simulator.update({"a": "1", "cn": "1"}, allow_unknown=True)
    simulator.step({"b": "1", "zz": "0"}, allow_unknown=True)
    assert simulator.run([{"nope": "1"}], show=["sum", "cout"], allow_unknown=True) == [{"sum": "0", "cout": "1"}]


def test_run_bits_refuses_a_byte_that_is_not_a_bit():
    simulator = Simulator(FULL_ADDER)
    grid = memoryview(bytes([1, 0, 0, 1, 2, 0])).cast("B", (2, 3))
    with pytest.raises(VectorError) as caught:
        simulator.run_bits(["a", "b", "cin"], grid, ["sum", "cout"])
    assert (caught.value.index, caught.value.bus) == (1, "b")
    assert caught.value.results.tolist() == [[1, 0]]


# Every byte 1 but one 2 at `bad` (a row, or (sequence, step)) when given.
EMPTY_GRIDS = [
    # inputs, data shape, bad, outputs, the rows given back
    (["a", "b"], (0, 2), None, ["sum", "cout"], []),
    (["a", "b"], (3, 2), None, [], [[], [], []]),
    ([], (3, 0), None, ["sum"], [[0], [0], [0]]),
    (["a", "b"], (3, 2), 0, ["sum", "cout"], []),
    (["a", "b"], (9, 2), 0, ["cout"], []),
    (["a", "b"], (0, 4, 2), None, ["sum"], []),
    (["a", "b"], (3, 0, 2), None, ["sum"], [[], [], []]),
    (["a", "b"], (2, 4, 2), None, [], [[[]] * 4] * 2),
    (["a", "b"], (2, 4, 2), (0, 0), ["sum", "cout"], [[[0, 0]] * 4, [[0, 1]] * 4]),
]


@pytest.mark.parametrize("inputs, shape, bad, outputs, rows", EMPTY_GRIDS)
def test_byte_batches_without_rows_or_outputs_give_grids_of_that_shape(inputs, shape, bad, outputs, rows):
    data = bytearray(b"\x01" * math.prod(shape))
    if bad is not None:
        data[(bad if len(shape) == 2 else bad[0] * shape[1] + bad[1]) * shape[-1]] = 2
    simulator = Simulator(FULL_ADDER)
    run = simulator.run_bits if len(shape) == 2 else simulator.run_sequences
    if bad is None:
        out = run(inputs, byte_grid(bytes(data), *shape), outputs)
    else:
        with pytest.raises(VectorError) as caught:
            run(inputs, byte_grid(bytes(data), *shape), outputs)
        assert (caught.value.index, caught.value.bus) == (0, "a")
        out = caught.value.results
    columns = sum(len(simulator.values([b])[b]) for b in outputs)
    expected_shape = (0 if bad is not None and len(shape) == 2 else shape[0], *shape[1:-1], columns)
    assert (out.shape, out.format, out.tolist()) == (expected_shape, "B", rows)
    # Rows of bytes that ran leave their last state; sequences leave none.
    ran = len(shape) == 2 and bad is None and shape[0] > 0 and inputs
    assert simulator.values()["cout"] == ("1" if ran else "0")


# Every refusal of a line is in tests/cpp/test_vector_lines.cpp; here the
# fault as Python sees it, for a refusal of the reader, of its nesting bound
# and of the bus.
@pytest.mark.parametrize(
    "text, line, bus_id, reason",
    [
        (b'{"a": "1"}\n\n{"a": 1}\n', 3, "a", "the value must be a bit string in quotes"),
        (b"[" * 10000 + b"]" * 10000, 1, None, "invalid JSON: column 128: nesting deeper"),
        (b'{"a": "1"}\n{"a": "x"}\n', 2, "a", 'Invalid value "x"'),
    ],
)
def test_jsonl_faults_name_their_line(text, line, bus_id, reason):
    simulator = Simulator(FULL_ADDER)
    with pytest.raises(VectorError) as caught:
        simulator.run_jsonl(text, ["sum"], first_line=1)
    assert (caught.value.line, caught.value.bus) == (line, bus_id)
    assert caught.value.reason.startswith(reason)
    assert caught.value.results == ([("1",)] if line > 1 else [])


@pytest.mark.parametrize("seed", range(3))
def test_an_id_given_twice_in_a_line_is_read_as_json_loads_reads_it(seed):
    # The native reader against json.loads and run(): an id takes the value
    # of its last occurrence, at the place of its first; values it replaces
    # are not checked.
    rng = random.Random(seed)
    values = ['"0"', '"1"', '"1"', '"0"', '"x"', '"11"', '"\\u0031"', "5", "null", "[1]", '{"a": 2}',
              "1e999999999999999", "-2E-999999999999"]
    native, model = Simulator(FULL_ADDER), Simulator(FULL_ADDER)
    for _ in range(300):
        members = [f'"{rng.choice(["a", "b", "cin", "zz"])}": {rng.choice(values)}' for _ in range(rng.randrange(6))]
        line = "{" + ", ".join(members) + "}"
        vector = json.loads(line)
        not_bits = [bus_id for bus_id, bits in vector.items() if not isinstance(bits, str)]
        try:
            expected = model.run([vector], ["sum", "cout"], allow_unknown=True) if not not_bits else None
        except VectorError as error:
            expected = (error.bus, error.reason)
        if not_bits:
            expected = (not_bits[0], "the value must be a bit string in quotes")
        try:
            got = native.run_jsonl(line.encode(), ["sum", "cout"])
            got = ([dict(zip(["sum", "cout"], row)) for row in got[0]], got[1])
            expected = (expected, [(1, "zz")] if "zz" in vector else [])
        except VectorError as error:
            got = (error.bus, error.reason)
        assert got == expected, line
        assert native.values() == model.values()


def test_jsonl_reports_unknown_ids_once_and_numbers_lines_across_calls():
    simulator = Simulator(FULL_ADDER)
    values, unknown = simulator.run_jsonl(b'{"x": "1", "a": "1"}\n\r\n{"x": "0", "y": "1"}\n', ["sum"], 41)
    assert values == [("1",), ("1",)]
    assert unknown == [(41, "x"), (43, "y")]
    assert simulator.next_line == 44
    # A block without a last newline ends on its last line; a failed call counts all of its lines.
    assert simulator.run_jsonl(b'{"zz": "0"}', ["sum"], simulator.next_line)[1] == [(44, "zz")]
    assert simulator.next_line == 44
    with pytest.raises(VectorError) as caught:
        simulator.run_jsonl(b'\n{"a": "2"}\n\n', ["sum"], 44, threads=2)
    assert (caught.value.line, simulator.next_line) == (45, 47)


def test_jsonl_reads_ports_and_numbers_when_given_ports():
    simulator = Simulator(FULL_ADDER)
    ports = {"ab": ["a", "b"], "c": ["cin"], "a": ["b"]}  # a port comes before the bus of its name
    # A repeated name's last value at its first place: port a writes b 1, then ab writes a 0 and b 1.
    # The column "a" shows port a: bus b.
    data = b'{"ab": "0b10"}\n{"ab": 3, "c": "1"}\n{"a": "0", "ab": "01", "a": 1}\n{"zz": "0x1"}\n'
    assert simulator.run_jsonl(data, ["a", "b", "cin", "sum"], ports=ports) == (
        [("1", "1", "0", "1"), ("1", "1", "1", "1"), ("1", "1", "1", "0"), ("1", "1", "1", "0")], [(4, "zz")])
    assert simulator.values(["a"]) == {"a": "0"}  # the bus
    with pytest.raises(VectorError) as caught:
        simulator.run_jsonl(b'{"c": "1"}\n{"ab": "0x4"}\n', ["sum"], ports=ports)
    assert (caught.value.index, caught.value.line, caught.value.bus) == (1, 2, "ab")
    assert caught.value.reason == '"0x4" does not fit in 2 bits'
    # Without ports, a number is no bit string.
    with pytest.raises(VectorError, match="the value must be a bit string in quotes"):
        simulator.run_jsonl(b'{"a": 1}\n', ["sum"])
    for wrong, error in (([("ab", ["a"])], TypeError), ({"ab": ["nowhere"]}, ValueError), ({"ab": []}, ValueError)):
        with pytest.raises(error, match="argument 'ports'"):
            simulator.run_jsonl(data, ["sum"], ports=wrong)


def test_jsonl_shows_ports_by_name_as_their_busses_side_by_side():
    simulator = Simulator(FULL_ADDER)
    ports = {"ab": ["a", "b"], "c": ["cin"]}
    data = b'{"ab": "0b10"}\n{"ab": 3, "c": 1}\n'
    assert simulator.run_jsonl(data, ["ab", "sum", "c"], ports=ports)[0] == [("01", "1", "0"), ("11", "1", "1")]
    simulator.reset()
    text, _ = simulator.run_jsonl(data, ["sum", "ab"], ports=ports, layout=(1, 1, ["", " ", " ", "\n"]))
    assert text == "1 1 01\n2 1 11\n"
    simulator.reset()
    # Columns count names: ab in binary, most significant bit first.
    layout = (1, 1, ["", " ", " ", "\n"], [(1, None, 0), (1, "bin", 0)])
    assert simulator.run_jsonl(data, ["sum", "ab"], ports=ports, layout=layout)[0] == "1 1 0b10\n2 1 0b11\n"
    simulator.reset()
    runs = simulator.run_sequences_jsonl([data, b'{"c": 1}\n'], ["ab", "sum"], ports=ports)
    assert [values for values, _, _ in runs] == [[("01", "1"), ("11", "1")], [("00", "1")]]
    with pytest.raises(ValueError, match="argument 'show': no bus or port named 'nope'"):
        simulator.run_sequences_jsonl([data], ["nope"], ports=ports)
    with pytest.raises(ValueError, match="argument 'show': no bus named 'ab'"):
        simulator.run_jsonl(data, ["ab"])  # without ports, shown names are busses


@pytest.mark.parametrize(
    "line, kind, bus, value, detail, number, port",
    [
        (b'{"a": ', "json", None, None, None, False, False),
        (b"[1]", "object", None, None, None, False, False),
        (b'{"a": 1.5}', "type", "a", None, None, False, False),
        (b'{"ab": "0x4"}', "value", "ab", "0x4", "does not fit in 2 bits", False, True),
        (b'{"a": -2}', "value", "a", "-2", "does not fit in 1 bit", True, False),
        (b'{"a": 1%s}' % (b"0" * 100_000), "value", "a", "1" + "0" * 100_000, "does not fit in 1 bit", True, False),
    ],
)
def test_a_refused_line_says_why_as_data(line, kind, bus, value, detail, number, port):
    simulator = Simulator(FULL_ADDER)
    with pytest.raises(VectorError) as caught:
        simulator.run_jsonl(b'{"zz": 1}\n' + line + b'\n{"yy": 1}\n', ["sum"], ports={"ab": ["a", "b"]})
    error = caught.value
    assert (error.index, error.line, error.results) == (1, 2, [("0",)])
    assert (error.kind, error.bus, error.value, error.detail, error.number, error.port) == (
        kind, bus, value, detail, number, port)
    assert error.unknown == [(1, "zz")]  # the ids that name nothing, up to the refused line


def test_read_inputs_reads_values_as_lines_do():
    doc = json.loads(make_ir([bus("clk", "0"), bus("en", "0"), bus("step", "000"), bus("q", "000")]))
    doc["component"]["registers"] = [{"q": "q", "d": "step", "clock": "clk", "enable": "en"}]
    simulator = Simulator(json.dumps(doc))
    ports = {"s": ["step"], "e": ["en"]}
    assert simulator.read_inputs({"s": "1", "en": 1}, ports=ports) == {"step": "100", "en": "1"}
    assert simulator.port_widths(ports) == {"s": 3, "e": 1}
    assert simulator.read_inputs({"s": "6", "step": -1}, ports=ports) == {"step": "111"}  # one bus, written twice
    assert simulator.bit_strings == []
    assert simulator.read_inputs({"s": "110"}, ports=ports) == {"step": "110"}
    assert simulator.bit_strings == []  # of its width: bits; one hundred and ten cannot be meant
    assert simulator.read_inputs({"s": "001"}, ports=ports) == {"step": "001"}
    assert simulator.bit_strings == [(0, "s", "001")]  # bits, where the number one may have been meant
    with pytest.raises(VectorError) as caught:
        simulator.read_inputs({"en": 1, "s": 8}, ports=ports)
    error = caught.value
    assert (error.kind, error.bus, error.port, error.value, error.detail) == ("value", "s", True, 8, "does not fit in 3 bits")
    with pytest.raises(VectorError, match="bus 'clk' is a clock") as caught:
        simulator.read_inputs({"clk": "1"})
    assert (caught.value.kind, caught.value.bus) == ("run", "clk")
    with pytest.raises(ValueError, match="no bus named 'zz'"):
        simulator.read_inputs({"zz": "1"}, ports=ports)
    assert simulator.read_inputs({"zz": "1"}, allow_unknown=True) == {}
    for wrong, error_type in (([("s", "1")], TypeError), ({1: "1"}, TypeError), ({"s": 1.5}, TypeError)):
        with pytest.raises(error_type, match="argument 'inputs'"):
            simulator.read_inputs(wrong, ports=ports)
    assert simulator.values(["q", "step"]) == {"q": "000", "step": "000"}  # nothing was written


WIDE_PORT = {"p": [f"p[{i}]" for i in range(4096)]}


def wide_port():
    """y = p[4095] and z = p[4095] xor p[0] over the port p of 4096 one-bit busses."""
    from nimbo.build import Circuit

    c = Circuit("wide")
    p = c.inputs("p", 4096)
    c.output("y", p[4095])
    c.output("z", p[4095] ^ p[0])
    return c.to_ir()


def test_jsonl_holds_bounded_room_for_ports_written_in_few_characters():
    """A port of many bits written as -1 holds far more than its text: a
    block is read and run a piece at a time, with the same rows and faults."""
    simulator, ports = Simulator(wide_port()), WIDE_PORT
    data = b'{"p": -1}\n{"p": 0}\n' * 4000 + b'{"p": "0x1"}\n'
    rows, unknown = simulator.run_jsonl(data, ["y"], ports=ports, threads=2)
    assert rows == [("1",), ("0",)] * 4000 + [("0",)] and unknown == []
    with pytest.raises(VectorError) as caught:
        simulator.run_jsonl(data + b'{"p": "x"}\n', ["y"], 10, ports=ports, layout=(1, 5, ["", " ", "\n"]))
    assert (caught.value.index, caught.value.line) == (8001, 8011)
    shown = caught.value.results.splitlines()
    assert (len(shown), shown[0], shown[-1]) == (8001, "    1 1", " 8001 0")


@pytest.mark.parametrize("tail", [b"", b'{"p": "x"}\n', b'{"p": 1, "zz": "1"}\n\n\n{"p": 2.5}\n'])
def test_sequences_of_many_pieces_give_what_each_gives_alone(tail):
    """Sequences are read a piece at a time and packed: each gives the rows,
    unknown ids (once, at their first line) and faulty line that run_jsonl
    gives it alone, line numbers counted across blank lines and pieces."""
    ir, ports = wide_port(), WIDE_PORT
    rng = random.Random(3)
    blocks = []
    for length in (1, 2000, 3000):
        lines = [rng.choice([b'{"p": -1}', b'{"p": 0}', b'{"p": 1, "zz": "0"}', b"", b'{"p[4095]": "1"}'])
                 for _ in range(length)]
        blocks.append(b"\n".join(lines) + b"\n" + tail)
    together = Simulator(ir).run_sequences_jsonl(blocks, ["z", "p[0]"], ports=ports)
    for block, (values, unknown, error) in zip(blocks, together):
        alone = Simulator(ir)
        try:
            expected, expected_unknown = alone.run_jsonl(block, ["z", "p[0]"], ports=ports)
            expected_error = None
        except VectorError as caught:
            expected, expected_unknown = caught.results, caught.unknown
            expected_error = (caught.index, caught.line, caught.bus, caught.reason)
        assert (values, unknown) == (list(expected), expected_unknown)
        assert (error and (error.index, error.line, error.bus, error.reason)) == expected_error


def test_update_is_atomic_and_fast_path_keys_behave_like_text():
    class Key(str):
        def __hash__(self):
            return 7

        def __eq__(self, other):
            return True

    for target in (Simulator(FULL_ADDER), Renderer(FULL_ADDER).component):
        write = target.update if isinstance(target, Simulator) else target.update_signals
        read = target.values if isinstance(target, Simulator) else target.get_values
        write({"a": "1"})
        before = read()
        with pytest.raises(RuntimeError, match="must have 1 bits"):
            write({"b": "1", "cin": "11"})
        assert read() == before
        # A str subclass finds its bus by its text, whatever it says about equality.
        write({Key("b"): "1", Key("zz"): "1"})
        assert read()["b"] == "1" and read()["cout"] == "1"


def test_reset_and_introspection():
    simulator = Simulator(XOR_IR)
    assert simulator.id == "xor_top"
    assert simulator.bus_ids == ("a", "b", "y", "w")
    assert simulator.driven == (False, False, True, False)
    assert simulator.widths() == (1, 1, 1, 4)
    assert simulator.one_pass and not simulator.feedback
    assert simulator.stats() == {"busses": 4, "driven": 1, "gates": 1, "influence_entries": 2}
    simulator.update({"a": "1"})
    simulator.reset()
    assert simulator.values() == Renderer(XOR_IR).component.get_values()


def test_panic_exception_is_one_type_for_both_modules():
    assert issubclass(nimbo.PanicException, BaseException)
    assert not issubclass(nimbo.PanicException, Exception)
    assert nimbo.PanicException.__module__ == "nimbo"


# A chain of inverters declared in reverse order with one influence entry
# left out: no feedback, so no bound, but the worklist re-evaluates the chain
# again and again (quadratic work) -- a long update to interrupt.
SLOW_CHAIN = """
import json, signal, sys
# A shell may start background jobs with SIGINT ignored; Python then keeps
# it ignored. This child wants the usual Ctrl-C behaviour.
signal.signal(signal.SIGINT, signal.default_int_handler)
from nimbo.ir import gate, ref
n = 60000
busses = [{"id": "x0", "value": "0", "influence_list": ["x1"]}]
for i in range(1, n):
    entry = {"id": f"x{i}", "value": "0", "assignment": gate("not", ref(f"x{i-1}"))}
    if i + 1 < n and i != n // 2:
        entry["influence_list"] = [f"x{i+1}"]
    busses.append(entry)
busses.reverse()
ir = json.dumps({"component": {"id": "chain", "busses": busses}})
"""


@pytest.mark.parametrize("api", ["component", "simulator"])
def test_ctrl_c_interrupts_a_long_update(api):
    # The component's first update is the long one; a simulator makes that
    # update while it is constructed.
    script = SLOW_CHAIN + textwrap.dedent(
        f"""
        from nimbo import Simulator
        from nimbo.core import Renderer
        component = Renderer(ir).component
        try:
            # A signal that comes at once still lands inside the try; the
            # update is long enough that it nearly always lands in the update.
            print("READY", flush=True)
            if "{api}" == "component":
                component.update_signals({{"x0": "1"}})
            else:
                Simulator(ir)
            print("FINISHED")
        except KeyboardInterrupt:
            print("INTERRUPTED")
        print(len(component.get_values()))
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "READY"
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=300)
    assert out.split() == ["INTERRUPTED", "60000"]


WIDE = make_ir([bus("x0", "0")] + [bus(f"x{i}", "0", gate("not", ref(f"x{i - 1}"))) for i in range(1, 20000)])


def first_call(kind):
    """The call, made of C callables only (a Python frame would take a pending
    interrupt as it starts), and what it returns when it runs to its end."""
    if kind == "Simulator":
        return functools.partial(Simulator, WIDE), lambda got: isinstance(got, Simulator)
    if kind == "Simulator.bus_ids":
        return functools.partial(getattr, Simulator(WIDE), "bus_ids"), lambda got: got[-1] == "x19999"
    if kind == "Simulator.update":
        simulator = Simulator(WIDE)
        return (functools.partial(simulator.update, {"x0": "1"}),
                lambda got: got is None and simulator.values(["x19999"]) == {"x19999": "0"})
    component = Renderer(WIDE).component
    return functools.partial(component.update_and_get, {"x0": "1"}), lambda got: got["x19999"] == "0"


@pytest.fixture
def ctrl_c_raises():
    """SIGINT handled as Python's default does, also when the tests run where
    it is ignored (a shell starts background jobs so, and Python keeps it)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("kind", ["Simulator", "Simulator.bus_ids", "Simulator.update", "Component"])
def test_a_pending_ctrl_c_stops_binding_and_key_building_and_the_object_stays_usable(kind, ctrl_c_raises):
    call, ran = first_call(kind)
    # The interrupt is pending when the call starts, with no Python code in
    # between to take it: the call itself must deliver it, before its end.
    done = []
    with pytest.raises(KeyboardInterrupt):
        done.extend(map(operator.methodcaller("__call__"), [_thread.interrupt_main, call]))
    assert done == [None]
    assert ran(call())


def test_ctrl_c_reaches_the_main_thread_while_another_runs_a_long_call():
    # Only the main thread takes signals: a long call on another thread lets
    # it run now and then, so Ctrl-C ends the main thread's wait while that
    # call (minutes of worklist) still runs.
    script = SLOW_CHAIN.replace("n = 60000", "n = 300000") + textwrap.dedent(
        """
        import os, threading
        from nimbo import Simulator
        ended = threading.Event()
        def construct():
            Simulator(ir)
            ended.set()
        worker = threading.Thread(target=construct, daemon=True)
        worker.start()
        try:  # a signal that comes as READY is written is taken inside
            print("READY", flush=True)
            worker.join()
            print("FINISHED", flush=True)
        except KeyboardInterrupt:
            print("INTERRUPTED", "ended" if ended.is_set() else "running", flush=True)
        os._exit(0)
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "READY"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=200)
    finally:
        child.kill()
        child.wait()
    assert out.split() == ["INTERRUPTED", "running"]


def test_jsonl_rows_as_text_match_the_tuples_across_a_large_block():
    rng = random.Random(11)
    ir, inputs = random_circuit(rng, busses=40, widths=(1, 3))
    vectors = random_vectors(rng, inputs, 3000)
    vectors[100]["nope"] = "1"
    vectors[2500]["also_nope"] = "1"
    data = ("\n".join(json.dumps(v) for v in vectors) + "\n").encode()
    assert len(data) > 64 * 1024  # read in two halves
    simulator = Simulator(ir)
    show = list(simulator.bus_ids[:5])
    rows, unknown = simulator.run_jsonl(data, show, 7)  # one thread
    assert unknown == [(107, "nope"), (2507, "also_nope")]
    simulator.reset()
    fragments = ["<", ">"] + [f"|{k}|" for k in range(len(show) - 1)] + ["|\n"]
    text, _ = simulator.run_jsonl(data, show, 7, layout=(3, 5, fragments), threads=2)
    expected = "".join(
        fragments[0] + f"{3 + k:>5}" + fragments[1] + "".join(v + f for v, f in zip(row, fragments[2:]))
        for k, row in enumerate(rows)
    )
    assert text == expected
    # Steps wider than their column push the row along; a column wider than 64 is refused.
    simulator.reset()
    narrow, _ = simulator.run_jsonl(data, show, 7, layout=(998, 1, ["", " ", *fragments[2:]]))
    assert narrow.splitlines()[:3] == [f"{998 + k} " + "".join(v + f for v, f in zip(rows[k], fragments[2:])).rstrip("\n")
                                       for k in range(3)]
    with pytest.raises(ValueError, match="step_width must be at most 64"):
        simulator.run_jsonl(data, show, 7, layout=(1, 65, fragments))

    # A fault in the second half: the rows before it, its own line.
    lines = data.decode().splitlines()
    lines[2800] = '{"' + next(iter(inputs)) + '": 5}'
    simulator.reset()
    with pytest.raises(VectorError) as caught:
        simulator.run_jsonl(("\n".join(lines) + "\n").encode(), show, 7, layout=(3, 5, fragments), threads=2)
    assert (caught.value.line, caught.value.index) == (2807, 2800)
    assert caught.value.results == "".join(expected.splitlines(keepends=True)[:2800])
