"""The nimbo command line against the native simulator it drives, in one run.

    python bench/bench_cli.py [--quick] [--verilator] [--ir-mb 50]
    python bench/bench_cli.py --long-lines

Three measurements, each side by side with its reference:

* start-up: on a random DAG IR of about 50 MB, the time `nimbo run` spends
  before its first vector (reading the file, rendering, the inputs, step 0),
  against reading the file and calling nimbo.Simulator(text) alone. Both run
  in fresh interpreters and include their imports; median of 3, alternating.
* memory: the peak resident memory (VmHWM) of `nimbo run --vectors` on the
  full adder for vectors files of 1, 10 and 100 MB (10 MB and less with
  --quick).
* per vector: on a random DAG of 10,000 gates, `nimbo run --vectors FILE
  --show OUTPUTS` per vector (reading, parsing and applying the vectors,
  formatting and writing the rows: the run less a run without vectors, with
  the file taken up to 64 times over until that difference is ten times the
  spread of the three fastest runs without vectors; no figure when it never
  is), against
  Simulator.run_jsonl on the same
  bytes alone (in one call, and in the blocks nimbo run reads), and with
  --verilator against the compiled model of a Verilator build on the same
  vectors (needs verilator; builds in ~10 s); then the same on the 64x64
  multiplier of bench/netlists imported through Yosys, whose IR records ports
  (the command shows the ports, joined from their bits; --no-ports leaves it out).

With --long-lines it only times `nimbo run --vectors` on files of one line
of 50, 100 and 200 MB: the time per 100 MB stays the same, since a line is
read in time proportional to its length.

nimbo must be installed in this interpreter (pip install .).
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = ROOT / "bench" / "out" / "cli"
sys.path.insert(0, str(HERE / "compare"))

import nimbo  # noqa: E402,F401  (the installed package, before circuits.py puts src/ on the path)
from circuits import random_dag  # noqa: E402

FULL_ADDER = ROOT / "examples" / "full_adder.json"

STARTUP_CLI = """
import os, sys, time
start = time.perf_counter()
from nimbo.cli import main, run

def first_block(self, *args):
    print(time.perf_counter() - start)
    sys.stdout.flush()
    os._exit(0)

run.Stepper.run_block = first_block
run.Stepper.run_block_text = first_block
with open(os.devnull, "w") as out:
    main(["run", sys.argv[1], "--vectors", sys.argv[2], *sys.argv[3:]], out=out)
"""

STARTUP_NATIVE = """
import sys, time
start = time.perf_counter()
import nimbo
with open(sys.argv[1], encoding="utf-8") as f:
    nimbo.Simulator(f.read())
print(time.perf_counter() - start)
"""

PEAK = """
import os, sys
from nimbo.cli import main
with open(os.devnull, "w") as out:
    status = main(["run", sys.argv[1], "--vectors", sys.argv[2], "--format", "json"], out=out)
with open("/proc/self/status") as proc:
    peak = next(int(line.split()[1]) for line in proc if line.startswith("VmHWM:"))
print(status, peak / 1024)
"""

PER_VECTOR = """
import json, os, sys, time
import nimbo
from nimbo.cli import main
ir, empty, vectors, count, outputs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]

# With "ports" the command shows the circuit's ports (joined from `outputs`, their bits),
# and the simulator reads lines that name its input ports as nimbo run does.
with_ports = sys.argv[6:] == ["ports"]
show = [] if with_ports else ["--show", outputs]

def cli(path, form):
    with open(os.devnull, "w") as out:
        start = time.perf_counter()
        assert main(["run", ir, "--vectors", path, *show, "--format", form], out=out) == 0
        return time.perf_counter() - start

