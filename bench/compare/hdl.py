"""nimbo against the Python HDL simulators (PyRTL, Amaranth) and Icarus Verilog.

    bash bench/compare/setup-hdl.sh   # its own venv: nimbo, PyRTL (with pyparsing), Amaranth
    bench/out/venv-hdl/bin/python bench/compare/hdl.py [--designs mult64,isqrt,div32,add64,mul32] [--skip pyrtl-compiled]

Designs: the Verilog netlists of bench/netlists (a 64x64 multiplier, a
square root, a 32-bit divider), and an adder and a multiplier written in
Amaranth (add64, mul32), exported through Amaranth's RTLIL back end. Each is
synthesized once with Yosys (``synth -flatten``); from that one netlist
nimbo gets its IR (nimbo.verilog.yosys) and PyRTL a BLIF file. Amaranth simulates
its own designs; Icarus simulates the original Verilog (for the Amaranth
designs, the Verilog Yosys writes from the RTLIL before synthesis).

All simulators apply the same random vectors one after the other in one
run. Per vector: nimbo, one ``Component.update_signals`` call with a ready
dictionary of bit inputs, and (nimbo batch) ``Simulator.run_bits`` over all
vectors as rows of bytes, divided by their number; PyRTL, one ``sim.step`` with port integers for
each of its simulators (Simulation, FastSimulation, CompiledSimulation);
Amaranth, one ``ctx.set`` per input and ``ctx.get`` of the outputs in a
testbench; Icarus, the testbench loop. The outputs of the first vectors
are compared with nimbo's. Results: Markdown on stdout and in
bench/out/compare/hdl.md, raw figures in hdl.json.
"""

from __future__ import annotations

import argparse
import json
import platform
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "bench" / "netlists"))

from build import blif, netlist_ir, source, yosys_json  # noqa: E402

from nimbo.verilog import icarus  # noqa: E402
from nimbo.core import Renderer  # noqa: E402
from nimbo.ports import Port, PortView, ports_from_text  # noqa: E402

OUT = ROOT / "bench" / "out" / "compare"
NETLISTS = ("mult64", "isqrt", "div32")
AMARANTH = ("add64", "mul32")
SHOWN = 8
BUDGET = 1.0  # seconds of replay per simulator and design (at least one pass)


def amaranth_design(name: str) -> tuple[object, dict[str, object]]:
    from amaranth.hdl import Elaboratable, Module, Signal

    class Add(Elaboratable):
        def __init__(self) -> None:
            self.a, self.b, self.s = Signal(64, name="a"), Signal(64, name="b"), Signal(65, name="s")

        def elaborate(self, platform: object) -> Module:
            m = Module()
            m.d.comb += self.s.eq(self.a + self.b)
            return m

    class Mul(Elaboratable):
        def __init__(self) -> None:
            self.a, self.b, self.p = Signal(32, name="a"), Signal(32, name="b"), Signal(64, name="p")

        def elaborate(self, platform: object) -> Module:
            m = Module()
            m.d.comb += self.p.eq(self.a * self.b)
            return m

    dut: Add | Mul = Add() if name == "add64" else Mul()
    ports = {"a": dut.a, "b": dut.b, "s": dut.s} if isinstance(dut, Add) else {"a": dut.a, "b": dut.b, "p": dut.p}
    return dut, ports


