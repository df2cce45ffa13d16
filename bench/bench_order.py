"""Declaration order: a synthesized netlist as imported (every bus after
what it reads) against the same netlist with its busses in random order.

    python bench/bench_order.py [--designs mult64,isqrt,div32]

Both forms have complete influence lists, so both run as one pass; the
figures show what a bad order still costs. Per vector: one
Component.update_signals call with every input written, and Simulator.run_bits
over 4,096 vectors. Median of 5 alternating runs, CPU time of this process.
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "netlists"))

from build import netlist_ir  # noqa: E402

from nimbo import Simulator  # noqa: E402
from nimbo.core import Renderer  # noqa: E402

VECTORS = 4096


def inputs_of(doc: dict) -> list[str]:
    ports = doc["component"]["ports"].values()
    return [bit for port in ports if port["direction"] == "input" for bit in port["bits"]]


def per_update(ir: str, vectors: list[dict[str, str]]) -> float:
    component = Renderer(ir).component
    component.update_signals({})
    update = component.update_signals
    start = time.process_time()
    for vector in vectors[:400]:
        update(vector)
    return (time.process_time() - start) / 400


def per_batch(ir: str, inputs: list[str], grid: memoryview, outputs: list[str]) -> float:
    simulator = Simulator(ir)
    simulator.run_bits(inputs, grid, outputs)
    start = time.process_time()
    simulator.run_bits(inputs, grid, outputs)
    return (time.process_time() - start) / grid.shape[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--designs", default="mult64,isqrt,div32")
    args = parser.parse_args()
    print("| design | busses | per update: as imported / random order | ratio "
          "| per batch vector: as imported / random order | ratio |")
    print("|---|---|---|---|---|---|")
    for name in args.designs.split(","):
        doc = json.loads(netlist_ir(name).read_text())
        ordered = json.dumps(doc)
        busses = doc["component"]["busses"]
        random.Random(3).shuffle(busses)
        shuffled = json.dumps(doc)
        inputs = inputs_of(doc)
        outputs = [bit for p in doc["component"]["ports"].values() if p["direction"] == "output" for bit in p["bits"]]
        rng = random.Random(1)
        vectors = [{i: rng.choice("01") for i in inputs} for _ in range(VECTORS)]
        grid = memoryview(bytes(int(v[i]) for v in vectors for i in inputs)).cast("B", (VECTORS, len(inputs)))
        update = {"ordered": [], "shuffled": []}
        batch = {"ordered": [], "shuffled": []}
        for _ in range(5):
            for label, ir in (("ordered", ordered), ("shuffled", shuffled)):
                update[label].append(per_update(ir, vectors))
                batch[label].append(per_batch(ir, inputs, grid, outputs))
        u = {k: statistics.median(v) for k, v in update.items()}
        b = {k: statistics.median(v) for k, v in batch.items()}
        print(f"| {name} | {len(busses):,} | {u['ordered'] * 1e6:.1f} µs / {u['shuffled'] * 1e6:.1f} µs "
              f"| {u['shuffled'] / u['ordered']:.2f} | {b['ordered'] * 1e9:.0f} ns / {b['shuffled'] * 1e9:.0f} ns "
              f"| {b['shuffled'] / b['ordered']:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