# The command's time per vector is a difference: the fastest run with the
# vectors less the fastest run without (reading and rendering the IR, step
# 0). The noise of that difference is the spread of the three fastest runs
# without vectors (the slower ones are the shared machine's outliers, which
# the minimum leaves out too); the vectors file is taken several times over
# (REPEATS) until the difference is SIGNAL times that noise, and no figure is
# given when even the longest file is swamped.
SIGNAL, REPEATS = 10, (1, 4, 16, 64)
figures = {}
for form in ("table", "json"):
    base = sorted(cli(empty, form) for _ in range(5))
    noise = base[2] - base[0]
    for repeat in REPEATS:
        path = vectors
        if repeat > 1:
            path = "repeated.jsonl"
            with open(vectors, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(data * repeat)
            del data
        extra = min(cli(path, form) for _ in range(5)) - min(base)
        if path != vectors:
            os.unlink(path)
        if extra >= SIGNAL * noise and extra > 0:
            break
    figures["cli_" + form] = extra / (count * repeat) if extra >= SIGNAL * noise and extra > 0 else None
    figures["cli_" + form + "_vectors"] = count * repeat
    figures["cli_" + form + "_noise"] = [noise, extra]
with open(ir, encoding="utf-8") as f:
    ir_text = f.read()
sim = nimbo.Simulator(ir_text)
ports = None
if with_ports:
    from nimbo.ports import ports_from_text
    ports = {name: port.bits for name, port in ports_from_text(ir_text).items() if port.direction == "input"}
with open(vectors, "rb") as f:
    data = f.read()
shown = outputs.split(",")
best = float("inf")
for _ in range(5):
    sim.reset()
    start = time.perf_counter()
    sim.run_jsonl(data, shown, ports=ports)
    best = min(best, time.perf_counter() - start)
figures["engine"] = best / count
# The same, a block of whole lines at a time as nimbo run reads them.
from nimbo.cli.common import VectorBlocks
with VectorBlocks(vectors) as blocks:
    chunks = list(blocks)
best = float("inf")
for _ in range(5):
    sim.reset()
    start = time.perf_counter()
    for block, first_line in chunks:
        sim.run_jsonl(block, shown, first_line, ports=ports)
    best = min(best, time.perf_counter() - start)
figures["blocks"] = best / count
print(json.dumps(figures))
"""


def cli_row(label: str, figures: dict, form: str, count: int, reference: float) -> str:
    """A table row for the command's time per vector, or why there is none."""
    seconds = figures["cli_" + form]
    vectors = figures["cli_" + form + "_vectors"]
    times = "" if vectors == count else f" ({vectors // count}x the file, {vectors:,} vectors)"
    if seconds is None:
        noise, extra = figures["cli_" + form + "_noise"]
        return (f"| {label}{times} | no figure: the vectors took {extra * 1e3:+.1f} ms beyond the run without them,"
                f" less than ten times the noise, the spread of the three fastest runs without them ({noise * 1e3:.1f} ms) | - |")
    return f"| {label}{times} | {seconds * 1e6:.2f} | {seconds / reference:.2f} |"


def python(code: str, *args: object) -> str:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, cwd=OUT)
    if done.returncode != 0:
        raise SystemExit(f"bench_cli: a measurement failed:\n{done.stderr}")
    return done.stdout.strip()


def startup(ir_mb: float) -> list[str]:
    gates = int(ir_mb * 5500)  # about 190 bytes of IR per gate
    print(f"== start-up: generating a {gates:,}-gate DAG", file=sys.stderr, flush=True)
    bench = random_dag(gates)
    ir = OUT / "startup.json"
    ir.write_text(json.dumps(bench.doc, separators=(",", ":")))
    del bench.doc
    vectors = OUT / "one.jsonl"
    vectors.write_text(json.dumps({bench.inputs[0]: "1"}) + "\n")
    size_mb = ir.stat().st_size / 2**20
    shown = ",".join(bench.outputs[:8])
    native, with_show, every_bus = [], [], []
    for _ in range(3):
        native.append(float(python(STARTUP_NATIVE, ir)))
        with_show.append(float(python(STARTUP_CLI, ir, vectors, "--show", shown)))
        every_bus.append(float(python(STARTUP_CLI, ir, vectors)))
    base = statistics.median(native)
    rows = [
        f"IR: {size_mb:.1f} MB, {gates:,} gates, {len(bench.inputs) + gates:,} busses; median of 3",
        "",
        "| before the first vector | seconds | ÷ read + Simulator(text) |",
        "|---|---|---|",
        f"| read + `nimbo.Simulator(text)` | {base:.2f} | 1.00 |",
    ]
    for label, times in ((f"`nimbo run --show` ({len(bench.outputs[:8])} busses)", with_show),
                         ("`nimbo run`, every bus in step 0", every_bus)):
        rows.append(f"| {label} | {statistics.median(times):.2f} | {statistics.median(times) / base:.2f} |")
    return rows


def memory(sizes: list[int]) -> list[str]:
    line = '{"a": "1", "b": "0", "cin": "1"}\n'
    rows = ["| vectors file | vectors | peak resident memory |", "|---|---|---|"]
    for megabytes in sizes:
        print(f"== memory: {megabytes} MB of vectors", file=sys.stderr, flush=True)
        path = OUT / f"adder-{megabytes}.jsonl"
        count = megabytes * 2**20 // len(line)
        path.write_text(line * count)
        status, peak = python(PEAK, FULL_ADDER, path).split()
        rows.append(f"| {megabytes} MB | {count:,} | {float(peak):.1f} MB |")
        path.unlink()
    return rows


