"""Clocked designs, cycle by cycle: nimbo against Verilator and Icarus Verilog.

    python bench/clocked/run.py [--quick] [--designs risc16,rv32sys,periph,fir,mac4_nand] [--skip SIM,...]

For each design (designs.py; Verilog in designs/): Yosys synthesizes the
flattened gate netlist once (synth.py, cached), and every simulator runs the
same seeded random inputs, one vector per clock cycle:

* Verilator on the gate netlist (``write_verilog -noattr``) and, for
  information, on the RTL (where a word-level multiply is one instruction);
  a C++ driver sets the inputs from memory and evaluates with the clock at 0
  and at 1 per cycle (verilator.py; builds cached by their inputs' hash);
* Icarus Verilog on the RTL (on the gate netlist for a "nand" design), its
  testbench applying each vector, then #5 clock 1, #5 clock 0, #1 reading
  the outputs (icarus_tb.py);
* nimbo on the IR that ``nimbo import --memories map`` makes of the same gate netlist (its
  Yosys JSON; ``--nimbo-import verilog``: of the Verilog sources) (nimbo_side.py): Simulator.step per cycle from Python, run_bits over the
  whole sequence, and run_sequences over many sequences in lanes against
  Verilator running them one after another; a "nand" design, whose
  flip-flops are latches of NAND gates on two clock phases, with four
  Simulator.update calls per cycle and with run_bits over four rows per cycle;
* with ``--lane-isas portable,avx2,avx512`` and ``--threads 1,2``,
  run_sequences again for each build of the lane kernels
  (``NIMBO_LANE_ISA``) and each count of threads, in a table of its own;
* for a design with memories, nimbo again on the Verilog sources imported
  with their memories kept as memories (``--memories keep``), every mode, in
  a table of its own beside the memories as gates.

The outputs of every cycle are compared across all simulators (the
reference is Verilator on the gate netlist). Results go to
OUT/results.json and a Markdown table to stdout and OUT/results.md.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))

import icarus_tb  # noqa: E402
import nimbo_side  # noqa: E402
import stimulus  # noqa: E402
import synth  # noqa: E402
import verilator  # noqa: E402
from designs import DEFAULT, DESIGNS, PHASES, Design  # noqa: E402
from proc import measure  # noqa: E402

SIMULATORS = ("verilator-gates", "verilator-rtl", "icarus", "nimbo")
NIMBO_MODES = {"registers": ("step", "run_bits", "run_jsonl", "lanes"), "nand": ("update4", "bits4")}
LABELS = {
    "verilator-gates": "Verilator, gates", "verilator-rtl": "Verilator, RTL", "icarus": "Icarus",
    "step": "nimbo step()", "run_bits": "nimbo run_bits", "run_jsonl": "nimbo run_jsonl",
    "lanes": "nimbo run_sequences", "update4": "nimbo 4 x update()", "bits4": "nimbo run_bits, 4 rows a cycle",
    "verilator-gates lanes": "Verilator, gates (sequences)", "verilator-rtl lanes": "Verilator, RTL (sequences)",
}
LABELS.update({f"mem {mode}": f"{label}, memories kept" for mode, label in list(LABELS.items())
               if label.startswith("nimbo")})
LABELS["mem nimbo"] = "nimbo import, memories kept"


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def last_line(text: str, default: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return (lines or [default])[-1][:300]


def compare(reference: bytes, got: bytes, design: Design, rows: int) -> str | None:
    """None when the first `rows` rows agree, else where they first differ."""
    width = design.output_bits
    if len(got) < rows * width:
        return f"only {len(got) // max(width, 1)} of {rows} cycles"
    for r in range(rows):
        a, b = reference[r * width:(r + 1) * width], got[r * width:(r + 1) * width]
        if a == b:
            continue
        pos = 0
        for port in design.outputs:
            want, have = a[pos:pos + port.width], b[pos:pos + port.width]
            if want != have:
                show = lambda bits: "".join("01x"[min(v, 2)] for v in reversed(bits))[-32:]  # noqa: E731
                return f"cycle {r}, {port.name}: {show(have)} where the reference has {show(want)}"
            pos += port.width
    return None


def run_verilator(design: Design, kind: str, sources: list[Path], work: Path, args, result: dict) -> None:
    log(f"== {design.name}: Verilator on the {'gate netlist' if kind == 'gates' else 'RTL'}")
    made = verilator.build(design, kind, sources, Path(args.out), args.verilator_flags, args.verilator_timeout)
    name = f"verilator-{kind}"
    if made.binary is None:
        result[name] = {"error": made.error, "build_s": made.seconds}
        return
    entry: dict[str, Any] = {"build_s": made.seconds, "build_cached": made.cached, "build_rss_mb": made.rss_mb}
    result[name] = entry
    runs = [("", "stim_long.bin", 1, args.cycles, f"trace_{kind}.bin")]
    if design.flavour == "registers" and "lanes" not in args.skip:
        runs.append((" lanes", "stim_lanes.bin", args.sequences, args.sequence_cycles, f"trace_{kind}_lanes.bin"))
    for suffix, stim, sequences, cycles, trace in runs:
        ran = measure([str(made.binary), stim, str(sequences), str(cycles), trace, str(args.min_seconds)], work,
                      args.timeout)
        timing = [line.split() for line in ran.stdout.splitlines() if line.startswith("T ")]
        if ran.status != 0 or not timing:
            result[name + suffix] = {"error": f"the model failed: {last_line(ran.stderr, 'no output')}"}
            continue
        done, seconds = int(timing[0][1]), float(timing[0][2])
        figures = {"per_cycle_s": seconds / max(done, 1), "cycles": done, "rss_mb": ran.rss_mb, "trace": trace}
        if len(timing[0]) > 3:  # the process's CPU time over the same replays
            figures["cpu_per_cycle_s"] = float(timing[0][3]) / max(done, 1)
        if suffix:
            result[name + suffix] = figures
        else:
            entry.update(figures)


def run_icarus(design: Design, sources: list[Path], work: Path, args, result: dict, long_stim: bytes,
               split: bool) -> None:
    log(f"== {design.name}: Icarus on the {'gate netlist' if design.flavour == 'nand' else 'RTL'}")
    cycles = min(args.cycles, design.icarus_cycles or args.cycles)
    lines = stimulus.readmemb_lines(long_stim, design, cycles)
    (work / "stim_long.mem").write_text("\n".join(lines) + "\n")
    (work / "tb.v").write_text(icarus_tb.testbench(design, "stim_long.mem", cycles, split))
    comp = measure(["iverilog", "-o", "tb.vvp", "tb.v", *[str(s) for s in sources]], work, args.timeout)
    if comp.status != 0:
        result["icarus"] = {"error": f"iverilog failed: {last_line(comp.stderr, 'no output')}"}
        return
    ran = measure(["vvp", "-n", "tb.vvp"], work, args.timeout)
    if "DONE" not in ran.marks:
        what = "timed out" if ran.timed_out else last_line(ran.stderr, f"status {ran.status}")
        result["icarus"] = {"error": f"vvp failed: {what}"}
        return
    (work / "trace_icarus.bin").write_bytes(icarus_tb.trace(ran.stdout, design))
    result["icarus"] = {"build_s": comp.seconds, "per_cycle_s": (ran.marks["DONE"] - ran.marks["START"]) / cycles,
                        "cycles": cycles, "rss_mb": ran.rss_mb, "trace": "trace_icarus.bin"}


def run_nimbo(design: Design, netlist: synth.Netlist, work: Path, args, result: dict) -> None:
    from_verilog = args.nimbo_import == "verilog" and design.flavour == "registers"
    log(f"== {design.name}: nimbo import of the {'Verilog' if from_verilog else 'gate netlist'}")
    sources = design.paths if from_verilog else [netlist.json_path]
    error, seconds = nimbo_side.import_ir(sources, design.top, work / "ir.json", cwd=work)
    result["nimbo import_s"] = seconds
    if error:
        for source in sources:  # the message names the file: keep it short
            error = error.replace(f"{source}: ", "")
        result["nimbo"] = {"error": f"nimbo import: {error.split('; ')[0]}"}
        return
    result["nimbo"] = {"import_s": seconds}
    run_nimbo_modes(design, work, args, result, "ir.json", "")
    if design.flavour != "registers" or "memories" in args.skip:
        return
    # The Verilog again, its memories kept as memories: the same modes on
    # that IR, beside the memories as gates above.
    log(f"== {design.name}: nimbo import of the Verilog, memories kept")
    error, seconds = nimbo_side.import_ir(design.paths, design.top, work / "ir_mem.json", "keep", cwd=work)
    if error:
        result["mem nimbo"] = {"error": f"nimbo import --memories keep: {error.split('; ')[0]}"}
        return
    document = json.loads((work / "ir_mem.json").read_text())["component"]
    if not document.get("memories"):
        return  # no memories: the same as the Verilog mapped
    result["mem nimbo"] = {
        "import_s": seconds, "memories": len(document["memories"]),
        "register_bits": sum(len(r["q"]) if isinstance(r["q"], list) else 1 for r in document.get("registers", [])),
        "busses": len(document["busses"]),
    }  # fmt: skip
    run_nimbo_modes(design, work, args, result, "ir_mem.json", "mem ")


def lane_variants(args) -> list[tuple[str, int]]:
    """The (lane kernels, threads) of the extra run_sequences rows: every pair
    of --lane-isas ("" for the default) and --threads but the default pair."""
    isas = args.lane_isas or [""]
    return [(isa, threads) for isa in isas for threads in args.threads if (isa, threads) != ("", 1)]


def variant_name(isa: str, threads: int) -> str:
    return f"lanes {isa or 'default'} x{threads}"


def run_nimbo_modes(design: Design, work: Path, args, result: dict, ir: str, prefix: str) -> None:
    """Every nimbo mode of the design on `ir`, its figures under `prefix` + mode."""
    for mode in NIMBO_MODES[design.flavour]:
        if mode in args.skip or (mode == "run_jsonl" and not args.jsonl):
            continue
        variants = [(mode, "", 1)]
        if mode == "lanes":
            variants += [(variant_name(isa, threads), isa, threads) for isa, threads in lane_variants(args)]
        for name, isa, threads in variants:
            log(f"== {design.name}: {LABELS.get(name, name)}{' (memories kept)' if prefix else ''}")
            result[prefix + name] = run_nimbo_mode(design, work, args, ir, prefix, mode, name, isa, threads)


def run_nimbo_mode(design: Design, work: Path, args, ir: str, prefix: str, mode: str, name: str, isa: str,
                   threads: int) -> dict:
    lanes = mode == "lanes"
    tag = f"{prefix.strip()}{name.replace(' ', '_')}"
    job = {"mode": mode, "ir": ir, "phases": list(PHASES) if design.flavour == "nand" else [],
           "inputs": [p.name for p in design.inputs], "outputs": [p.name for p in design.outputs],
           "stimulus": "stim_lanes.bin" if lanes else "stim_long.bin",
           "sequences": args.sequences if lanes else 1,
           "cycles": args.sequence_cycles if lanes else args.cycles,
           "trace": f"trace_{tag}.bin", "min_seconds": args.min_seconds,
           "max_seconds": args.max_seconds, "threads": threads}  # fmt: skip
    (work / f"job_{tag}.json").write_text(json.dumps(job))
    before = os.environ.get("NIMBO_LANE_ISA")
    if isa:
        os.environ["NIMBO_LANE_ISA"] = isa
    try:
        ran = measure([sys.executable, str(HERE / "nimbo_side.py"), f"job_{tag}.json"], work, args.timeout)
    finally:
        if before is None:
            os.environ.pop("NIMBO_LANE_ISA", None)
        else:
            os.environ["NIMBO_LANE_ISA"] = before
    try:
        figures = json.loads(ran.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        figures = {"error": f"the runner failed: {last_line(ran.stderr, f'status {ran.status}')}"}
    if "error" not in figures:
        figures.update({"rss_mb": ran.rss_mb, "trace": job["trace"]})
    return figures


def run_design(design: Design, args) -> dict[str, Any]:
    out = Path(args.out)
    work = out / design.name
    work.mkdir(parents=True, exist_ok=True)
    log(f"== {design.name}: synthesizing")
    netlist = synth.synthesize(design, out)
    result: dict[str, Any] = {
        "design": design.name, "about": design.about, "flavour": design.flavour, "cells": netlist.cells,
        "flip_flops": netlist.flip_flops, "cell_types": netlist.cell_types, "synth_s": netlist.seconds,
        "cycles": args.cycles, "sequences": args.sequences, "sequence_cycles": args.sequence_cycles,
        "input_bits": design.input_bits, "output_bits": design.output_bits,
    }
    for path in design.data_paths:  # read at run time by Verilator's RTL model and by Icarus, from here
        shutil.copy(path, work / path.name)
    long_stim = stimulus.generate(design, 1, args.cycles, args.seed)
    (work / "stim_long.bin").write_bytes(long_stim)
    if design.flavour == "registers":
        (work / "stim_lanes.bin").write_bytes(
            stimulus.generate(design, args.sequences, args.sequence_cycles, args.seed + 1))

    if shutil.which("verilator") and "verilator" not in args.skip:
        if "verilator-gates" not in args.skip:
            run_verilator(design, "gates", [netlist.verilog_path], work, args, result)
        if design.flavour == "registers" and "verilator-rtl" not in args.skip:
            run_verilator(design, "rtl", design.paths, work, args, result)
    if shutil.which("iverilog") and "icarus" not in args.skip:
        split = netlist.split_path is not None
        run_icarus(design, [netlist.split_path] if netlist.split_path else design.paths, work, args, result,
                   long_stim, split)
    if "nimbo" not in args.skip:
        run_nimbo(design, netlist, work, args, result)

    # Every trace against the reference: Verilator on the gate netlist (else the first that ran).
    checks: dict[str, str | None] = {}
    for group in ("", " lanes"):
        modes = [m for m in NIMBO_MODES[design.flavour] if (m == "lanes") == bool(group)]
        if group and "lanes" in modes:
            modes += [variant_name(isa, threads) for isa, threads in lane_variants(args)]
        names = [n + group for n in ("verilator-gates", "verilator-rtl")] + modes + \
            ["mem " + m for m in modes] + (["icarus"] if not group else [])
        ran = [n for n in names if "trace" in result.get(n, {})]
        if len(ran) < 2:
            continue
        reference = (work / result[ran[0]]["trace"]).read_bytes()
        rows_all = (args.sequences * args.sequence_cycles) if group else args.cycles
        for name in ran[1:]:
            rows = min(rows_all, result[name].get("cycles", rows_all)) if name == "icarus" else rows_all
            checks[name] = compare(reference, (work / result[name]["trace"]).read_bytes(), design, rows)
        result["reference" + group] = ran[0]
    result["checks"] = checks
    result["agree"] = all(v is None for v in checks.values()) if checks else None
    return result


# ---------------------------------------------------------------- the table


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "–"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"


def _get(r: dict, name: str, key: str) -> Any:
    return r.get(name, {}).get(key)


def _cell(r: dict, name: str, key: str = "per_cycle_s") -> str:
    entry = r.get(name)
    if entry is None:
        return "–"
    if key in entry:
        return fmt_time(entry[key])
    return "n/a"


def _ratio(a: float | None, b: float | None) -> str:
    return f"{a / b:.3g}" if a and b else "–"


def _build(r: dict, name: str) -> str:
    entry = r.get(name, {})
    if "build_s" not in entry:
        return "–"
    return fmt_time(entry["build_s"]) + (" (cached)" if entry.get("build_cached") else "")


def _nimbo_build(r: dict) -> str:
    """nimbo import, and Simulator(ir) as the first mode that ran measured it."""
    text = fmt_time(r.get("nimbo import_s"))
    for mode in NIMBO_MODES[r["flavour"]]:
        if "build_s" in r.get(mode, {}):
            return f"{text} + {fmt_time(r[mode]['build_s'])}"
    return text


def _agree(r: dict) -> str:
    checks = r.get("checks", {})
    if not checks:
        return "–"
    bad = [LABELS.get(n, n) for n, v in checks.items() if v is not None]
    traces = len(checks) + sum(1 for key in ("reference", "reference lanes") if key in r)
    return f"yes ({traces} runs)" if not bad else "NO: " + ", ".join(bad)


def table(results: list[dict]) -> str:
    out = []
    notes = []
    clocked = [r for r in results if r["flavour"] == "registers"]
    nand = [r for r in results if r["flavour"] == "nand"]
    if clocked:
        out += [
            "| design | cells (flip-flops) | build: Verilator gates / Verilator RTL / Icarus / nimbo import + render | "
            "per cycle: Verilator gates / Verilator RTL / Icarus RTL / nimbo step() / nimbo run_bits | "
            "nimbo step() ÷ Verilator gates | nimbo run_bits ÷ Verilator gates | "
            "per cycle, sequences: Verilator gates one after another / nimbo run_sequences | "
            "run_sequences ÷ Verilator gates | outputs agree |",
            "|" + "---|" * 9,
        ]
        for r in clocked:
            vg = _get(r, "verilator-gates", "per_cycle_s")
            lanes_v = _get(r, "verilator-gates lanes", "per_cycle_s")
            out.append(
                f"| {r['design']} | {r['cells']:,} ({r['flip_flops']:,}) "
                f"| {_build(r, 'verilator-gates')} / {_build(r, 'verilator-rtl')} / {_build(r, 'icarus')} / "
                f"{_nimbo_build(r)} "
                f"| {_cell(r, 'verilator-gates')} / {_cell(r, 'verilator-rtl')} / {_cell(r, 'icarus')} / "
                f"{_cell(r, 'step')} / {_cell(r, 'run_bits')} "
                f"| {_ratio(_get(r, 'step', 'per_cycle_s'), vg)} | {_ratio(_get(r, 'run_bits', 'per_cycle_s'), vg)} "
                f"| {_cell(r, 'verilator-gates lanes')} / {_cell(r, 'lanes')} "
                f"| {_ratio(_get(r, 'lanes', 'per_cycle_s'), lanes_v)} | {_agree(r)} |")
    kept = [r for r in clocked if "mem nimbo" in r and "error" not in r["mem nimbo"]]
    if kept:
        out += [
            "",
            "| design | nimbo import: gate netlist (memories as gates) / Verilog, memories kept (register bits left) | "
            "per cycle, memories as gates: step() / run_bits / run_jsonl | "
            "per cycle, memories kept: step() / run_bits / run_jsonl | "
            "kept run_bits ÷ Verilator gates | kept run_bits ÷ Verilator RTL | "
            "per sequence-cycle: run_sequences as gates / kept | "
            "Verilator gates one after another ÷ kept run_sequences | outputs agree |",
            "|" + "---|" * 9,
        ]
        for r in kept:
            vg = _get(r, "verilator-gates", "per_cycle_s")
            vr = _get(r, "verilator-rtl", "per_cycle_s")
            lanes_v = _get(r, "verilator-gates lanes", "per_cycle_s")
            kept_lanes = _get(r, "mem lanes", "per_cycle_s")
            out.append(
                f"| {r['design']} | {fmt_time(r.get('nimbo import_s'))} / {fmt_time(r['mem nimbo'].get('import_s'))} "
                f"({r['mem nimbo'].get('register_bits', 0):,}) "
                f"| {_cell(r, 'step')} / {_cell(r, 'run_bits')} / {_cell(r, 'run_jsonl')} "
                f"| {_cell(r, 'mem step')} / {_cell(r, 'mem run_bits')} / {_cell(r, 'mem run_jsonl')} "
                f"| {_ratio(_get(r, 'mem run_bits', 'per_cycle_s'), vg)} "
                f"| {_ratio(_get(r, 'mem run_bits', 'per_cycle_s'), vr)} "
                f"| {_cell(r, 'lanes')} / {_cell(r, 'mem lanes')} "
                f"| {_ratio(lanes_v, kept_lanes)} | {_agree(r)} |")
    with_cpu = [r for r in clocked if _get(r, "verilator-gates", "cpu_per_cycle_s") is not None]
    if with_cpu:
        # CPU time of the process over the same replays: other jobs on a
        # shared machine disturb it less than wall time.
        out += [
            "",
            "| design | one sequence, CPU time per cycle: Verilator gates / nimbo run_bits, memories as gates / "
            "kept | as gates ÷ Verilator gates | kept ÷ Verilator gates |",
            "|" + "---|" * 5,
        ]
        for r in with_cpu:
            vg = _get(r, "verilator-gates", "cpu_per_cycle_s")
            gates, kept_bits = _get(r, "run_bits", "cpu_per_cycle_s"), _get(r, "mem run_bits", "cpu_per_cycle_s")
            out.append(
                f"| {r['design']} | {_cell(r, 'verilator-gates', 'cpu_per_cycle_s')} / "
                f"{_cell(r, 'run_bits', 'cpu_per_cycle_s')} / {_cell(r, 'mem run_bits', 'cpu_per_cycle_s')} "
                f"| {_ratio(gates, vg)} | {_ratio(kept_bits, vg)} |")
    if nand:
        if out:
            out.append("")
        out += [
            "| design | cells (flip-flops as NAND latches) | build: Verilator / Icarus / nimbo import + render | "
            "per cycle: Verilator / Icarus / nimbo 4 x update() / nimbo run_bits (4 rows a cycle) | "
            "nimbo 4 x update() ÷ Verilator | nimbo run_bits ÷ Verilator | outputs agree |",
            "|" + "---|" * 7,
        ]
        for r in nand:
            vg = _get(r, "verilator-gates", "per_cycle_s")
            out.append(
                f"| {r['design']} | {r['cells']:,} ({r['flip_flops']:,}) "
                f"| {_build(r, 'verilator-gates')} / {_build(r, 'icarus')} / {_nimbo_build(r)} "
                f"| {_cell(r, 'verilator-gates')} / {_cell(r, 'icarus')} / {_cell(r, 'update4')} / {_cell(r, 'bits4')} "
                f"| {_ratio(_get(r, 'update4', 'per_cycle_s'), vg)} | {_ratio(_get(r, 'bits4', 'per_cycle_s'), vg)} "
                f"| {_agree(r)} |")
    variants = [r for r in clocked if any(key.startswith(("lanes ", "mem lanes ")) for key in r)]
    if variants:
        names = sorted({key.removeprefix("mem ") for r in variants for key in r
                        if key.startswith(("lanes ", "mem lanes "))})
        out += [
            "",
            "| design | import | per sequence-cycle: run_sequences (default kernels, 1 thread) / "
            + " / ".join(n.removeprefix("lanes ") for n in names) + " | fastest ÷ default |",
            "|" + "---|" * 4,
        ]
        for r in variants:
            for prefix, label in (("", "gates"), ("mem ", "memories kept")):
                if prefix + "lanes" not in r:
                    continue
                cells = [_cell(r, prefix + "lanes")] + [_cell(r, prefix + n) for n in names]
                times = [t for t in (_get(r, prefix + n, "per_cycle_s") for n in names) if t is not None]
                best = min(times) if times else None
                out.append(f"| {r['design']} | {label} | {' / '.join(cells)} "
                           f"| {_ratio(best, _get(r, prefix + 'lanes', 'per_cycle_s'))} |")
    for r in results:
        for name, entry in r.items():
            if isinstance(entry, dict) and "error" in entry:
                notes.append(f"- {r['design']}, {LABELS.get(name, name)}: {entry['error']}")
        for name, problem in r.get("checks", {}).items():
            if problem:
                reference = r.get("reference lanes" if name.endswith("lanes") else "reference", "?")
                notes.append(f"- {r['design']}: {LABELS.get(name, name)} differs from {LABELS.get(reference, reference)}"
                             f" at {problem}")
        if "per_cycle_s" in r.get("run_jsonl", {}):
            notes.append(f"- {r['design']}: {LABELS['run_jsonl']}: {fmt_time(r['run_jsonl']['per_cycle_s'])} per cycle")
    return "\n".join(out + ([""] + notes if notes else []))


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    tools = []
    for tool, flag in (("yosys", "-V"), ("iverilog", "-V"), ("verilator", "--version")):
        if shutil.which(tool):
            out = subprocess.run([tool, flag], capture_output=True, text=True).stdout.splitlines()
            tools.append(out[0] if out else tool)
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, " + ", ".join(tools)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2,000 cycles, 64 sequences of 200 cycles, 0.5 s replays")
    parser.add_argument("--designs", help=f"comma-separated (default: {','.join(DEFAULT)}; also: "
                        f"{','.join(d for d in DESIGNS if d not in DEFAULT)})")
    parser.add_argument("--skip", default="", help="comma-separated: verilator, verilator-gates, verilator-rtl, "
                        "icarus, nimbo, memories (nimbo on the Verilog with its memories kept), lanes, or a nimbo "
                        "mode (step, run_bits, update4, bits4)")
    parser.add_argument("--nimbo-import", choices=("netlist", "verilog"), default="netlist",
                        help="what nimbo imports: the Yosys JSON of the peers' gate netlist (default: the same "
                        "cells), or the Verilog sources, which nimbo import synthesizes itself")
    parser.add_argument("--jsonl", action="store_true", help="also time nimbo's run_jsonl (JSON Lines, one line a cycle)")
    parser.add_argument("--cycles", type=int, help="cycles of the long sequence (default 20,000)")
    parser.add_argument("--sequences", type=int, help="sequences run in lanes (default 256)")
    parser.add_argument("--sequence-cycles", type=int, help="cycles of each of those sequences (default 1,000)")
    parser.add_argument("--lane-isas", help="comma-separated builds of the lane kernels to time run_sequences with "
                        "(portable, avx2, avx512; NIMBO_LANE_ISA), each in a row of its own")
    parser.add_argument("--threads", default="1", help="comma-separated counts of threads to time run_sequences "
                        "with (default 1)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--min-seconds", type=float, help="replay each run at least this long (default 1)")
    parser.add_argument("--max-seconds", type=float, default=60.0, help="stop replaying nimbo after this long")
    parser.add_argument("--timeout", type=float, default=3600.0, help="limit for one simulation run")
    parser.add_argument("--verilator-timeout", type=float, default=3600.0, help="limit for one Verilator build")
    parser.add_argument("--verilator-flags", default=verilator.FLAGS,
                        help=f"Verilator optimisation options (default: {verilator.FLAGS}, as bench/compare uses)")
    parser.add_argument("--out", default=str(ROOT / "bench" / "out" / "clocked"), help="work directory and caches")
    parser.add_argument("--report", action="store_true", help="only print the table of the last results.json")
    args = parser.parse_args()
    args.out = str(Path(args.out).resolve())
    if args.report:
        try:
            print(table(json.loads((Path(args.out) / "results.json").read_text())))
        except (OSError, ValueError) as exc:
            print(f"run.py: error: cannot read the last results in {args.out}: {exc}", file=sys.stderr)
            return 1
        return 0
    quick = args.quick
    args.cycles = args.cycles or (2000 if quick else 20000)
    args.sequences = args.sequences or (64 if quick else 256)
    args.sequence_cycles = args.sequence_cycles or (200 if quick else 1000)
    args.min_seconds = args.min_seconds if args.min_seconds is not None else (0.5 if quick else 1.0)
    args.skip = {s for s in args.skip.split(",") if s}
    args.lane_isas = [s for s in (args.lane_isas or "").split(",") if s]
    if any(isa not in ("portable", "avx2", "avx512") for isa in args.lane_isas):
        parser.error("--lane-isas takes portable, avx2 and avx512")
    try:
        args.threads = [int(s) for s in args.threads.split(",") if s] or [1]
    except ValueError:
        parser.error("--threads takes counts such as 1,2")
    if min(args.threads) < 1:
        parser.error("--threads must be at least 1")
    names = args.designs.split(",") if args.designs else list(DEFAULT)
    unknown = [n for n in names if n not in DESIGNS]
    if unknown:
        parser.error(f"no design {unknown[0]} (designs: {', '.join(DESIGNS)})")
    if min(args.cycles, args.sequences, args.sequence_cycles) < 1:
        parser.error("--cycles, --sequences and --sequence-cycles must be at least 1")
    Path(args.out).mkdir(parents=True, exist_ok=True)
    results = []
    start = time.perf_counter()
    for name in names:
        try:
            results.append(run_design(DESIGNS[name], args))
        except (OSError, RuntimeError, ValueError) as exc:  # Yosys missing or failing, a full disk, ...
            print(f"run.py: error: {name}: {exc}", file=sys.stderr)
            return 1
        (Path(args.out) / "results.json").write_text(json.dumps(results, indent=1))
    command = "python bench/clocked/run.py " + " ".join(sys.argv[1:])
    text = (f"Machine: {machine()}\n\nCommand: `{command.strip()}` ({time.perf_counter() - start:.0f} s)\n\n"
            f"{table(results)}\n")
    (Path(args.out) / "results.md").write_text(text)
    print(text)
    return 0 if all(r["agree"] is not False for r in results) else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
