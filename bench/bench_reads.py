"""What reading after a step costs, and what run_sequences_jsonl holds per line.

    python bench/bench_reads.py [--designs risc16,rv32sys] [--seconds S] [--lines N]

1. Per cycle of the clocked designs' stimulus (the IRs and stimuli that
   `python bench/clocked/run.py` leaves under bench/out/clocked/), side by
   side in one run: `Simulator.step` alone; then followed by `values` of
   every output bit, of one output bit, of one input bit, and of one output
   bit, another each cycle (turns). The ratio to the step alone is what the
   read adds.
2. In a child process each: the peak memory of `run_sequences_jsonl` over
   sequences of N lines `{"resetn": 0, "seed": 12345}` (ports of 1 and 32
   one-bit busses, numbers written in decimal), shown nothing, per line of
   text, beside the text's own size.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

OUT = Path(__file__).resolve().parent / "out" / "clocked"


def bus_ids(text: str, ports: list[str]) -> list[str]:
    from nimbo.ports import ports_from_text

    records = ports_from_text(text)
    return [bus for p in ports for bus in records[p].bits]


def per_cycle(run, cycles: int, seconds: float) -> float:
    done, start = 0, time.perf_counter()
    while True:
        run()
        done += cycles
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return elapsed / done


def reads(design: str, seconds: float) -> None:
    from nimbo import Simulator

    folder = OUT / design
    job = json.loads((folder / "job_step.json").read_text())
    text = (folder / job["ir"]).read_text()
    in_ids, out_ids = bus_ids(text, job["inputs"]), bus_ids(text, job["outputs"])
    data = (folder / job["stimulus"]).read_bytes()
    width, cycles = len(in_ids), min(job["cycles"], 2000)
    vectors = [{i: "1" if b else "0" for i, b in zip(in_ids, data[c * width:(c + 1) * width])}
               for c in range(cycles)]
    sim = Simulator(text)
    sim.values(out_ids[:1])  # builds the bus keys
    one_out, one_in = out_ids[:1], in_ids[-1:]

    def make(ids: list[str] | None):
        step, values = sim.step, sim.values

        def run() -> None:
            for vector in vectors:
                step(vector)
                if ids is not None:
                    values(ids)
        return run

    def make_turns():
        step, values = sim.step, sim.values
        turns = [[i] for i in out_ids]

        def run() -> None:
            for c, vector in enumerate(vectors):
                step(vector)
                values(turns[c % len(turns)])
        return run

    modes = [("step", None), (f"+ values({len(out_ids)} outputs)", out_ids),
             ("+ values(1 output)", one_out), ("+ values(1 input)", one_in),
             ("+ values(1 output, turns)", "turns")]
    # Rounds over the modes, the best of each: a loaded machine slows some.
    best = [float("inf")] * len(modes)
    for _ in range(3):
        for m, (_, ids) in enumerate(modes):
            run = make_turns() if ids == "turns" else make(ids)
            best[m] = min(best[m], per_cycle(run, cycles, seconds / 3))
    for (name, _), seconds_per in zip(modes, best):
        print(f"{design:>8} {name:<26} {seconds_per * 1e6:9.2f} us/cycle  {seconds_per / best[0]:5.2f}x")


CHILD = """
import sys

def peak():
    # VmHWM: this process's peak (ru_maxrss would count the parent's, kept across exec).
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

from nimbo import Simulator
lines, sequences = int(sys.argv[1]), int(sys.argv[2])
text = open(sys.argv[3]).read()
sim = Simulator(text)
ports = {"resetn": ["r[0]"], "seed": [f"s[{i}]" for i in range(32)]}
block = b'{"resetn": 0, "seed": 12345}\\n' * lines
blocks = [block] * sequences
before = peak()
sim.run_sequences_jsonl(blocks, [], ports=ports)  # rows of nothing: 8 bytes a step
print(peak() - before)
"""


def jsonl_held(lines: int) -> None:
    from nimbo.build import Circuit

    # A design with the two ports as one-bit busses and one output.
    c = Circuit("held")
    r = c.inputs("r", 1)[0]
    c.output("o", r & c.inputs("s", 32)[0])
    sample = '{"resetn": 0, "seed": 12345}\n'
    path = Path(sys.prefix) / "bench_reads_held.json"
    path.write_text(c.to_ir())
    for sequences in (1, 8):
        done = subprocess.run([sys.executable, "-c", CHILD, str(lines), str(sequences), str(path)],
                              capture_output=True, text=True, check=False)
        if done.returncode != 0:
            print(f"run_sequences_jsonl: {done.stderr.strip().splitlines()[-1]}")
            return
        grown = int(done.stdout)
        text = len(sample) * lines * sequences
        print(f"run_sequences_jsonl {sequences} x {lines:,} lines: peak grew {grown / 2**20:7.1f} MiB"
              f" = {grown / (lines * sequences):6.1f} bytes/line (text {len(sample)} bytes/line,"
              f" {text / 2**20:.1f} MiB)")
    path.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--designs", default="risc16,rv32sys")
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--lines", type=int, default=200_000)
    args = parser.parse_args()
    for design in args.designs.split(","):
        if not (OUT / design / "job_step.json").exists():
            print(f"{design}: run `python bench/clocked/run.py --designs {design}` first")
            continue
        reads(design, args.seconds)
    jsonl_held(args.lines)


if __name__ == "__main__":
    main()