def amaranth_gates(netlist: dict[str, object], name: str) -> tuple[object, dict[str, object]]:
    """The synthesized netlist as an Amaranth design: one 1-bit signal per net,
    one combinational assignment per gate cell (the same gates nimbo runs)."""
    from amaranth.hdl import Cat, Const, Module, Signal

    module = netlist["modules"][name]  # type: ignore[index]
    m = Module()
    nets: dict[int, Signal] = {}

    def net(bit: object) -> object:
        if isinstance(bit, str):
            return Const(1 if bit == "1" else 0, 1)
        if bit not in nets:
            nets[bit] = Signal(1, name=f"n{bit}")  # type: ignore[index]
        return nets[bit]  # type: ignore[index]

    ops = {
        "$_BUF_": lambda a: a, "$_NOT_": lambda a: ~a, "$_AND_": lambda a, b: a & b, "$_OR_": lambda a, b: a | b,
        "$_XOR_": lambda a, b: a ^ b, "$_NAND_": lambda a, b: ~(a & b), "$_NOR_": lambda a, b: ~(a | b),
        "$_XNOR_": lambda a, b: ~(a ^ b), "$_ANDNOT_": lambda a, b: a & ~b, "$_ORNOT_": lambda a, b: a | ~b,
        "$_MUX_": lambda a, b, s: (b & s) | (a & ~s),
    }
    for cell in module["cells"].values():  # type: ignore[index]
        conns = cell["connections"]
        pins = [net(conns[p][0]) for p in ("A", "B", "S") if p in conns]
        m.d.comb += net(conns["Y"][0]).eq(ops[cell["type"]](*pins))
    ports: dict[str, object] = {}
    for pname, port in module["ports"].items():  # type: ignore[index]
        sig = Signal(len(port["bits"]), name=pname)
        bits = [net(b) for b in port["bits"]]
        if port["direction"] == "input":
            m.d.comb += [b.eq(sig[i]) for i, b in enumerate(bits)]  # type: ignore[union-attr]
        else:
            m.d.comb += sig.eq(Cat(*bits))
        ports[pname] = sig
    return m, ports


def prepare_amaranth(name: str, out: Path) -> tuple[Path, Path, Path]:
    """RTLIL from Amaranth; returns (Verilog for Icarus, IR, BLIF)."""
    from amaranth.back import rtlil

    from nimbo.verilog.yosys import import_text

    dut, ports = amaranth_design(name)
    il = out / f"{name}.il"
    il.write_text(rtlil.convert(dut, name=name, ports=list(ports.values())))
    verilog, netlist, blif_path, ir = out / f"{name}.v", out / f"{name}.yosys.json", out / f"{name}.blif", out / f"{name}.ir.json"
    subprocess.run(["yosys", "-q", "-p", f"read_rtlil {il}; write_verilog -noattr {verilog}"], check=True)
    subprocess.run(
        ["yosys", "-q", "-p", f"read_rtlil {il}; synth -flatten -top {name}; write_json {netlist}; write_blif {blif_path}"],
        check=True,
    )
    ir.write_text(import_text(netlist.read_text(), name).text())
    return verilog, ir, blif_path


def timed(step: Callable[[int], None], count: int) -> float:
    """Seconds per call of step(i), cycling i over range(count) until BUDGET seconds have passed."""
    calls = 0
    start = time.perf_counter()
    while True:
        step(calls % count)
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= BUDGET:
            return elapsed / calls


def to_bits(value: int, width: int) -> str:
    return format(value, f"0{width}b")[::-1][:width]


def run_nimbo(ir_text: str, ports: dict[str, Port], vectors: list[dict[str, int]]) -> dict[str, object]:
    start = time.perf_counter()
    component = Renderer(ir_text).component
    build = time.perf_counter() - start
    view = PortView(ports, [])
    inputs = [view.inputs({k: to_bits(v, len(ports[k].bits)) for k, v in vec.items()}) for vec in vectors]
    outs = {n: p for n, p in ports.items() if p.direction == "output"}
    shown = []
    for bits in inputs[:SHOWN]:
        component.update_signals(bits)
        values = component.get_values()
        shown.append({n: int(p.join(values)[::-1], 2) for n, p in outs.items()})
    update = component.update_signals
    per = timed(lambda i: update(inputs[i]), len(inputs))
    return {"build": build, "per_vector": per, "outputs": shown}


def run_nimbo_batch(ir_text: str, ports: dict[str, Port], vectors: list[dict[str, int]]) -> dict[str, object]:
    from nimbo import Simulator

    ins = {n: p for n, p in ports.items() if p.direction == "input"}
    outs = {n: p for n, p in ports.items() if p.direction == "output"}
    in_bits = [bit for p in ins.values() for bit in p.bits]
    out_bits = [bit for p in outs.values() for bit in p.bits]
    rows = bytes((vec[n] >> i) & 1 for vec in vectors for n, p in ins.items() for i in range(len(p.bits)))
    grid = memoryview(rows).cast("B", (len(vectors), len(in_bits)))
    start = time.perf_counter()
    simulator = Simulator(ir_text)
    build = time.perf_counter() - start
    first = simulator.run_bits(in_bits, grid, out_bits).tolist()
    shown = []
    for row in first[:SHOWN]:
        values, at = {}, 0
        for n, p in outs.items():
            values[n] = sum(bit << i for i, bit in enumerate(row[at:at + len(p.bits)]))
            at += len(p.bits)
        shown.append(values)
    per = timed(lambda i: simulator.run_bits(in_bits, grid, out_bits), 1) / len(vectors)
    return {"build": build, "per_vector": per, "outputs": shown}


