"""Designs imported from Verilog (with both Yosys flows, memories mapped to
registers or kept) agree with Icarus Verilog on the original Verilog, cycle
by cycle on random inputs: stepped through the plain model, run by the
engine, and run as one sequence among copies of itself in lanes."""

import json
import operator
import random
import shutil
from pathlib import Path

import pytest

from clocked_model import ClockedModel
from test_memories import agrees, readmemh_rom

from nimbo.ports import expand_inputs, port_values
from nimbo.verilog.yosys import import_text, synthesize

DESIGNS = Path(__file__).resolve().parent / "designs"
pytestmark = [
    pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed"),
    pytest.mark.skipif(shutil.which("iverilog") is None, reason="iverilog is not installed"),
]

# design -> ({input port: probability of a 1 in each bit; other inputs are
# fair coins}, memories mode, cycles)
IMPORTED = {
    "adder8": ({}, "map", 200), "alu4": ({}, "map", 200), "shapes": ({}, "map", 200), "prio": ({}, "map", 200),
    "mul6": ({}, "map", 200),
    "counter": ({"rst": 0.1, "en": 0.8}, "map", 300), "fsm": ({"reset": 0.05}, "map", 300),
    "shift": ({"load": 0.2}, "map", 300), "async_reset": ({"rst_n": 0.85, "set": 0.15}, "map", 300),
    "edges": ({}, "map", 300), "ram": ({"we": 0.5}, "map", 300), "latch": ({"rst": 0.2}, "map", 300),
    "two_clocks": ({"en": 0.7}, "map", 300),
    "ram kept": ({"we": 0.5}, "keep", 200), "memory kept": ({}, "keep", 200),
    "dual_ram kept": ({"rst": 0.1}, "keep", 200), "rom kept": ({}, "keep", 200),
    "coef_bank kept": ({"rst": 0.1, "we": 0.3}, "keep", 200),
}  # fmt: skip


def clock_ports(imported):
    clocks = set(imported.clocks)
    return [name for name, port in imported.ports.items() if port.bits[0] in clocks]


def random_vectors(imported, clocks, count, seed, bias):
    rng = random.Random(seed)
    ins = [p for p in imported.ports.values() if p.direction == "input" and p.name not in clocks]
    return [
        {p.name: "".join("1" if rng.random() < bias.get(p.name, 0.5) else "0" for _ in p.bits) for p in ins}
        for _ in range(count)
    ]


@pytest.mark.parametrize("flow", ["full", "light"])
@pytest.mark.parametrize("name", list(IMPORTED))
def test_imported_design_matches_icarus_cycle_by_cycle(name, flow, tmp_path):
    pytest.importorskip("nimbo.core")
    from nimbo import Simulator
    from nimbo.verilog import icarus

    bias, memories, count = IMPORTED[name]
    design = name.split()[0]
    source = readmemh_rom(tmp_path) if design == "rom" else DESIGNS / f"{design}.v"
    imported = import_text(synthesize([str(source)], design, flow=flow, memories=memories), memories=memories)
    # coef_bank's memory is read only at fixed addresses: kept, it is mapped.
    assert bool(imported.memories) == (memories == "keep" and design != "coef_bank")
    # Verilog starts memory words without an initial value at x, nimbo at 0.
    same = agrees if memories == "keep" else operator.eq
    clocks = clock_ports(imported)
    vectors = random_vectors(imported, clocks, count, seed=len(design), bias=bias)
    expected = icarus.run([source], design, imported.ports, vectors, tmp_path, clocks=clocks).outputs
    model = ClockedModel(imported.text())
    outputs = {n: p for n, p in imported.ports.items() if p.direction == "output"}
    for k, vector in enumerate(vectors):
        got = port_values(outputs, model.step(expand_inputs(imported.ports, vector)))
        assert same(got, expected[k]), f"cycle {k}: inputs {vector}"
    simulator = Simulator(imported.text())
    steps = [expand_inputs(imported.ports, vector) for vector in vectors]
    rows = simulator.run(steps)
    assert all(same(port_values(outputs, row), expected[k]) for k, row in enumerate(rows))
    simulator.reset()
    show = list(simulator.bus_ids)
    lines = "\n".join(json.dumps(step) for step in steps).encode()
    for values, unknown, error in simulator.run_sequences_jsonl([lines] * 70, show):
        assert (unknown, error) == ([], None)
        assert values == [tuple(row[b] for b in show) for row in rows]
