"""Throughput of nimbo.regress with one and two local Dask workers.

Run: python bench/bench_regress.py [--gates 100000] [--sets 64] [--vectors 50000] [--runs 3]
(needs `pip install '.[distributed]'`)

1. A campaign of SETS vector sets of VECTORS vectors each (every vector
   writes all 64 inputs) on a random DAG of GATES gates, the circuit of the
   comparison benchmark, run with keep="digest" on a local cluster of one
   worker and on one of two workers. The two clusters are started first and
   the runs alternate (1, 2, 1, 2, ...), so both see the same machine; each
   run includes handing the IR to the workers and rendering it there. The
   sets are files, which the workers of a local cluster read themselves.
   Reported: the median wall time of each, and their ratio.
2. The start-up of a run without sets: handing the IR to the workers, which
   render it side by side.
3. The cost per set beyond simulating it (scheduling, transfer, merging):
   many one-vector sets of a full adder, wall time divided by their number.
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

import nimbo  # noqa: F401  (before circuits.py puts the source tree on sys.path)
from nimbo.regression import connect, regress

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "compare"))
from circuits import random_dag  # noqa: E402

# circuits.py reads nimbo.ir from the source tree; the workers must import the
# installed package, and they start with this process's sys.path.
sys.path[:] = [p for p in sys.path if Path(p).resolve() not in (HERE.parent / "src", HERE / "compare")]

FULL_ADDER = (Path(__file__).resolve().parents[1] / "examples" / "full_adder.json").read_text()


def write_sets(directory: Path, inputs: list[str], sets: int, vectors: int, seed: int = 1) -> list[Path]:
    """Random vectors, each writing every input."""
    rng = random.Random(seed)
    line = "{" + ", ".join(f'{json.dumps(bus)}: "%s"' for bus in inputs) + "}\n"
    paths = []
    for k in range(sets):
        path = directory / f"set{k:03d}.jsonl"
        with open(path, "w") as stream:
            for _ in range(vectors):
                stream.write(line % tuple(f"{rng.getrandbits(len(inputs)):0{len(inputs)}b}"))
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gates", type=int, default=100_000)
    parser.add_argument("--sets", type=int, default=64)
    parser.add_argument("--vectors", type=int, default=50_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tiny-sets", type=int, default=1000, help="one-vector sets for the cost per set")
    args = parser.parse_args()

    started = time.perf_counter()
    bench = random_dag(args.gates)
    ir = json.dumps(bench.doc)
    print(
        f"circuit: random DAG, {args.gates:,} gates, {len(bench.inputs)} inputs, IR {len(ir) / 1e6:.1f} MB "
        f"(built in {time.perf_counter() - started:.1f} s)"
    )
    with ExitStack() as stack:
        clients = {workers: stack.enter_context(connect(workers=workers, quiet=True)) for workers in (1, 2)}
        with tempfile.TemporaryDirectory() as scratch:
            paths = write_sets(Path(scratch), bench.inputs, args.sets, args.vectors)
            total = args.sets * args.vectors
            print(f"campaign: {args.sets} sets x {args.vectors:,} vectors = {total:,} vectors, keep=digest")
            seconds: dict[int, list[float]] = {1: [], 2: []}
            digests: dict[int, list[str | None]] = {}
            for run in range(args.runs):
                for workers, client in clients.items():
                    cpu = sum(client.run(time.process_time).values())
                    own = time.process_time()  # this process: the run and the scheduler of its cluster
                    start = time.perf_counter()
                    result = regress(ir, paths, show=bench.outputs, keep="digest", client=client)
                    seconds[workers].append(time.perf_counter() - start)
                    # The cores the workers got: near their number when the machine is quiet.
                    cores = (sum(client.run(time.process_time).values()) - cpu) / seconds[workers][-1]
                    here = (time.process_time() - own) / seconds[workers][-1]
                    assert result.passed, [r.fault for r in result.results if r.fault][:1]
                    digests.setdefault(workers, [r.digest for r in result.results])
                    print(
                        f"  run {run + 1}, {workers} worker{'s' if workers > 1 else ' '}: {seconds[workers][-1]:7.2f} s"
                        f"  {total / seconds[workers][-1]:9,.0f} vectors/s"
                        f"   cores used: workers {cores:.2f}, this process {here:.2f}"
                    )
            assert digests[1] == digests[2], "the two clusters disagree"
            one, two = statistics.median(seconds[1]), statistics.median(seconds[2])
            pairs = [a / b for a, b in zip(seconds[1], seconds[2])]
            print(
                f"median: 1 worker {one:.2f} s, 2 workers {two:.2f} s; throughput ratio {one / two:.2f}x "
                f"(per run: {', '.join(f'{p:.2f}' for p in pairs)})"
            )

            for workers, client in clients.items():
                start = time.perf_counter()
                regress(ir, [], client=client)
                print(
                    f"start-up per run, {workers} worker{'s' if workers > 1 else ' '}: "
                    f"{time.perf_counter() - start:.2f} s (no sets: the IR to the workers, which render it)"
                )

            tiny = [[{"a": str(k & 1), "b": str(k >> 1 & 1)}] for k in range(args.tiny_sets)]
            for workers, client in clients.items():
                regress(FULL_ADDER, tiny[:10], keep="last", client=client)  # warm
                start = time.perf_counter()
                regress(FULL_ADDER, tiny, keep="last", client=client)
                per_set = (time.perf_counter() - start) / len(tiny)
                print(
                    f"cost per set, {workers} worker{'s' if workers > 1 else ' '}: {per_set * 1e3:.2f} ms "
                    f"({len(tiny)} one-vector sets of a full adder)"
                )


if __name__ == "__main__":
    main()