def run_pyrtl(blif_text: str, kind: str, outs: list[str], vectors: list[dict[str, int]]) -> dict[str, object]:
    import pyrtl

    pyrtl.reset_working_block()
    start = time.perf_counter()
    pyrtl.input_from_blif(blif_text)
    sim = getattr(pyrtl, kind)()
    build = time.perf_counter() - start
    shown = []
    for vec in vectors[:SHOWN]:
        sim.step(vec)
        shown.append({n: sim.inspect(n) for n in outs})
    per = timed(lambda i: sim.step(vectors[i]), len(vectors))
    return {"build": build, "per_vector": per, "outputs": shown}


def run_amaranth(dut: object, ports: dict[str, object], vectors: list[dict[str, int]]) -> dict[str, object]:
    from amaranth.sim import Simulator

    ins = [(n, s) for n, s in ports.items() if n in vectors[0]]
    outs = [(n, s) for n, s in ports.items() if n not in vectors[0]]
    shown: list[dict[str, int]] = []
    result: dict[str, float] = {}

    async def bench(ctx):  # type: ignore[no-untyped-def]
        for vec in vectors[:SHOWN]:
            for n, s in ins:
                ctx.set(s, vec[n])
            shown.append({n: ctx.get(s) for n, s in outs})
        calls = 0
        start = time.perf_counter()
        while time.perf_counter() - start < BUDGET:
            vec = vectors[calls % len(vectors)]
            for n, s in ins:
                ctx.set(s, vec[n])
            for n, s in outs:
                ctx.get(s)
            calls += 1
        result["per_vector"] = (time.perf_counter() - start) / calls

    start = time.perf_counter()
    sim = Simulator(dut)
    sim.add_testbench(bench)
    build = time.perf_counter() - start
    sim.run()
    return {"build": build, "per_vector": result["per_vector"], "outputs": shown}


def run_icarus(verilog: Path, module: str, ports: dict[str, Port], vectors: list[dict[str, int]], work: Path) -> dict[str, object]:
    text_vectors = [{k: to_bits(v, len(ports[k].bits)) for k, v in vec.items()} for vec in vectors]
    done = icarus.run([verilog], module, ports, text_vectors, work, shown=SHOWN)
    shown = [{n: int(v[::-1], 2) if set(v) <= {"0", "1"} else v for n, v in row.items()} for row in done.outputs]
    return {"build": None, "per_vector": done.seconds / len(vectors), "outputs": shown}


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "–"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