LONG_LINE = """
import os, sys, time
from nimbo.cli import main
with open(os.devnull, "w") as out:
    start = time.perf_counter()
    status = main(["run", sys.argv[1], "--vectors", sys.argv[2]], out=out)
print(status, time.perf_counter() - start)
"""


def long_lines(sizes: list[int]) -> list[str]:
    """`nimbo run --vectors` on a file of one line of each size (a value too
    wide for the bus, refused once read): reading a line takes time in
    proportion to its length, so the time per 100 MB stays the same."""
    rows = ["| one line of | `nimbo run --vectors` | per 100 MB |", "|---|---|---|"]
    for megabytes in sizes:
        print(f"== long lines: {megabytes} MB", file=sys.stderr, flush=True)
        path = OUT / f"line-{megabytes}.jsonl"
        path.write_bytes(b'{"a": "' + b"1" * (megabytes << 20) + b'"}\n')
        status, seconds = python(LONG_LINE, FULL_ADDER, path).split()
        path.unlink()
        assert status == "1"  # the value is refused, once the whole line is read
        rows.append(f"| {megabytes} MB | {float(seconds):.2f} s | {float(seconds) * 100 / megabytes:.2f} s |")
    return rows


def per_vector(count: int, verilator: bool) -> list[str]:
    print(f"== per vector: dag10k, {count:,} vectors", file=sys.stderr, flush=True)
    bench = random_dag(10_000)
    ir_text = json.dumps(bench.doc, separators=(",", ":"))
    ir = OUT / "dag10k.json"
    ir.write_text(ir_text)
    rng = random.Random(7)
    vectors = [{i: rng.choice("01") for i in bench.inputs} for _ in range(count)]
    path = OUT / "dag10k.jsonl"
    path.write_text("".join(json.dumps(v) + "\n" for v in vectors))
    empty = OUT / "empty.jsonl"
    empty.write_text("")
    figures = json.loads(python(PER_VECTOR, ir, empty, path, count, ",".join(bench.outputs)))
    reference = figures["engine"]
    rows = [
        f"dag10k: 10,000 gates, {len(bench.inputs)} inputs, {len(bench.outputs)} shown outputs, {count:,} vectors"
        f" ({path.stat().st_size / 2**20:.1f} MB of JSON Lines); best of 5",
        "",
        "| per vector | µs | ÷ run_jsonl |",
        "|---|---|---|",
        f"| `Simulator.run_jsonl(data, outputs)`, the whole file in one call | {reference * 1e6:.2f} | 1.00 |",
        f"| the same in blocks of 1 MB, as `nimbo run` reads them | {figures['blocks'] * 1e6:.2f} |"
        f" {figures['blocks'] / reference:.2f} |",
        cli_row("`nimbo run --vectors --show ...` (table)", figures, "table", count, reference),
        cli_row("`nimbo run --vectors --show ... --format json`", figures, "json", count, reference),
    ]
    if verilator:
        seconds = verilator_per_vector(ir_text, bench, vectors)
        if seconds is not None:
            rows.append(f"| Verilator model, eval per vector | {seconds * 1e6:.2f} | {seconds / reference:.2f} |")
    return rows


