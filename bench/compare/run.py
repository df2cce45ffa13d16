"""nimbo against Icarus Verilog and Verilator on the same circuits and vectors.

    python bench/compare/run.py [--quick] [--sizes adder64,mult16x16,dag10k,...]

For each circuit: the IR is generated (or, for the syn_* designs, Verilog of
bench/netlists is synthesized by Yosys and imported), converted to a Verilog
netlist of continuous assignments (nimbo.verilog.netlist), and every simulator
applies the same random input vectors. nimbo runs twice: one
Component.update_signals call per vector, and batches through
Simulator.run_bits. Measured per simulator: build time (nimbo: render;
Icarus: iverilog compile plus vvp load; Verilator: verilate plus C++ build
with -j2), time per input vector, and peak resident memory of the process
(compile and run separately for Verilator). The outputs of the first vectors
are compared across all. Results go to bench/out/compare/results.json and a
Markdown table to stdout and bench/out/compare/results.md.

nimbo is run in a subprocess of this interpreter, so nimbo must be
importable here (pip install the project first).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))

from circuits import by_name  # noqa: E402
from nimbo.verilog.icarus import testbench  # noqa: E402
from nimbo.ir import circuit_from_text  # noqa: E402
from nimbo.verilog.netlist import to_verilog, vector_line  # noqa: E402
from verilator_main import verilator_main  # noqa: E402

TIME = shutil.which("time", path="/usr/bin:/bin")  # GNU time, for peak memory

FULL = ["adder64", "mult16x16", "mult32x32", "dag10k", "dag100k", "dag1M", "syn_mult64", "syn_isqrt", "syn_div32"]
QUICK = ["adder64", "mult16x16", "dag10k"]
VECTORS = {"adder64": 2000, "mult16x16": 1000, "mult32x32": 500, "dag10k": 500, "dag100k": 100, "dag1M": 20,
           "syn_mult64": 200, "syn_isqrt": 200, "syn_div32": 200}
# The batch path and Verilator replay a longer list (lanes fill up to 512
# vectors per pass); Icarus and the one-call-per-vector path the first ones.
BATCH_VECTORS = 4096
SHOWN = 4
SIMULATORS = ("nimbo", "nimbo batch", "icarus", "verilator")


class Measured:
    def __init__(self, seconds: float, rss_mb: float, stdout: str, status: int, stderr: str):
        self.seconds, self.rss_mb, self.stdout, self.status, self.stderr = seconds, rss_mb, stdout, status, stderr


def measure(cmd: list[str], cwd: Path, timeout: float, marks: dict[str, float] | None = None) -> Measured:
    """Runs cmd, returning wall time, peak RSS and output; `marks` receives
    the time each stdout line START or DONE arrived, relative to the start.

    Peak RSS comes from GNU time, which forks the command from its own small
    process: the RSS a child reports through wait4 would include the
    high-water mark of this Python process, inherited across fork and exec."""
    rss_file = cwd / ".maxrss"
    rss_file.unlink(missing_ok=True)
    if TIME:
        cmd = [TIME, "-f", "%M", "-o", str(rss_file)] + cmd
    start = time.perf_counter()
    # A session of its own, so that a timeout ends the whole tree (make, compilers), not just GNU time.
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    err_chunks: list[str] = []
    reader = threading.Thread(target=lambda: err_chunks.append(proc.stderr.read()), daemon=True)
    reader.start()
    killer = threading.Timer(timeout, lambda: os.killpg(proc.pid, signal.SIGKILL))
    killer.start()
    lines = []
    for line in proc.stdout:
        if marks is not None and line.strip() in ("START", "DONE"):
            marks[line.strip()] = time.perf_counter() - start
        lines.append(line)
    status = proc.wait()
    seconds = time.perf_counter() - start
    killer.cancel()
    reader.join(5)
    try:
        rss_mb = int(rss_file.read_text().split()[-1]) / 1024
    except (OSError, ValueError, IndexError):
        rss_mb = float("nan")
    return Measured(seconds, rss_mb, "".join(lines), status, "".join(err_chunks))


def shown_rows(stdout: str) -> list[str]:
    return ["".join(line.split()[2:]) for line in stdout.splitlines() if line.startswith("V ")]


def run_circuit(name: str, args, out_root: Path) -> dict:
    work = out_root / name
    work.mkdir(parents=True, exist_ok=True)
    count = max(4, VECTORS[name] // (5 if args.quick else 1))
    print(f"== {name}: generating", file=sys.stderr, flush=True)
    bench = by_name(name)
    ir_text = json.dumps(bench.doc, separators=(",", ":"))
    del bench.doc
    (work / "ir.json").write_text(ir_text)
    circuit = circuit_from_text(ir_text)
    result: dict = {"circuit": name, "gates": circuit.gate_count(), "busses": len(circuit.busses), "vectors": count}
    del ir_text

    rng = random.Random(7)
    vectors = [{i: rng.choice("01") for i in bench.inputs} for _ in range(max(count, BATCH_VECTORS))]
    (work / "vectors.json").write_text(json.dumps(vectors[:count]))
    (work / "vectors_all.json").write_text(json.dumps(vectors))
    (work / "inputs.json").write_text(json.dumps(bench.inputs))
    (work / "outputs.json").write_text(json.dumps(bench.outputs))

    netlist = to_verilog(circuit, outputs=bench.outputs)
    del circuit
    (work / "net.v").write_text(netlist.text)
    (work / "vectors.mem").write_text("\n".join(vector_line(netlist, v) for v in vectors[:count]) + "\n")
    (work / "vectors_all.mem").write_text("\n".join(vector_line(netlist, v) for v in vectors) + "\n")

    for label, mode, vector_file in (("nimbo", "update", "vectors.json"), ("nimbo batch", "bits", "vectors_all.json")):
        if "nimbo" in args.skip:
            break
        print(f"== {name}: {label}", file=sys.stderr, flush=True)
        m = measure([sys.executable, str(HERE / "nimbo_runner.py"), mode, "ir.json", vector_file, "inputs.json",
                     "outputs.json", str(SHOWN), str(args.min_seconds), str(args.max_seconds)], work, args.timeout)
        if m.status == 0:
            figures = json.loads(m.stdout.strip().splitlines()[-1])
            result[label] = {"build_s": figures["build_s"], "per_vector_s": figures["per_vector_s"],
                             "timed_vectors": figures["vectors"], "rss_mb": m.rss_mb, "shown": figures["shown"]}
        else:
            result[label] = {"error": (m.stderr.strip().splitlines() or ["failed"])[-1]}

    # Icarus Verilog
    if shutil.which("iverilog") and "icarus" not in args.skip:
        print(f"== {name}: icarus", file=sys.stderr, flush=True)
        (work / "tb_icarus.v").write_text(testbench(netlist.module, netlist.inputs, netlist.outputs, "vectors.mem", count, SHOWN))
        comp = measure(["iverilog", "-o", "icarus.vvp", "tb_icarus.v", "net.v"], work, args.timeout)
        if comp.status == 0:
            marks: dict[str, float] = {}
            run = measure(["vvp", "-n", "icarus.vvp"], work, args.timeout, marks)
            if "DONE" in marks:
                result["icarus"] = {"build_s": comp.seconds + marks["START"],
                                    "per_vector_s": (marks["DONE"] - marks["START"]) / count,
                                    "timed_vectors": count, "rss_mb": run.rss_mb, "compile_rss_mb": comp.rss_mb,
                                    "shown": shown_rows(run.stdout)}
            else:
                result["icarus"] = {"error": f"vvp did not finish within {args.timeout:.0f} s"}
        else:
            result["icarus"] = {"error": (comp.stderr.strip().splitlines() or ["iverilog failed"])[-1]}

    # Verilator
    if shutil.which("verilator") and "verilator" not in args.skip:
        if result["gates"] > args.verilator_max_gates:
            result["verilator"] = {"error": f"not built: more than --verilator-max-gates={args.verilator_max_gates}"}
        else:
            print(f"== {name}: verilator", file=sys.stderr, flush=True)
            (work / "main.cpp").write_text(verilator_main(netlist))
            shutil.rmtree(work / "obj", ignore_errors=True)
            comp = measure(["verilator", "--cc", "--exe", "--build", "-j", "2", "--top-module", netlist.module,
                            "-Wno-fatal", "-Wno-lint", "-Wno-style", "--x-assign", "fast", "--x-initial", "fast",
                            "-Mdir", "obj", "-o", "vsim", *args.verilator_flags.split(),
                            "net.v", "main.cpp"], work, args.verilator_timeout)
            if comp.status == 0:
                run = measure([str(work / "obj" / "vsim"), "vectors_all.mem", str(SHOWN), str(args.min_seconds)],
                              work, args.timeout)
                timing = [line.split() for line in run.stdout.splitlines() if line.startswith("T ")]
                if run.status == 0 and timing:
                    done, seconds = int(timing[0][1]), float(timing[0][2])
                    result["verilator"] = {"build_s": comp.seconds, "per_vector_s": seconds / done,
                                           "timed_vectors": done, "rss_mb": run.rss_mb,
                                           "compile_rss_mb": comp.rss_mb, "shown": shown_rows(run.stdout)}
                else:
                    result["verilator"] = {"error": "the model failed to run"}
            elif comp.seconds >= args.verilator_timeout:
                result["verilator"] = {"error": f"build not finished within {args.verilator_timeout:.0f} s"}
            else:
                result["verilator"] = {"error": (comp.stderr.strip().splitlines() or ["build failed"])[-1][:200]}

    reference = result.get("nimbo", {}).get("shown")
    result["agree"] = all(result[s].get("shown") == reference for s in SIMULATORS[1:]
                          if s in result and "shown" in result[s]) if reference else None
    return result


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "–"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.2f} µs"


def table(results: list[dict]) -> str:
    names = SIMULATORS
    rows = [
        "| circuit | gates | build: nimbo / Icarus / Verilator | per vector: nimbo / nimbo batch / Icarus / Verilator "
        "| ns per gate and vector: nimbo / nimbo batch / Icarus / Verilator | nimbo ÷ Verilator "
        "| nimbo batch ÷ Verilator | nimbo batch ÷ Icarus | peak MB, run: nimbo / Icarus / Verilator "
        "| peak MB, build: Icarus / Verilator | outputs agree |",
        "|" + "---|" * 11,
    ]
    notes = []
    for r in results:
        sims = [r.get(n, {}) for n in names]

        def col(key, f, which=sims):
            return " / ".join(f(s[key]) if key in s else ("n/a" if "error" in s else "–") for s in which)

        gates = r["gates"]
        per = [s.get("per_vector_s") for s in sims]
        ratio = lambda a, b: f"{a / b:.3g}" if a and b else "–"  # noqa: E731
        builds = [sims[0], sims[2], sims[3]]
        rows.append(
            f"| {r['circuit']} | {gates:,} | {col('build_s', fmt_time, builds)} | {col('per_vector_s', fmt_time)} "
            f"| {col('per_vector_s', lambda t: f'{t / gates * 1e9:.3g}')} | {ratio(per[0], per[3])} "
            f"| {ratio(per[1], per[3])} | {ratio(per[1], per[2])} | {col('rss_mb', lambda m: f'{m:.0f}', builds)} "
            f"| {col('compile_rss_mb', lambda m: f'{m:.0f}', sims[2:])} | {r['agree']} |")
        reference = sims[0].get("shown")
        for n, s in zip(names[1:], sims[1:]):
            if reference and "shown" in s and s["shown"] != reference:
                notes.append(f"- {r['circuit']}: {n}'s outputs differ from nimbo's on the first vectors")
        notes += [f"- {r['circuit']}, {n}: {s['error']}" for n, s in zip(names, sims) if "error" in s]
    return "\n".join(rows + ([""] + notes if notes else []))


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
    for tool, flag in (("iverilog", "-V"), ("verilator", "--version")):
        if shutil.which(tool):
            out = subprocess.run([tool, flag], capture_output=True, text=True).stdout.splitlines()
            tools.append(out[0] if out else tool)
    return (f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, "
            + ", ".join(tools))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help=f"circuits {','.join(QUICK)} with fewer vectors")
    parser.add_argument("--sizes", help=f"comma-separated circuits (default: {','.join(FULL)})")
    parser.add_argument("--skip", default="", help="comma-separated simulators to leave out: nimbo,icarus,verilator")
    parser.add_argument("--min-seconds", type=float, default=1.0, help="replay vectors at least this long (nimbo, Verilator)")
    parser.add_argument("--max-seconds", type=float, default=60.0, help="stop replaying nimbo vectors after this long")
    parser.add_argument("--timeout", type=float, default=1800.0, help="limit for one run or compile step")
    parser.add_argument("--verilator-timeout", type=float, default=3600.0, help="limit for one Verilator build")
    parser.add_argument("--verilator-max-gates", type=int, default=2_000_000, help="skip Verilator above this size")
    parser.add_argument("--verilator-flags", default="-O3 -fno-const-bit-op-tree",
                        help="verilator optimisation options (default: -O3 -fno-const-bit-op-tree; "
                             "Verilator 5.006's constant bit-op-tree optimisation computes some DAGs wrongly)")
    parser.add_argument("--out", default=str(ROOT / "bench" / "out" / "compare"), help="work directory")
    parser.add_argument("--report", action="store_true", help="only print the table of the last results.json")
    args = parser.parse_args()
    if args.report:
        print(table(json.loads((Path(args.out) / "results.json").read_text())))
        return 0
    names = args.sizes.split(",") if args.sizes else (QUICK if args.quick else FULL)
    for name in names:
        if name not in VECTORS:
            VECTORS[name] = 100
    out_root = Path(args.out).resolve()
    out_root.mkdir(parents=True, exist_ok=True)
    results = []
    for name in names:
        results.append(run_circuit(name, args, out_root))
        (out_root / "results.json").write_text(json.dumps(results, indent=2))
    command = "python bench/compare/run.py " + " ".join(sys.argv[1:])
    text = f"Machine: {machine()}\n\nCommand: `{command.strip()}`\n\n{table(results)}\n"
    (out_root / "results.md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