SIMULATORS = ("nimbo", "nimbo-batch", "pyrtl-sim", "pyrtl-fast", "pyrtl-compiled", "amaranth", "amaranth-gates", "icarus")
PYRTL_KINDS = {"pyrtl-sim": "Simulation", "pyrtl-fast": "FastSimulation", "pyrtl-compiled": "CompiledSimulation"}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--designs", default=",".join(NETLISTS + AMARANTH))
    parser.add_argument("--vectors", type=int, default=200)
    parser.add_argument("--skip", default="", help="comma-separated simulators to leave out: " + ", ".join(SIMULATORS[1:]))
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    OUT.mkdir(parents=True, exist_ok=True)
    work_root = OUT / "hdl"
    work_root.mkdir(exist_ok=True)
    results = []
    for name in args.designs.split(","):
        print(f"== {name}", file=sys.stderr, flush=True)
        if name in AMARANTH:
            verilog, ir_path, blif_path = prepare_amaranth(name, work_root)
        else:
            verilog, ir_path, blif_path = source(name), netlist_ir(name), blif(name)
            yosys_json(name)
        ir_text = ir_path.read_text()
        ports = ports_from_text(ir_text)
        cells = len(json.loads((ir_path.parent / f"{name}.yosys.json").read_text())["modules"][name]["cells"])
        rng = random.Random(1)
        vectors = [{n: rng.getrandbits(len(p.bits)) for n, p in ports.items() if p.direction == "input"} for _ in range(args.vectors)]
        outs = [n for n, p in ports.items() if p.direction == "output"]
        row: dict[str, object] = {"design": name, "cells": cells}
        row["nimbo"] = run_nimbo(ir_text, ports, vectors)
        row["nimbo-batch"] = run_nimbo_batch(ir_text, ports, vectors)
        blif_text = blif_path.read_text()
        for sim, kind in PYRTL_KINDS.items():
            if sim not in skip:
                print(f"   {sim}", file=sys.stderr, flush=True)
                row[sim] = run_pyrtl(blif_text, kind, outs, vectors)
        if name in AMARANTH and "amaranth" not in skip:
            print("   amaranth", file=sys.stderr, flush=True)
            row["amaranth"] = run_amaranth(*amaranth_design(name), vectors)
        if "amaranth-gates" not in skip:
            print("   amaranth-gates", file=sys.stderr, flush=True)
            netlist = json.loads((ir_path.parent / f"{name}.yosys.json").read_text())
            row["amaranth-gates"] = run_amaranth(*amaranth_gates(netlist, name), vectors)
        if "icarus" not in skip:
            with tempfile.TemporaryDirectory(dir=work_root) as tmp:
                row["icarus"] = run_icarus(verilog, name, ports, vectors, Path(tmp))
        expected = row["nimbo"]["outputs"]  # type: ignore[index]
        row["agree"] = {s: row[s]["outputs"] == expected for s in SIMULATORS[1:] if s in row}  # type: ignore[index]
        results.append(row)

    lines = [
        "| design | Yosys cells | per vector: nimbo | nimbo batch | PyRTL Simulation | PyRTL FastSimulation "
        "| PyRTL CompiledSimulation (build) | Amaranth (word level) | Amaranth (gate netlist) | Icarus (original) "
        "| fastest Python HDL ÷ nimbo | fastest Python HDL ÷ nimbo batch | outputs agree with nimbo |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in results:
        nimbo_per = row["nimbo"]["per_vector"]  # type: ignore[index]
        cell = {s: fmt_time(row[s]["per_vector"]) if s in row else "–" for s in SIMULATORS}  # type: ignore[index]
        if "pyrtl-compiled" in row:
            cell["pyrtl-compiled"] += f" ({fmt_time(row['pyrtl-compiled']['build'])})"  # type: ignore[index]
        python_sims = [row[s]["per_vector"] for s in ("pyrtl-sim", "pyrtl-fast", "pyrtl-compiled", "amaranth", "amaranth-gates") if s in row]  # type: ignore[index]
        ratio = f"{min(python_sims) / nimbo_per:.3g}" if python_sims else "–"
        batch_per = row["nimbo-batch"]["per_vector"]  # type: ignore[index]
        batch_ratio = f"{min(python_sims) / batch_per:.3g}" if python_sims else "–"
        agree = ", ".join(f"{s}: {'yes' if ok else 'NO'}" for s, ok in row["agree"].items())  # type: ignore[union-attr]
        lines.append(
            f"| {row['design']} | {row['cells']:,} | {cell['nimbo']} | {cell['nimbo-batch']} | {cell['pyrtl-sim']} "
            f"| {cell['pyrtl-fast']} | {cell['pyrtl-compiled']} | {cell['amaranth']} | {cell['amaranth-gates']} "
            f"| {cell['icarus']} | {ratio} | {batch_ratio} | {agree} |"
        )
    table = "\n".join(lines)
    machine = f"{platform.processor() or platform.machine()}, Python {platform.python_version()}"
    print(table)
    print(f"\n{machine}; command: python bench/compare/hdl.py {' '.join(sys.argv[1:])}")
    (OUT / "hdl.md").write_text(table + "\n")
    (OUT / "hdl.json").write_text(json.dumps(results, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