def ported_per_vector(count: int) -> list[str]:
    """The same on a synthesized netlist whose IR records ports, the command
    showing the ports (each joined from its bits): the same vectors with the
    input bits named one by one, and with the input ports as hex numbers."""
    print(f"== per vector: the imported 64x64 multiplier, {count:,} vectors", file=sys.stderr, flush=True)
    sys.path.insert(0, str(HERE / "netlists"))
    from build import netlist_ir

    ir = netlist_ir("mult64")
    ir_text = ir.read_text()
    ports = json.loads(ir_text)["component"]["ports"]
    inputs = [bit for port in ports.values() if port["direction"] == "input" for bit in port["bits"]]
    bits = [bit for port in ports.values() for bit in port["bits"]]
    rng = random.Random(9)
    numbers = {name: [rng.getrandbits(len(port["bits"])) for _ in range(count)]
               for name, port in ports.items() if port["direction"] == "input"}
    by_bit, by_port = OUT / "mult64-bits.jsonl", OUT / "mult64-numbers.jsonl"
    with open(by_bit, "w") as bit_lines, open(by_port, "w") as port_lines:
        for k in range(count):
            line = {bit: "1" if numbers[name][k] >> i & 1 else "0"
                    for name in numbers for i, bit in enumerate(ports[name]["bits"])}
            bit_lines.write(json.dumps(line) + "\n")
            port_lines.write(json.dumps({name: hex(numbers[name][k]) for name in numbers}) + "\n")
    empty = OUT / "empty.jsonl"
    empty.write_text("")
    runs = [json.loads(python(PER_VECTOR, ir, empty, path, count, ",".join(bits), "ports"))
            for path in (by_bit, by_port)]

    def cell(figures: dict, key: str) -> tuple[str, float | None]:
        seconds = figures[key]
        if seconds is None:
            noise, extra = figures[key + "_noise"]
            return f"no figure: {extra * 1e3:+.1f} ms beyond the run without vectors, under ten times the noise", None
        repeat = figures.get(key + "_vectors", count) // count
        return f"{seconds * 1e6:.2f}" + (f" ({repeat}x the file)" if repeat > 1 else ""), seconds

    rows = [
        f"mult64 imported from Verilog through Yosys, ports {', '.join(ports)} shown ({len(bits)} bits);"
        f" {count:,} vectors, written with the {len(inputs)} input bits named one by one"
        f" ({by_bit.stat().st_size / 2**20:.1f} MB of JSON Lines, {by_bit.stat().st_size // count:,} bytes a line)"
        f" and with the input ports as hex numbers ({by_port.stat().st_size / 2**20:.1f} MB,"
        f" {by_port.stat().st_size // count} bytes a line); best of 5",
        "",
        "| per vector | bits named one by one, µs | ports as numbers, µs | numbers ÷ bits |",
        "|---|---|---|---|",
    ]
    for label, key in (("`Simulator.run_jsonl(data, port bits, ports=...)`, the whole file in one call", "engine"),
                       ("the same in blocks of 1 MB, as `nimbo run` reads them", "blocks"),
                       ("`nimbo run --vectors` (table of ports)", "cli_table"),
                       ("`nimbo run --vectors --format json`", "cli_json")):
        (bit_text, bit_s), (port_text, port_s) = cell(runs[0], key), cell(runs[1], key)
        ratio = f"{port_s / bit_s:.2f}" if bit_s and port_s else "-"
        rows.append(f"| {label} | {bit_text} | {port_text} | {ratio} |")
    return rows


def verilator_per_vector(ir_text: str, bench, vectors: list[dict[str, str]]) -> float | None:
    import shutil

    from nimbo.ir import circuit_from_text
    from nimbo.verilog.netlist import to_verilog, vector_line
    from verilator_main import verilator_main

    if not shutil.which("verilator"):
        print("bench_cli: no verilator on PATH; skipped", file=sys.stderr)
        return None
    print("== per vector: building the Verilator model", file=sys.stderr, flush=True)
    work = OUT / "verilator"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    netlist = to_verilog(circuit_from_text(ir_text), outputs=bench.outputs)
    (work / "net.v").write_text(netlist.text)
    (work / "vectors.mem").write_text("\n".join(vector_line(netlist, v) for v in vectors) + "\n")
    (work / "main.cpp").write_text(verilator_main(netlist))
    subprocess.run(["verilator", "--cc", "--exe", "--build", "-j", "2", "--top-module", netlist.module, "-Wno-fatal",
                    "-Wno-lint", "-Wno-style", "--x-assign", "fast", "--x-initial", "fast", "-Mdir", "obj", "-o",
                    "vsim", "net.v", "main.cpp"], cwd=work, check=True, capture_output=True)
    done = subprocess.run([str(work / "obj" / "vsim"), "vectors.mem", "4", "1.0"], cwd=work, check=True,
                          capture_output=True, text=True)
    timing = [line.split() for line in done.stdout.splitlines() if line.startswith("T ")]
    return float(timing[0][2]) / int(timing[0][1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 10 MB IR, vectors files up to 10 MB, 5,000 vectors")
    parser.add_argument("--verilator", action="store_true", help="also time a Verilator model of the 10k-gate DAG")
    parser.add_argument("--ir-mb", type=float, default=None, help="size of the start-up IR in MB (default 50)")
    parser.add_argument("--no-ports", action="store_true", help="leave out the imported netlist (needs Yosys)")
    parser.add_argument("--long-lines", action="store_true",
                        help="only time reading vectors files of one line of 50, 100 and 200 MB")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    if args.long_lines:
        print("\n### Long lines\n")
        print("\n".join(long_lines([50, 100, 200])))
        return 0
    sections = [
        ("Start-up", startup(args.ir_mb or (10 if args.quick else 50))),
        ("Memory while streaming vectors", memory([1, 10] if args.quick else [1, 10, 100])),
        ("Per vector", per_vector(5_000 if args.quick else 20_000, args.verilator)),
    ]
    if not args.no_ports:
        sections.append(("Per vector, a circuit with ports", ported_per_vector(2_000 if args.quick else 20_000)))
    for title, rows in sections:
        print(f"\n### {title}\n")
        print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
