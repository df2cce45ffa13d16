"""nimbo's side of the clocked benchmark: every call into nimbo is here.

    python nimbo_side.py JOB.json

runs one way of driving nimbo on one design and prints one JSON line: the
figures (build_s, cycles, seconds, per_cycle_s, cpu_per_cycle_s) or {"error": "..."}. The
job (written by run.py) names the IR, the stimulus block (sequences x cycles
x input bits, one byte per bit; see stimulus.py), the input and output ports
(the IR's port records give their busses, least significant bit first),
the clock, where to write the trace (one byte per output bit per cycle)
and how long to replay.

Modes, for designs whose flip-flops are registers of the IR (one step = one
cycle of the clock, see nimbo.Simulator.step):
  step       Simulator.step(inputs) per cycle from Python, inputs a ready
             dictionary of every input bit;
  run_bits   Simulator.run_bits over the whole sequence, one row per cycle;
  run_jsonl  Simulator.run_jsonl over the sequence as JSON Lines, one line per cycle;
  lanes      Simulator.run_sequences over all sequences at once.
For designs whose flip-flops are latches of NAND gates on two clock phases
(ordinary inputs of a circuit with feedback; see synth.two_phase):
  update4    four Simulator.update calls per cycle: the inputs with phi1 1,
             then phi1 0, phi2 1, phi2 0 (outputs read after the last);
  bits4      Simulator.run_bits with the same four rows per cycle.
The first pass over the stimulus writes the trace; then the stimulus is
replayed (from the state the pass left; every sequence begins with its
resets) until min_seconds have passed, or max_seconds for a slow mode.
"""

from __future__ import annotations

import json
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

MODES = ("step", "run_bits", "run_jsonl", "lanes", "update4", "bits4")
# What each mode of a design with registers needs of nimbo.Simulator (the
# stepping engine: run_bits and run_jsonl step registers only where step exists).
_NEEDS = {"step": "step", "run_bits": "step", "run_jsonl": "step", "lanes": "run_sequences"}


def import_ir(
    sources: list[Path], top: str, out: Path, memories: str = "map", cwd: Path | None = None
) -> tuple[str | None, float]:
    """`nimbo import` of a Yosys JSON netlist, or of Verilog sources, into
    `out`, with `--memories` `memories`, run in `cwd` (where `$readmemh`
    finds its files): (None or the command's error line, seconds)."""
    start = time.perf_counter()
    command = [sys.executable, "-m", "nimbo", "import", *map(str, sources), "--top", top, "-o", str(out),
               "--memories", memories]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, cwd=cwd)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        lines = [line.strip() for line in done.stderr.splitlines() if line.strip()] or [f"status {done.returncode}"]
        return lines[-1].removeprefix("nimbo: error: "), seconds
    return None, seconds


def _replay(run: Callable[[], int], min_s: float, max_s: float) -> tuple[int, float, float]:
    """Calls run() (which returns the cycles it ran) at least once, and until
    min_s have passed (or max_s): (cycles, wall seconds, CPU seconds of the
    process, every thread's)."""
    done, start, cpu_start = 0, time.perf_counter(), time.process_time()
    while True:
        done += run()
        elapsed = time.perf_counter() - start
        if elapsed >= min_s or elapsed >= max_s:
            return done, elapsed, time.process_time() - cpu_start


def _bus_ids(ir_text: str, ports: list[str]) -> list[str]:
    from nimbo.ports import ports_from_text

    records = ports_from_text(ir_text)
    missing = [p for p in ports if p not in records]
    if missing:
        raise LookupError(f"the IR has no port {missing[0]}")
    return [bus for p in ports for bus in records[p].bits]


