"""Import speed: Yosys JSON netlists, and Verilog gate netlists through Yosys.

    python bench/bench_import.py [--copies 4] [--gates 100000] [--flows auto,full] [--skip-json]
                                 [--skip-netlists] [--skip-memories] [--rounds 3] [--baseline DIR]

JSON: a netlist of COPIES side-by-side copies of the synthesized 64x64
multiplier of bench/netlists (about 25,500 cells each, net numbers shifted,
ports renamed per copy); times nimbo.verilog.yosys.import_text on its text (JSON
parsing included) and the render of the resulting IR.

Verilog: gate netlists written as continuous assignments by nimbo.verilog.netlist
(as bench/compare gives them to Icarus and Verilator): the random DAG of
GATES gates of bench/compare and the synthesized 64x64 multiplier. Each is
imported with `nimbo import FILE -o OUT --flow F` for every flow of FLOWS
in turn, in fresh processes, side by side; reported: wall time, CPU time of
the command and its Yosys runs, and whether the IRs of the flows compute the
same outputs on random inputs.

Memories: the processors of bench/clocked (risc16: a 256-word RAM of 16 bits
and its program ROM; rv32sys: a 32-bit core with a 1024-word ROM read by
$readmemh and a 1024-word RAM with byte writes) imported with
`nimbo import ... --memories map` and `--memories keep`, alternately ROUNDS
times each in fresh processes; reported: the median wall and CPU times, and
the size of each IR. With --baseline, the kept import also runs with that
nimbo.

--baseline DIR: a folder holding another installed nimbo package (a copy of
site-packages/nimbo of an earlier version); every import of a gate netlist
also runs with that nimbo, right after the current one, and the table gives
the CPU time of the current import over the baseline's (the cost of what
changed, such as the import's checks).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench" / "netlists"))
sys.path.insert(0, str(ROOT / "bench" / "compare"))

from build import yosys_json  # noqa: E402
from circuits import random_dag, synthesized  # noqa: E402

from nimbo.core import Renderer  # noqa: E402
from nimbo.ir import circuit_from_document  # noqa: E402
from nimbo.verilog.netlist import to_verilog  # noqa: E402
from nimbo.ports import expand_inputs, port_values, ports_from_text  # noqa: E402
from nimbo.verilog.yosys import import_text  # noqa: E402


def replicate(module: dict, copies: int) -> dict:
    top = max(b for cell in module["cells"].values() for bits in cell["connections"].values() for b in bits
              if isinstance(b, int)) + 1
    shift = lambda bits, k: [b + k * top if isinstance(b, int) else b for b in bits]  # noqa: E731
    out = {"ports": {}, "cells": {}, "netnames": {}}
    for k in range(copies):
        for name, port in module["ports"].items():
            out["ports"][f"{name}{k}"] = dict(port, bits=shift(port["bits"], k))
        for name, cell in module["cells"].items():
            conns = {pin: shift(bits, k) for pin, bits in cell["connections"].items()}
            out["cells"][f"{name}#{k}"] = dict(cell, connections=conns)
    return out


def bench_json(copies: int) -> None:
    module = json.loads(yosys_json("mult64").read_text())["modules"]["mult64"]
    big = replicate(module, copies)
    text = json.dumps({"modules": {"big": big}})
    start = time.perf_counter()
    imported = import_text(text, "big")
    imported_s = time.perf_counter() - start
    ir = imported.text()
    start = time.perf_counter()
    Renderer(ir)
    render_s = time.perf_counter() - start
    print(f"JSON netlist: {imported.cells:,} cells ({len(text) / 1e6:.1f} MB of Yosys JSON) -> {imported.gates:,} "
          f"gates ({len(ir) / 1e6:.1f} MB of IR): import {imported_s:.2f} s, render {render_s:.2f} s", flush=True)


def gate_netlists(gates: int, work: Path) -> list[tuple[str, Path, int]]:
    """(name, Verilog file, continuous assignments) of the gate netlists."""
    found = []
    for bench in (random_dag(gates), synthesized("syn_mult64")):
        circuit = circuit_from_document(bench.doc)
        netlist = to_verilog(circuit, module=bench.name, outputs=bench.outputs)
        path = work / f"{bench.name}.v"
        path.write_text(netlist.text)
        found.append((bench.name, path, len(circuit.driven)))
    return found


def run_import(
    path: Path | list[Path], flow: str, out: Path, *extra: str, baseline: str | None = None, cwd: Path | None = None
) -> tuple[float, float, str]:
    """Wall and CPU seconds (the command and its children) of one nimbo import, and its summary;
    with `baseline`, of the nimbo in that folder."""
    paths = [str(p) for p in (path if isinstance(path, list) else [path])]
    env = dict(os.environ, PYTHONPATH=baseline) if baseline else None
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "nimbo", "import", *paths, "-o", str(out), "--flow", flow, *extra],
                          capture_output=True, text=True, env=env, cwd=cwd)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"nimbo import {' '.join(paths)} --flow {flow} {' '.join(extra)} failed: {done.stderr.strip()}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, done.stdout.strip()


def outputs_of(ir_path: Path, vectors: list[dict[str, str]]) -> list[dict[str, str]]:
    text = ir_path.read_text()
    ports = ports_from_text(text)
    outs = {name: port for name, port in ports.items() if port.direction == "output"}
    component = Renderer(text).component
    return [port_values(outs, component.update_and_get(expand_inputs(ports, v))) for v in vectors]


def bench_verilog(gates: int, flows: list[str], baseline: str | None) -> None:
    with tempfile.TemporaryDirectory(prefix="nimbo-bench-import-") as tmp:
        work = Path(tmp)
        rows = []
        against: list[tuple[str, str, float, float]] = []  # (netlist, flow, CPU, baseline's CPU)
        for name, path, assignments in gate_netlists(gates, work):
            results = {}
            for flow in flows:
                out = work / f"{name}.{flow}.json"
                wall, cpu, summary = run_import(path, flow, out)
                results[flow] = (wall, cpu, out)
                print(f"{name} --flow {flow}: {wall:.1f} s wall, {cpu:.1f} s CPU: {summary}", flush=True)
                if baseline:
                    base_wall, base_cpu, _ = run_import(path, flow, work / f"{name}.{flow}.base.json",
                                                        baseline=baseline)
                    print(f"{name} --flow {flow}, baseline: {base_wall:.1f} s wall, {base_cpu:.1f} s CPU", flush=True)
                    against.append((name, flow, cpu, base_cpu))
            text = results[flows[0]][2].read_text()
            inputs = [p for p in ports_from_text(text).values() if p.direction == "input"]
            rng = random.Random(5)
            vectors = [{p.name: "".join(rng.choice("01") for _ in p.bits) for p in inputs} for _ in range(64)]
            reference = outputs_of(results[flows[0]][2], vectors)
            agree = all(outputs_of(results[f][2], vectors) == reference for f in flows[1:])
            rows.append((name, assignments, path.stat().st_size, results, agree))
        print()
        print("| netlist | continuous assignments | Verilog | " + " | ".join(
            f"`--flow {f}`: wall / CPU" for f in flows) + " | " + " | ".join(
            f"{f} ÷ {flows[0]} (CPU)" for f in flows[1:]) + " | same outputs |")
        print("|---" * (4 + 2 * len(flows) - 1) + "|")
        for name, assignments, size, results, agree in rows:
            cells = [f"{results[f][0]:.1f} s / {results[f][1]:.1f} s" for f in flows]
            ratios = [f"{results[f][1] / results[flows[0]][1]:.1f}" for f in flows[1:]]
            print(f"| {name} | {assignments:,} | {size / 1e6:.1f} MB | " + " | ".join(cells + ratios)
                  + f" | {'yes' if agree else 'NO'} |")
        if against:
            print()
            print("| netlist | flow | CPU | baseline's CPU | current ÷ baseline |")
            print("|---|---|---|---|---|")
            for name, flow, cpu, base_cpu in against:
                print(f"| {name} | {flow} | {cpu:.1f} s | {base_cpu:.1f} s | {cpu / base_cpu:.2f} |")


MEMORY_DESIGNS = {"risc16": ("risc16.v", "risc16_rom.v"), "rv32sys": ("rv32sys.v", "rv32_core.v")}


def bench_memories(rounds: int, baseline: str | None) -> None:
    designs = ROOT / "bench" / "clocked" / "designs"
    modes = ("map", "keep") + (("keep, baseline",) if baseline else ())
    for top, files in MEMORY_DESIGNS.items():
        sources = [designs / name for name in files]
        times: dict[str, list[tuple[float, float]]] = {mode: [] for mode in modes}
        with tempfile.TemporaryDirectory(prefix="nimbo-bench-import-") as tmp:
            # One IR per mode: the baseline's must not overwrite the current one's.
            outs = {mode: Path(tmp) / f"{top}.{mode.replace(', ', '-')}.json" for mode in modes}
            for _ in range(rounds):
                for mode in modes:
                    wall, cpu, _ = run_import(sources, "auto", outs[mode], "--top", top, "--memories",
                                              mode.split(",")[0], baseline=baseline if "baseline" in mode else None,
                                              cwd=designs)  # the ROM's $readmemh names its file from here
                    times[mode].append((wall, cpu))
            sizes = {}
            for mode in modes:
                component = json.loads(outs[mode].read_text())["component"]
                gates = circuit_from_document({"component": component}).gate_count()
                memories = component.get("memories", [])
                sizes[mode] = (gates, len(component.get("registers", [])), len(memories),
                               sum(m["words"] * m["width"] for m in memories))
        median = {mode: tuple(sorted(t[k] for t in times[mode])[len(times[mode]) // 2] for k in (0, 1))
                  for mode in modes}
        print(f"\n{top}, {rounds} rounds, medians:")
        print("| `--memories` | wall | CPU | gates | register bits | memories (bits) |")
        print("|---|---|---|---|---|---|")
        for mode in modes:
            gates, registers, count, bits = sizes[mode]
            print(f"| {mode} | {median[mode][0]:.2f} s | {median[mode][1]:.2f} s | {gates:,} | {registers:,} | "
                  f"{count} ({bits:,}) |")
        print(f"map ÷ keep: {median['map'][0] / median['keep'][0]:.1f} (wall), "
              f"{median['map'][1] / median['keep'][1]:.1f} (CPU)", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--copies", type=int, default=4, help="copies of the multiplier in the JSON netlist")
    parser.add_argument("--gates", type=int, default=100_000, help="gates of the random DAG netlist")
    parser.add_argument("--flows", default="auto,full", help="flows to compare, the first the reference")
    parser.add_argument("--skip-json", action="store_true", help="leave out the JSON netlist")
    parser.add_argument("--skip-netlists", action="store_true", help="leave out the Verilog gate netlists")
    parser.add_argument("--rounds", type=int, default=3, help="imports of each processor per memories mode")
    parser.add_argument("--skip-memories", action="store_true", help="leave out the processors with memories")
    parser.add_argument("--baseline", metavar="DIR", help="a folder holding another installed nimbo to compare with")
    args = parser.parse_args()
    if not args.skip_json:
        bench_json(args.copies)
    if not args.skip_netlists:
        bench_verilog(args.gates, [f for f in args.flows.split(",") if f], args.baseline)
    if not args.skip_memories:
        bench_memories(args.rounds, args.baseline)
    return 0


if __name__ == "__main__":
    sys.exit(main())
