"""Clocked designs imported from Verilog and stepped through the plain model
of a clock cycle agree with Icarus Verilog on the original Verilog, cycle by
cycle, on random inputs."""

import random
import shutil
from pathlib import Path

import pytest

from clocked_model import ClockedModel

from nimbo.ports import expand_inputs, port_values
from nimbo.verilog.yosys import import_text, synthesize

DESIGNS = Path(__file__).resolve().parent / "designs"
pytestmark = [
    pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed"),
    pytest.mark.skipif(shutil.which("iverilog") is None, reason="iverilog is not installed"),
]

# design -> {input port: probability of a 1 in each bit}; other inputs are fair coins.
CLOCKED = {
    "counter": {"rst": 0.1, "en": 0.8},
    "fsm": {"reset": 0.05},
    "shift": {"load": 0.2},
    "async_reset": {"rst_n": 0.85, "set": 0.15},
    "edges": {},
    "ram": {"we": 0.5},
    "latch": {"rst": 0.2},
    "two_clocks": {"en": 0.7},
}


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
@pytest.mark.parametrize("design", sorted(CLOCKED))
def test_clocked_design_matches_icarus_cycle_by_cycle(design, flow, tmp_path):
    pytest.importorskip("nimbo.core")
    from nimbo.verilog import icarus

    source = DESIGNS / f"{design}.v"
    imported = import_text(synthesize([str(source)], design, flow=flow))
    clocks = clock_ports(imported)
    vectors = random_vectors(imported, clocks, 300, seed=len(design), bias=CLOCKED[design])
    expected = icarus.run([source], design, imported.ports, vectors, tmp_path, clocks=clocks).outputs
    model = ClockedModel(imported.text())
    outs = {n: p for n, p in imported.ports.items() if p.direction == "output"}
    for k, vector in enumerate(vectors):
        got = port_values(outs, model.step(expand_inputs(imported.ports, vector)))
        assert got == expected[k], f"cycle {k}: inputs {vector}"