def run_job(job: dict[str, Any]) -> dict[str, Any]:
    from nimbo import Simulator

    mode = job["mode"]
    needed = _NEEDS.get(mode)
    if needed and not hasattr(Simulator, needed):
        return {"error": f"nimbo.Simulator has no {needed}() yet"}
    text = Path(job["ir"]).read_text()
    in_ids, out_ids = _bus_ids(text, job["inputs"]), _bus_ids(text, job["outputs"])
    phases = job.get("phases", [])
    sequences, cycles = job["sequences"], job["cycles"]
    data = Path(job["stimulus"]).read_bytes()
    width = len(in_ids)
    if len(data) != sequences * cycles * width:
        raise ValueError(f"the stimulus holds {len(data)} bytes, expected {sequences} x {cycles} x {width}")
    if mode != "lanes":
        data = data[:cycles * width]  # the first sequence
    rows = [data[c * width:(c + 1) * width] for c in range(cycles)]
    min_s, max_s = job["min_seconds"], job["max_seconds"]

    start = time.perf_counter()
    sim = Simulator(text)
    build_s = time.perf_counter() - start
    trace = bytearray()

    def read() -> None:
        values = sim.values(out_ids)
        trace.extend(1 if values[i] == "1" else 0 for i in out_ids)

    if mode in ("step", "update4"):
        vectors = [{i: "1" if b else "0" for i, b in zip(in_ids, row)} for row in rows]
        if mode == "step":
            for vector in vectors:
                sim.step(vector)
                read()
            step = sim.step

            def run() -> int:
                for vector in vectors:
                    step(vector)
                return cycles
        else:
            one, two = phases
            opens = [{**vector, one: "1"} for vector in vectors]
            rest = ({one: "0"}, {two: "1"}, {two: "0"})
            update = sim.update
            for vector in opens:
                update(vector)
                for change in rest:
                    update(change)
                read()

            def run() -> int:
                for vector in opens:
                    update(vector)
                    for change in rest:
                        update(change)
                return cycles
    elif mode in ("run_bits", "bits4"):
        if mode == "run_bits":
            columns, grid = in_ids, memoryview(b"".join(rows)).cast("B", (cycles, width))
        else:
            four = b"".join(b"\1\0" + row + b"\0\0" + row + b"\0\1" + row + b"\0\0" + row for row in rows)
            columns, grid = list(phases) + in_ids, memoryview(four).cast("B", (4 * cycles, width + 2))
        got = bytes(sim.run_bits(columns, grid, out_ids))
        if mode == "bits4":
            size = len(out_ids)
            got = b"".join(got[(4 * c + 3) * size:(4 * c + 4) * size] for c in range(cycles))
        trace += got

        def run() -> int:
            sim.run_bits(columns, grid, out_ids)
            return cycles
    elif mode == "run_jsonl":
        block = "".join(json.dumps({i: "1" if b else "0" for i, b in zip(in_ids, row)}) + "\n" for row in rows).encode()
        values, _ = sim.run_jsonl(block, out_ids)
        for row_values in values:
            trace.extend(1 if v == "1" else 0 for v in row_values)

        def run() -> int:
            sim.run_jsonl(block, out_ids)
            return cycles
    elif mode == "lanes":
        cube = memoryview(data).cast("B", (sequences, cycles, width))
        threads = job.get("threads", 1)
        keywords = {"threads": threads} if threads != 1 else {}
        trace += bytes(sim.run_sequences(in_ids, cube, out_ids, **keywords))

        def run() -> int:
            sim.run_sequences(in_ids, cube, out_ids, **keywords)
            return sequences * cycles
    else:
        raise ValueError(f"unknown mode {mode}")

    Path(job["trace"]).write_bytes(bytes(trace))
    done, seconds, cpu = _replay(run, min_s, max_s)
    return {"build_s": build_s, "cycles": done, "seconds": seconds, "per_cycle_s": seconds / max(done, 1),
            "cpu_per_cycle_s": cpu / max(done, 1)}


def main() -> int:
    job = json.loads(Path(sys.argv[1]).read_text())
    try:
        figures = run_job(job)
    except Exception as exc:  # reported in the table, not raised: the other simulators go on
        message = str(exc).strip().splitlines()
        figures = {"error": f"{type(exc).__name__}: {message[0] if message else ''}"[:300]}
    print(json.dumps(figures))
    return 0


if __name__ == "__main__":
    sys.exit(main())
