"""Testbenches in Python, cycle by cycle: nimbo's Design against PyRTL.

    python bench/testbench/run.py [--cycles 100000] [--quick] [--no-pyrtl]

Three tables, every figure measured in this one run:

1. The FIFO testbench (fifo.v: 16 bytes over a memory; model.py: random
   push/pop/din and a Python model checked against the outputs every
   cycle) in nimbo (``Design.step``) and in PyRTL's FastSimulation (the
   same FIFO in PyRTL, pyrtl_fifo.py, run in a venv of its own under
   build/bench-pyrtl that this script makes with pip). The outputs of every
   cycle are compared.
2. ``Design.step`` (ints in, every output back as ints) against
   ``Simulator.step`` (a ready dict of bus bit strings, no output read) per
   cycle, on a 4-bit counter, on the risc16 processor of bench/clocked and,
   when bench/clocked/run.py has left its IR in bench/out/clocked, on the
   rv32sys RISC-V system.
3. ``Design.lanes(256)`` stepping 256 FIFO sequences together from Python,
   outputs read every cycle, against ``Simulator.run_sequences`` running
   the same vectors in one call; outputs compared.

Results: stdout and bench/out/testbench/results.md.
"""

from __future__ import annotations

import argparse
import json
import random
import subprocess
import sys
import time
import warnings
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
OUT = ROOT / "bench" / "out" / "testbench"
PYRTL_VENV = ROOT / "build" / "bench-pyrtl"
sys.path.insert(0, str(HERE))

from model import FifoModel, vectors  # noqa: E402

from nimbo import Design  # noqa: E402
from nimbo.ports import ports_from_text  # noqa: E402

OUTPUTS = ("dout", "empty", "full", "count")


def load(sources: list[Path], top: str) -> Design:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return Design.from_verilog(sources, top, cache_dir=OUT / "cache")


def nimbo_fifo(stimulus: list[tuple[int, int, int]]) -> tuple[float, list[tuple[int, ...]]]:
    design = load([HERE / "fifo.v"], "fifo")
    model = FifoModel()
    outputs = []
    step = design.step
    start = time.perf_counter()
    now = tuple(design[name] for name in OUTPUTS)
    for push, pop, din in stimulus:
        model.check(*now)
        model.apply(push, pop, din)
        outputs.append(now)
        got = step(push=push, pop=pop, din=din)
        now = (got["dout"], got["empty"], got["full"], got["count"])
    return time.perf_counter() - start, outputs


def pyrtl_fifo(stimulus: list[tuple[int, int, int]]) -> tuple[float, list[tuple[int, ...]], str]:
    python = PYRTL_VENV / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(PYRTL_VENV)], check=True)
    if subprocess.run([str(python), "-c", "import pyrtl"], capture_output=True).returncode != 0:
        subprocess.run([str(python), "-m", "pip", "install", "-q", "pyrtl"], check=True)
    version = subprocess.run([str(python), "-m", "pip", "show", "pyrtl"], capture_output=True, text=True).stdout
    version = next((line.split()[1] for line in version.splitlines() if line.startswith("Version:")), "?")
    given, got = OUT / "vectors.json", OUT / "pyrtl.json"
    given.write_text(json.dumps(stimulus))
    subprocess.run([str(python), str(HERE / "pyrtl_fifo.py"), str(given), str(got)], check=True, cwd=HERE)
    result = json.loads(got.read_text())
    return result["seconds"], [tuple(row) for row in result["outputs"]], version


def per_step(run: Callable[[], None], count: int) -> float:
    """Seconds per call of the best of three timed loops of `count` calls."""
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(count):
            run()
        best = min(best, (time.perf_counter() - start) / count)
    return best


def step_costs(quick: bool) -> list[tuple[str, float, float]]:
    """(design, Simulator.step s, Design.step s) per cycle."""
    from nimbo.build import Circuit

    c = Circuit("counter4")
    count = c.register("count", 4, enable=c.input("en"))
    count.next = count + 1
    c.output("value", count)
    counter = Design(c.to_ir())
    risc = load([ROOT / "bench/clocked/designs/risc16.v", ROOT / "bench/clocked/designs/risc16_rom.v"], "risc16")
    risc.step(rst=1, run=1, in_port=0)
    cases = [("counter4", counter, {"en": 1}, 20_000 if quick else 200_000),
             ("risc16", risc, {"rst": 0, "run": 1, "in_port": 1234}, 2_000 if quick else 20_000)]
    # The RISC-V system of bench/clocked, when its run has left the IR there.
    rv32 = ROOT / "bench/out/clocked/rv32sys/ir.json"
    if rv32.exists() and not quick:
        system = Design.load(rv32)
        system.step(rst=1, seed=7)
        cases.append(("rv32sys", system, {"rst": 0, "seed": 7}, 3_000))
    rows = []
    for name, design, given, count in cases:
        ports = {n: list(p.bits) for n, p in ports_from_text(design.ir).items()}
        busses = design.simulator.read_inputs(dict(given), ports={n: ports[n] for n in given if n in ports})
        sim_step, design_step = design.simulator.step, design.step
        simulator_s = per_step(lambda: sim_step(busses), count)
        design_s = per_step(lambda: design_step(given), count)
        rows.append((name, simulator_s, design_s))
    return rows


