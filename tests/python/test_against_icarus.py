"""Settled values of the simulator against Icarus Verilog on the converted netlist."""

import json
import random
import shutil

import pytest

from nimbo.verilog.icarus import run_lines
from nimbo.ir import build_document, circuit_from_document, const, expression_width, gate, ref
from nimbo.verilog.netlist import ConversionError, to_verilog, vector_line

pytestmark = pytest.mark.skipif(shutil.which("iverilog") is None, reason="iverilog is not installed")

BINARY = ("and", "or", "xor", "nand", "nor", "xnor")


def bits(rng: random.Random, width: int) -> str:
    return "".join(rng.choice("01") for _ in range(width))


def random_expression(rng: random.Random, sources: dict[str, int], depth: int) -> dict:
    """A tree over all nine node kinds; leaves are refs (sometimes to a bus
    that does not exist) and constants of assorted widths."""
    if depth == 0 or rng.random() < 0.25:
        roll = rng.random()
        if roll < 0.2:
            return const(bits(rng, rng.randint(1, 6)))
        if roll < 0.25:
            return ref("no_such_bus")
        bus_id = rng.choice(sorted(sources))
        return {"type": rng.choice(("ref", "bus_ref")), "args": {"id": bus_id}}
    kind = rng.choice(("not",) + BINARY)
    if kind == "not":
        return gate("not", random_expression(rng, sources, depth - 1))
    return gate(kind, random_expression(rng, sources, depth - 1), random_expression(rng, sources, depth - 1))


def random_circuit(seed: int) -> dict:
    rng = random.Random(seed)
    widths = {f"in{i}": rng.randint(1, 5) for i in range(rng.randint(2, 4))}
    busses = [(bus_id, bits(rng, w), None) for bus_id, w in widths.items()]
    for i in range(rng.randint(3, 8)):
        expr = random_expression(rng, widths, rng.randint(1, 4))
        bus_id = f"w{i}"
        widths[bus_id] = expression_width(expr, widths)
        busses.append((bus_id, bits(rng, widths[bus_id]), expr))
    rng.shuffle(busses)  # declaration order must not matter
    return build_document(f"random{seed}", busses)


def run_icarus(tmp_path, netlist, lines: list[str]) -> list[dict[str, str]]:
    (tmp_path / "net.v").write_text(netlist.text)
    rows, _ = run_lines([tmp_path / "net.v"], netlist.module, netlist.inputs, netlist.outputs, lines, tmp_path)
    return [{p.bus_id: value for p, value in zip(netlist.outputs, row)} for row in rows]


@pytest.fixture(scope="module")
def renderer():
    core = pytest.importorskip("nimbo.core")
    return core.Renderer


@pytest.mark.parametrize("seed", range(12))
def test_random_circuit_settles_like_icarus(seed, tmp_path, renderer):
    doc = random_circuit(seed)
    circuit = circuit_from_document(doc)
    netlist = to_verilog(circuit)
    component = renderer(json.dumps(doc)).component
    rng = random.Random(1000 + seed)
    current = {b.id: b.value for b in circuit.inputs}
    expected, lines = [], []
    for _ in range(8):
        # Each step changes a random subset of the inputs.
        step = {b.id: bits(rng, b.width) for b in circuit.inputs if rng.random() < 0.7}
        current.update(step)
        values = component.update_and_get(step)
        expected.append({p.bus_id: values[p.bus_id] for p in netlist.outputs})
        lines.append(vector_line(netlist, current))
    assert run_icarus(tmp_path, netlist, lines) == expected


# Known answers for the converter alone: the cut to the smaller width keeps
# elements from 0, and element 0 is the first character.
@pytest.mark.parametrize(
    "expr, width, expected",
    [
        (gate("and", ref("a"), const("11")), 2, "11"),
        (gate("xor", ref("a"), const("0110")), 4, "1010"),
        (gate("nor", ref("b"), ref("a")), 2, "00"),
        (gate("not", gate("and", ref("a"), ref("missing"))), 1, "1"),
        (gate("xnor", const("001"), ref("b")), 2, "01"),
    ],
)
def test_converter_bit_order(expr, width, expected, tmp_path):
    doc = build_document("order", [("a", "1100", None), ("b", "10", None), ("y", "0" * width, expr)])
    netlist = to_verilog(circuit_from_document(doc))
    assert run_icarus(tmp_path, netlist, ["110010"]) == [{"y": expected}]


@pytest.mark.parametrize(
    "busses, message",
    [
        ([("a", "0", gate("not", ref("b"))), ("b", "0", gate("not", ref("a")))], "feedback"),
        ([("a", "0", gate("not", ref("a")))], "feedback"),
        ([("a", "11", None), ("y", "0", gate("not", ref("a")))], "declared with 1 bits but its assignment yields 2"),
        ([("a", "", None), ("y", "0", ref("a"))], "width 0"),
    ],
)
def test_converter_refuses_what_it_cannot_reproduce(busses, message):
    with pytest.raises(ConversionError, match=message):
        to_verilog(circuit_from_document(build_document("bad", busses)))


def test_converter_refuses_incomplete_influence_list():
    doc = build_document("stale", [("a", "0", None), ("y", "0", gate("not", ref("a")))])
    doc["component"]["busses"][0]["influence_list"] = []
    with pytest.raises(ConversionError, match="missing from its influence list"):
        to_verilog(circuit_from_document(doc))