def lanes_against_sequences(sequences: int, cycles: int) -> tuple[float, float]:
    """Seconds per sequence-cycle: Design.lanes stepped from Python, and Simulator.run_sequences."""
    design = load([HERE / "fifo.v"], "fifo")
    rng = random.Random(2)
    push = [[int(rng.random() < 0.55) for _ in range(sequences)] for _ in range(cycles)]
    pop = [[int(rng.random() < 0.45) for _ in range(sequences)] for _ in range(cycles)]
    din = [[rng.randrange(256) for _ in range(sequences)] for _ in range(cycles)]

    lanes = design.lanes(sequences)
    got_lanes = []
    start = time.perf_counter()
    step = lanes.step
    for c in range(cycles):
        got = step(push=push[c], pop=pop[c], din=din[c])
        got_lanes.append((got["dout"], got["count"]))
    lanes_s = time.perf_counter() - start

    sim = design.simulator
    widths = dict(zip(sim.bus_ids, sim.widths()))
    ports = ports_from_text(design.ir)
    columns: list[tuple[str, int, int]] = []  # (bus, its width, the bit of the port it starts at)
    for name in ("push", "pop", "din"):
        bits = ports[name].bits
        at = 0
        for bus in bits:
            columns.append((name, widths[bus], at))
            at += widths[bus]
    in_ids = [bus for name in ("push", "pop", "din") for bus in ports[name].bits]
    values = {"push": push, "pop": pop, "din": din}
    data = bytearray()
    for s in range(sequences):
        for c in range(cycles):
            for name, width, at in columns:
                value = values[name][c][s] >> at
                data.extend((value >> b) & 1 for b in range(width))
    width = sum(w for _, w, _ in columns)
    cube = memoryview(bytes(data)).cast("B", (sequences, cycles, width))
    out_names = ("dout", "count")
    out_ids = [bus for name in out_names for bus in ports[name].bits]
    start = time.perf_counter()
    result = sim.run_sequences(in_ids, cube, out_ids)
    sequences_s = time.perf_counter() - start

    # The same outputs, sequence by sequence, step by step.
    out_widths = [widths[b] for b in out_ids]
    flat = bytes(result)
    row = sum(out_widths)
    for s in range(sequences):
        for c in range(cycles):
            bits = flat[(s * cycles + c) * row:(s * cycles + c + 1) * row]
            numbers, at = [], 0
            for name in out_names:
                value, shift = 0, 0
                for bus in ports[name].bits:
                    for b in range(widths[bus]):
                        value |= bits[at] << shift
                        at += 1
                        shift += 1
                numbers.append(value)
            expected = (got_lanes[c][0][s], got_lanes[c][1][s])
            if tuple(numbers) != expected:
                raise AssertionError(f"sequence {s} step {c}: run_sequences {numbers}, lanes {expected}")
    per = sequences * cycles
    return lanes_s / per, sequences_s / per


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=100_000)
    parser.add_argument("--quick", action="store_true", help="fewer cycles everywhere")
    parser.add_argument("--no-pyrtl", action="store_true", help="leave PyRTL out")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    cycles = 10_000 if args.quick else args.cycles
    stimulus = vectors(cycles)
    lines = [f"FIFO testbench, {cycles} cycles, model checked every cycle:", "",
             "| simulator | seconds | µs per cycle | vs nimbo |", "|---|---:|---:|---:|"]  # fmt: skip
    nimbo_s, nimbo_out = nimbo_fifo(stimulus)
    lines.append(f"| nimbo Design.step | {nimbo_s:.2f} | {nimbo_s / cycles * 1e6:.2f} | 1.00 |")
    if not args.no_pyrtl:
        pyrtl_s, pyrtl_out, version = pyrtl_fifo(stimulus)
        if pyrtl_out != nimbo_out:
            first = next(i for i, (a, b) in enumerate(zip(nimbo_out, pyrtl_out)) if a != b)
            raise SystemExit(f"outputs differ at cycle {first}: nimbo {nimbo_out[first]}, PyRTL {pyrtl_out[first]}")
        lines.append(f"| PyRTL {version} FastSimulation | {pyrtl_s:.2f} | {pyrtl_s / cycles * 1e6:.2f} | "
                     f"{pyrtl_s / nimbo_s:.2f} |")  # fmt: skip
        lines.append("")
        lines.append("Outputs of every cycle equal.")
    lines += ["", "Per cycle, Design.step (ints, outputs read) against Simulator.step (bit strings, none read):", "",
              "| design | Simulator.step µs | Design.step µs | ratio |", "|---|---:|---:|---:|"]  # fmt: skip
    for name, simulator_s, design_s in step_costs(args.quick):
        lines.append(f"| {name} | {simulator_s * 1e6:.2f} | {design_s * 1e6:.2f} | {design_s / simulator_s:.2f} |")
    sequences, lane_cycles = 256, 200 if args.quick else 2000
    lanes_s, sequences_s = lanes_against_sequences(sequences, lane_cycles)
    lines += ["", f"FIFO, {sequences} sequences x {lane_cycles} cycles, per sequence-cycle (outputs equal):", "",
              "| runner | ns per sequence-cycle | ratio |", "|---|---:|---:|",
              f"| Simulator.run_sequences | {sequences_s * 1e9:.1f} | 1.00 |",
              f"| Design.lanes(256).step from Python | {lanes_s * 1e9:.1f} | {lanes_s / sequences_s:.2f} |"]  # fmt: skip
    text = "\n".join(lines) + "\n"
    print(text, end="")
    (OUT / "results.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
